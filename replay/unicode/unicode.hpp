#pragma once
// Conversions between UTF-16 and multi-byte code pages, and charset names to
// code pages. Code page numbers pass to Windows unchanged, except latin1 (-1),
// the library's own direct byte mapping (U+0000 to U+00FF).
#include <string>

#include "replay/exception.hpp"

namespace replay::unicode {

constexpr int ansi = 0;     // CP_ACP
constexpr int oem = 1;      // CP_OEMCP
constexpr int utf8 = 65001;
constexpr int latin1 = -1;

REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "unicode");
REPLAY_DECLARE_EXCEPTION(out_of_memory, generic, "out_of_memory");
REPLAY_DECLARE_EXCEPTION(invalid_codepage, generic, "invalid_codepage");
REPLAY_DECLARE_EXCEPTION(unmappable_character, generic, "unmappable_character");

// Raises invalid_codepage, unmappable_character (invalid input where the code
// page is checked), out_of_memory or generic.
std::wstring to_wide(const std::string& text, int code_page);

// No character is replaced by a look-alike (no best-fit mapping). With strict
// set, a text that does not convert exactly (a character that the code page
// cannot represent, or one that would not convert back to itself) raises
// unmappable_character instead of becoming the default character.
std::string to_narrow(const std::wstring& text, int code_page, bool strict);

// The ANSI code page's text, the form of the program's narrow paths and
// names, in UTF-16; raises as to_wide.
std::wstring from_ansi(const std::string& text);
// UTF-16 in the ANSI code page. to_ansi turns a character the code page lacks
// into its default character (for messages and paths that must still be
// shown); to_ansi_strict raises unmappable_character for it.
std::string to_ansi(const std::wstring& text);
std::string to_ansi_strict(const std::wstring& text);

// The code page for a charset name as MIME headers give it; -1 when unknown.
int codepage_from_name(const std::string& name);

}  // namespace replay::unicode
