#include "replay/internet/message2/message2.hpp"

#include <algorithm>

#include "replay/coding/coding.hpp"
#include "replay/unicode/ascii.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::internet::message2 {

namespace {

namespace unicode = replay::unicode;
namespace coding = replay::coding;

constexpr char content_type_name[] = "Content-Type";
constexpr char transfer_encoding_name[] = "Content-Transfer-Encoding";

// Body bytes per encoded line: 57 bytes make 76 base64 characters; a
// quoted-printable line carries 75 bytes before escaping, then a soft break.
constexpr size_t base64_chunk = 57;
constexpr size_t quoted_printable_chunk = 75;

// Header and parameter names compare with ASCII case ignored.
using unicode::same_ascii_nocase;

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ASCII that can stand in a header line as it is. A line break would end the
// header line and start another, so control characters other than tab are
// encoded like non-ASCII text.
bool is_plain_text(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t unit) {
        return unit <= 127 && (unit >= 0x20 || unit == L'\t');
    });
}

// The header text for a value: the value itself when it is plain ASCII,
// otherwise one encoded word in the charset.
std::string encode_text(const std::wstring& text, const std::string& charset) {
    if (is_plain_text(text)) {
        std::string plain(text.size(), '\0');
        std::transform(text.begin(), text.end(), plain.begin(),
                       [](wchar_t unit) { return static_cast<char>(unit); });
        return plain;
    }
    const std::string bytes =
        unicode::to_narrow(text, unicode::codepage_from_name(charset), /*strict=*/true);
    const std::string b_text = coding::base64::encode(bytes);
    std::string q_text = coding::quoted_printable::encode(bytes);
    std::replace(q_text.begin(), q_text.end(), ' ', '_');
    if (b_text.size() < q_text.size()) return "=?" + charset + "?B?" + b_text + "?=";
    return "=?" + charset + "?Q?" + q_text + "?=";
}

// Inside a quoted parameter value, a double quote or backslash is preceded by
// a backslash so that the value reads back as it was written.
std::string quote(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Splits header text at any of the delimiters. A backslash takes the next
// character literally (and is kept with the quotes, so that a second pass
// still sees the quoting); delimiters inside double quotes or inside an
// encoded word are ordinary characters; leading blanks of a token are
// skipped. An empty last token is not added.
std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters,
                                  bool keep_quotes) {
    std::vector<std::string> tokens;
    std::string token;
    bool quoted = false;
    bool encoded = false;
    int marks = 0;  // "?" seen in the current encoded word, the opening one included
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            if (keep_quotes) token += c;
            token += text[++i];
            continue;
        }
        if (encoded) {
            // The word ends at "?=". The "?" after the encoding letter is not
            // an end: a Q text may begin with an "=XX" escape.
            if (c == '=' && !token.empty() && token.back() == '?' && marks != 3) encoded = false;
            if (c == '?') ++marks;
            token += c;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            if (keep_quotes) token += c;
            continue;
        }
        if (quoted) {
            token += c;
            continue;
        }
        if (c == '=' && i + 1 < text.size() && text[i + 1] == '?') {
            token += "=?";
            ++i;
            encoded = true;
            marks = 1;
            continue;
        }
        if (delimiters.find(c) != std::string::npos) {
            tokens.push_back(token);
            token.clear();
            continue;
        }
        if (c == ' ' && token.empty()) continue;
        token += c;
    }
    if (!token.empty()) tokens.push_back(token);
    return tokens;
}

// Decodes one blank-free word and tells whether it was an encoded word. An
// encoded word "=?charset?B|Q?text?=" is decoded and converted from its own
// charset; a word that looks like one but does not have five "?"-separated
// parts is Latin-1 text; any other word is text in the value's charset.
bool decode_word(const std::string& word, const std::string& charset, std::wstring& text) {
    const bool looks_encoded = word.size() >= 4 && starts_with(word, "=?") && ends_with(word, "?=");
    if (looks_encoded) {
        std::vector<std::string> parts(1);
        for (const char c : word) {
            if (c == '?') {
                parts.emplace_back();
            } else {
                parts.back() += c;
            }
        }
        if (parts.size() != 5) {
            text = unicode::to_wide(word, unicode::latin1);
            return false;
        }
        const std::string& encoding = parts[2];
        std::string bytes;
        if (encoding == "B" || encoding == "b") {
            bytes = coding::base64::decode(parts[3]);
        } else if (encoding == "Q" || encoding == "q") {
            std::string q_text = parts[3];
            std::replace(q_text.begin(), q_text.end(), '_', ' ');
            bytes = coding::quoted_printable::decode(q_text);
        } else {
            text = unicode::to_wide(word, unicode::codepage_from_name(charset));
            return false;
        }
        text = unicode::to_wide(bytes, unicode::codepage_from_name(parts[1]));
        return true;
    }
    text = unicode::to_wide(word, unicode::codepage_from_name(charset));
    return false;
}

// Decodes header text word by word. Blanks between two encoded words are
// dropped; every other run of blanks stays as it was.
std::wstring decode_text(const std::string& text, const std::string& charset) {
    std::wstring result;
    size_t blanks = 0;
    bool after_encoded = false;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++blanks;
            ++i;
            continue;
        }
        const size_t end = std::min(text.find(' ', i), text.size());
        std::wstring word;
        const bool encoded = decode_word(text.substr(i, end - i), charset, word);
        if (!(encoded && after_encoded)) result.append(blanks, L' ');
        result += word;
        blanks = 0;
        after_encoded = encoded;
        i = end;
    }
    result.append(blanks, L' ');
    return result;
}

// Splits text into lines at CR or LF; CR LF and LF CR are one line end each.
// The rest after the last line end is one more line, empty when the text
// ends with a line end.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        const char other = c == '\r' ? '\n' : '\r';
        i += i + 1 < text.size() && text[i + 1] == other ? 2 : 1;
        start = i;
    }
    lines.push_back(text.substr(start));
    return lines;
}

void append_body_lines(const message& mail, const line_sink& take) {
    std::string encoding;
    header_type::unstructured_value_type value;
    if (mail.find_header(transfer_encoding_name, value)) encoding = value.narrow_value(unicode::utf8);

    const std::string& body = mail.body_part.encoded_text;
    if (encoding == "base64") {
        for (size_t at = 0; at < body.size(); at += base64_chunk) {
            // One line at a time from the bytes: no encoded copy of the whole body.
            take(coding::base64::encode(body.substr(at, base64_chunk)));
        }
    } else if (encoding == "quoted-printable") {
        for (const std::string& line : split_lines(body)) {
            size_t at = 0;
            // A text line longer than one chunk continues after a soft line
            // break "=".
            for (; at + quoted_printable_chunk < line.size(); at += quoted_printable_chunk) {
                take(coding::quoted_printable::encode(line.substr(at, quoted_printable_chunk)) + "=");
            }
            take(coding::quoted_printable::encode(line.substr(at)));
        }
    } else {
        for (const std::string& line : split_lines(body)) take(line);
    }
}

// The Content-Type value as the body part and the boundary make it; the
// stored value gives the other parameters.
std::string content_type_value(const message& mail, const std::string& stored) {
    header_type::parametized_value_type value;
    value.parse(stored);
    value.set_narrow_value(mail.body_part.content_type, unicode::utf8);
    if (starts_with(mail.body_part.content_type, "text/") && !mail.body_part.charset.empty()) {
        value.set_parameter("charset", mail.body_part.charset);
    } else {
        value.remove_parameter("charset");
    }
    if (!mail.boundary.empty()) value.set_parameter("boundary", mail.boundary);
    return value.serialize();
}

void append_lines(const message& mail, const line_sink& take) {
    for (const message::header& header : mail.headers()) {
        const std::string value = same_ascii_nocase(header.first, content_type_name)
                                      ? content_type_value(mail, header.second)
                                      : header.second;
        take(header.first + ": " + value);
    }
    take(std::string());
    if (!mail.body_part.encoded_text.empty()) append_body_lines(mail, take);
    if (mail.child_parts.empty()) return;
    if (starts_with(mail.body_part.content_type, "multipart/")) {
        for (const message& child : mail.child_parts) {
            take("--" + mail.boundary);
            append_lines(child, take);
        }
        take("--" + mail.boundary + "--");
    } else {
        append_lines(mail.child_parts.front(), take);
    }
}

}  // namespace

namespace header_type {

generic_value_type::~generic_value_type() = default;

std::string unstructured_value_type::serialize() const { return encode_text(value(), charset()); }

void unstructured_value_type::parse(const std::string& text) { set_value(decode_text(text, charset())); }

std::string unstructured_value_type::narrow_value(int code_page) const {
    return unicode::to_narrow(value(), code_page, /*strict=*/true);
}

void unstructured_value_type::set_value(const std::wstring& value) { value_ = value; }

void unstructured_value_type::set_narrow_value(const std::string& text, int code_page) {
    set_value(unicode::to_wide(text, code_page));
}

std::string parametized_value_type::serialize() const {
    std::string text = encode_text(value(), charset());
    for (const parameter& item : parameters_) {
        text += "; " + item.name + "=" + quote(encode_text(item.value, charset()));
    }
    return text;
}

void parametized_value_type::parse(const std::string& text) {
    set_value(std::wstring());
    parameters_.clear();
    const std::vector<std::string> tokens = tokenize(text, ";,", /*keep_quotes=*/true);
    if (tokens.empty()) return;
    set_value(decode_text(tokens.front(), charset()));
    for (auto token = tokens.begin() + 1; token != tokens.end(); ++token) {
        const std::vector<std::string> parts = tokenize(*token, "=", /*keep_quotes=*/false);
        if (parts.size() == 1) {
            parameters_.push_back({parts[0], std::wstring()});
        } else if (parts.size() == 2) {
            parameters_.push_back({parts[0], decode_text(parts[1], charset())});
        }
    }
}

void parametized_value_type::set_parameter(const std::string& name, const std::string& value) {
    std::wstring wide = unicode::to_wide(value, unicode::utf8);
    for (parameter& item : parameters_) {
        if (same_ascii_nocase(item.name, name)) {
            item.value = std::move(wide);
            return;
        }
    }
    parameters_.push_back({name, std::move(wide)});
}

void parametized_value_type::remove_parameter(const std::string& name) {
    const auto found = std::find_if(parameters_.begin(), parameters_.end(),
                                    [&](const parameter& item) { return same_ascii_nocase(item.name, name); });
    if (found != parameters_.end()) parameters_.erase(found);
}

}  // namespace header_type

message::message() {
    header_type::parametized_value_type content_type;
    content_type.set_narrow_value(body_part.content_type, unicode::utf8);
    content_type.set_parameter("charset", body_part.charset);
    set_header(content_type_name, content_type);
    set_header(transfer_encoding_name, "quoted-printable");
}

void message::set_header(const std::string& name, const std::string& value) {
    headers_.insert(headers_.begin(), header(name, value));
}

void message::set_header(const std::string& name, const header_type::generic_value_type& value) {
    set_header(name, value.serialize());
}

void message::remove_header(const std::string& name) {
    headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                  [&](const header& item) { return same_ascii_nocase(item.first, name); }),
                   headers_.end());
}

bool message::find_header(const std::string& name, header_type::generic_value_type& value) const {
    const auto found = std::find_if(headers_.begin(), headers_.end(),
                                    [&](const header& item) { return same_ascii_nocase(item.first, name); });
    if (found == headers_.end()) return false;
    value.parse(found->second);
    return true;
}

void message::set_text(const std::wstring& text) {
    // Converted first, so that a text the charset cannot hold leaves the
    // body as it was.
    std::string encoded =
        unicode::to_narrow(text, unicode::codepage_from_name(body_part.charset), /*strict=*/true);
    body_part.text = text;
    body_part.encoded_text = std::move(encoded);
}

void for_each_line(const message& mail, const line_sink& take) { append_lines(mail, take); }

std::vector<std::string> to_lines(const message& mail) {
    std::vector<std::string> lines;
    append_lines(mail, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

}  // namespace replay::internet::message2
