#include "remover/common/paths.hpp"

#include <windows.h>

namespace remover {

namespace {

template <typename Char>
bool is_separator(Char c) {
    return c == Char('\\') || c == Char('/');
}

template <typename Char>
bool drive_letter_form(std::basic_string_view<Char> path) {
    return path.size() >= 3 &&
           ((path[0] >= Char('A') && path[0] <= Char('Z')) || (path[0] >= Char('a') && path[0] <= Char('z'))) &&
           path[1] == Char(':') && is_separator(path[2]);
}

template <typename Char>
bool share_form(std::basic_string_view<Char> path) {
    return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]) &&
           path[2] != Char('?') && path[2] != Char('.');
}

}  // namespace

bool is_drive_letter_path(std::wstring_view path) { return drive_letter_form(path); }

bool is_share_path(std::wstring_view path) { return share_form(path); }

bool is_absolute_path(std::wstring_view path) { return drive_letter_form(path) || share_form(path); }

bool is_absolute_path(std::string_view path) { return drive_letter_form(path) || share_form(path); }

bool is_local_drive_path(const std::wstring& path) {
    if (!is_drive_letter_path(path)) return false;
    const std::wstring full = full_path(path);
    if (!is_drive_letter_path(full)) return false;
    // A drive letter mapped to a share reaches another computer's disk.
    return GetDriveTypeW(full.substr(0, 3).c_str()) != DRIVE_REMOTE;
}

std::wstring full_path(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(size);
    const std::wstring extended = detail::ext(full);
    const DWORD long_size = GetLongPathNameW(extended.c_str(), nullptr, 0);
    if (long_size > 0) {
        std::wstring long_form(long_size, L'\0');
        const DWORD written = GetLongPathNameW(extended.c_str(), long_form.data(), long_size);
        if (written > 0 && written < long_size) full = detail::plain(long_form.substr(0, written));
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

namespace detail {

std::wstring ext(const std::wstring& full) {
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    if (full.size() >= 2 && full[1] == L':') return L"\\\\?\\" + full;
    return full;
}

std::wstring plain(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

}  // namespace detail

}  // namespace remover
