#pragma once
// Byte codecs of the mail library: base64, hexadecimal and quoted-printable.
// All of them work on narrow strings holding bytes.
#include <string>

#include "replay/exception.hpp"

namespace replay::coding {

namespace translate {
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "translate");
// A byte that is not a digit where a hexadecimal digit is required; the
// message names it: "Invalid Codeword 0x%.2X".
REPLAY_DECLARE_EXCEPTION(invalid_codeword, generic, "invalid_codeword");
}  // namespace translate

namespace base64 {
// Standard alphabet, "=" fill to a multiple of four characters, no line breaks.
std::string encode(const std::string& bytes);
// Skips every character outside the alphabet ("=" included) and drops the
// bits left over at the end. Raises nothing.
std::string decode(const std::string& text);
}  // namespace base64

namespace hexadecimal {
// Two lower-case digits per byte.
std::string encode(const std::string& bytes);
// Accepts 0-9, a-f and A-F only; any other byte raises invalid_codeword. A
// final single digit, which makes no byte, is checked and then dropped.
std::string decode(const std::string& text);
}  // namespace hexadecimal

namespace quoted_printable {
// "=", the bytes below 0x20 and above 0x7E, "_", "?" and the double quote
// become "=" and two upper-case digits; every other byte, blank included,
// stays as it is. Adds no line breaks.
std::string encode(const std::string& bytes);
// "=" followed by two characters decodes them as one hexadecimal byte
// (raises invalid_codeword on a non-digit); a "=" with fewer than two
// characters after it, and every other byte, is copied.
std::string decode(const std::string& text);
}  // namespace quoted_printable

}  // namespace replay::coding
