#pragma once
// File, folder, registry key and value names compare as Windows itself
// compares them: code unit by code unit, each upper-cased through the
// system's own table, whatever the user's locale (ordinal, case ignored).
// "é" and "É", "ж" and "Ж" are the same name; "ß" and "SS" are not.
#include <cstddef>
#include <string_view>

namespace replay::unicode {

// Negative, 0 or positive as a sorts before, equals or sorts after b.
int compare_names(std::wstring_view a, std::wstring_view b);
bool same_name(std::wstring_view a, std::wstring_view b);
// Whether text begins with head.
bool starts_with_name(std::wstring_view text, std::wstring_view head);
// Where part first occurs in text; npos when it does not.
std::size_t find_name(std::wstring_view text, std::wstring_view part);
// Whether part occurs in text where it starts text or follows a backslash,
// so that "Tray\x.dll" is found in "C:\Tray\x.dll" but not in
// "C:\SysTray\x.dll". An empty part is found nowhere.
bool holds_path_part(std::wstring_view text, std::wstring_view part);

// Whether a name read from the file system or the registry may be joined
// into a path as one component: not empty, not "." or "..", and holding no
// "\", "/", ":" or null character, which would make the joined path name
// another place.
bool is_single_name(std::wstring_view name);

// Orders names for sets and maps in which letter case makes no difference.
struct name_less {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const { return compare_names(a, b) < 0; }
};

namespace detail {
// The comparison of systems without CompareStringOrdinal (before Vista):
// each code unit upper-cased by RtlUpcaseUnicodeChar, the same table.
int compare_names_by_upcase(std::wstring_view a, std::wstring_view b);
}  // namespace detail

}  // namespace replay::unicode
