#pragma once
// The forms of the paths the remover works with, judged by their text alone.
// Whether a drive is local is is_local_drive_path's (safe_delete.hpp), which
// starts from is_drive_letter_path.
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

}  // namespace remover
