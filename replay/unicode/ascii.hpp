#pragma once
// ASCII case folding: only "A" to "Z" become "a" to "z"; every other
// character stays as it is. For names that are ASCII by definition (MIME
// header and charset names, the registry's own key names) and for the names
// the remover compares as Windows' own tools do (files, processes, services).
// File, folder and key names read from the system compare through names.hpp.
#include <algorithm>
#include <string>
#include <string_view>

namespace replay::unicode {

// Overloads for the two character types only, so that a C string becomes a
// string, never a character.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr wchar_t ascii_lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

inline std::string ascii_lower(std::string text) {
    for (char& c : text) c = ascii_lower(c);
    return text;
}
inline std::wstring ascii_lower(std::wstring text) {
    for (wchar_t& c : text) c = ascii_lower(c);
    return text;
}

// Whether a and b are equal with ASCII letters folded; no copy is made.
template <typename Char>
bool same_ascii_nocase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](Char x, Char y) { return ascii_lower(x) == ascii_lower(y); });
}
inline bool same_ascii_nocase(std::string_view a, std::string_view b) { return same_ascii_nocase<char>(a, b); }
inline bool same_ascii_nocase(std::wstring_view a, std::wstring_view b) { return same_ascii_nocase<wchar_t>(a, b); }

}  // namespace replay::unicode
