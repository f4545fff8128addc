#include "replay/unicode/names.hpp"

#include <windows.h>

#include <algorithm>

#include "replay/system_function.hpp"

namespace replay::unicode {

namespace {

wchar_t upcase(wchar_t c) {
    using upcase_function = WCHAR(NTAPI*)(WCHAR);
    static const auto function = system_function<upcase_function>(L"ntdll.dll", "RtlUpcaseUnicodeChar");
    if (function != nullptr) return function(c);
    // CharUpperBuffW follows the same table for a single character.
    CharUpperBuffW(&c, 1);
    return c;
}

}  // namespace

int detail::compare_names_by_upcase(std::wstring_view a, std::wstring_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const wchar_t x = upcase(a[i]);
        const wchar_t y = upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int compare_names(std::wstring_view a, std::wstring_view b) {
    using compare_function = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);
    static const auto compare_ordinal = system_function<compare_function>(L"kernel32.dll", "CompareStringOrdinal");
    if (compare_ordinal != nullptr) {
        const int result = compare_ordinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                           /*ignore_case=*/TRUE);
        if (result != 0) return result - CSTR_EQUAL;
    }
    return detail::compare_names_by_upcase(a, b);
}

bool same_name(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && compare_names(a, b) == 0;
}

bool starts_with_name(std::wstring_view text, std::wstring_view head) {
    return text.size() >= head.size() && same_name(text.substr(0, head.size()), head);
}

std::size_t find_name(std::wstring_view text, std::wstring_view part) {
    if (part.size() > text.size()) return std::wstring_view::npos;
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (same_name(text.substr(at, part.size()), part)) return at;
    }
    return std::wstring_view::npos;
}

bool holds_path_part(std::wstring_view text, std::wstring_view part) {
    if (part.empty()) return false;
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        if ((at == 0 || text[at - 1] == L'\\') && same_name(text.substr(at, part.size()), part)) return true;
    }
    return false;
}

bool is_single_name(std::wstring_view name) {
    // A null character would end the joined path early, at its folder.
    static constexpr wchar_t separators[] = {L'\\', L'/', L':', L'\0'};
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(std::wstring_view(separators, 4)) == std::wstring_view::npos;
}

}  // namespace replay::unicode
