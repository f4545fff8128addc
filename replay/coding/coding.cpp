#include "replay/coding/coding.hpp"

namespace replay::coding {

namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char lower_digits[] = "0123456789abcdef";
constexpr char upper_digits[] = "0123456789ABCDEF";

// The 6-bit value of a base64 character, or -1 for any other character.
int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

unsigned hex_value(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    // The byte as 0..255, never sign-extended.
    throw translate::invalid_codeword("Invalid Codeword 0x%.2X", static_cast<unsigned>(byte));
}

char hex_byte(char high, char low) {
    return static_cast<char>((hex_value(high) << 4) | hex_value(low));
}

bool needs_quoting(unsigned char byte) {
    return byte < 0x20 || byte > 0x7E || byte == '=' || byte == '_' || byte == '?' || byte == '"';
}

}  // namespace

namespace base64 {

std::string encode(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned group = static_cast<unsigned char>(bytes[i]) << 16 |
                               static_cast<unsigned char>(bytes[i + 1]) << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        text += base64_alphabet[group >> 18 & 0x3F];
        text += base64_alphabet[group >> 12 & 0x3F];
        text += base64_alphabet[group >> 6 & 0x3F];
        text += base64_alphabet[group & 0x3F];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        text += base64_alphabet[group >> 18 & 0x3F];
        text += base64_alphabet[group >> 12 & 0x3F];
        text += rest == 2 ? base64_alphabet[group >> 6 & 0x3F] : '=';
        text += '=';
    }
    return text;
}

std::string decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    unsigned bits = 0;
    int bit_count = 0;
    for (const char c : text) {
        const int value = base64_value(static_cast<unsigned char>(c));
        if (value < 0) continue;
        bits = (bits << 6 | static_cast<unsigned>(value)) & 0xFFFFFF;
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes += static_cast<char>(bits >> bit_count & 0xFF);
        }
    }
    return bytes;
}

}  // namespace base64

namespace hexadecimal {

std::string encode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += lower_digits[byte >> 4];
        text += lower_digits[byte & 0x0F];
    }
    return text;
}

std::string decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size() / 2);
    size_t i = 0;
    for (; i + 2 <= text.size(); i += 2) bytes += hex_byte(text[i], text[i + 1]);
    // A final single digit makes no byte, but must still be a digit.
    if (i < text.size()) static_cast<void>(hex_value(text[i]));
    return bytes;
}

}  // namespace hexadecimal

namespace quoted_printable {

std::string encode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (needs_quoting(byte)) {
            text += '=';
            text += upper_digits[byte >> 4];
            text += upper_digits[byte & 0x0F];
        } else {
            text += c;
        }
    }
    return text;
}

std::string decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '=' && i + 2 < text.size()) {
            bytes += hex_byte(text[i + 1], text[i + 2]);
            i += 3;
        } else {
            bytes += text[i];
            ++i;
        }
    }
    return bytes;
}

}  // namespace quoted_printable

}  // namespace replay::coding
