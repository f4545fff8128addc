#pragma once
// The forms of the paths the remover works with: judged by their text alone,
// and the full form and whether a drive is local, which the system tells.
#include <string>
#include <string_view>

namespace remover {

// "X:\..." or "X:/...", X an ASCII letter.
bool is_drive_letter_path(std::wstring_view path);

// "\\server\share\...": a share. Device and namespace forms ("\\?\", "\\.\")
// are none: they can name any disk another way.
bool is_share_path(std::wstring_view path);

// A drive-letter or share path: the forms that name one place whatever the
// current directory. False for empty, relative, drive-relative ("C:folder"),
// device and namespace paths.
bool is_absolute_path(std::wstring_view path);
bool is_absolute_path(std::string_view path);

// The absolute form of a path with long names and without trailing
// backslashes (a drive root keeps its own); empty when it has none.
std::wstring full_path(const std::wstring& path);

// Whether a path is a local drive-letter path ("X:\..." on a drive that is
// no network drive). Folders taken from the registry are used only in this
// form: a share ("\\localhost\C$\...") or device path ("\\?\UNC\...",
// "\\.\...") can name any disk, the system's own included, another way.
bool is_local_drive_path(const std::wstring& path);

namespace detail {

// The extended-length form ("\\?\C:\...", "\\?\UNC\server\...") of a full
// path: every system call on a file uses it, so that no path is too long for
// the system. Messages keep showing the path as it was given.
std::wstring ext(const std::wstring& full);
// The path as given, from its extended-length form.
std::wstring plain(const std::wstring& path);

}  // namespace detail

}  // namespace remover
