#pragma once
// Whether a file or folder reached through a handle is the one its name
// says, or a link. Every check of the program that a file is no link is made
// of these: the link-safe deletion, the log files and the registry backup.
//
// A link shows in two ways. On the handle itself: a reparse point, or a file
// with more than one hard link (another name elsewhere reaches the same
// data). And by where the handle leads: a symbolic link to a file looks like
// a plain file under some systems (Wine follows it although asked not to),
// but the system resolves it to its target, not to its own name below its
// folder.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace replay::files {

// The longest path Windows allows, with its terminator.
constexpr DWORD longest_path_chars = 32768;

// Whether an open file is a reparse point or has more than one hard link;
// true when its information cannot be read.
bool is_reparse_or_linked(HANDLE file);

// Whether the system can say where a handle leads (Vista and later).
bool can_resolve();

// Where an open handle really leads: its volume's serial number and its path
// on that volume ("1A2B3C4D:\users\x"), without trailing backslashes. The
// path on the volume has no length limit (GetFinalPathNameByHandle has one
// under Wine), and SUBST drives, mapped drives and shares give a folder and
// its entries alike. Empty with error set when the system cannot tell
// (ERROR_CALL_NOT_IMPLEMENTED before Vista).
std::optional<std::wstring> final_path(HANDLE handle, DWORD& error);

// Where the system resolves a path, following whatever links lie on it; the
// path in any form CreateFile takes. Empty with error set on failure.
std::optional<std::wstring> resolved_path(const std::wstring& path, DWORD& error);

// Whether `reached` (a final_path) is the entry `name` right below the folder
// whose final_path is `folder`.
bool is_named_below(const std::wstring& reached, const std::wstring& folder, std::wstring_view name);

// Whether a file opened at `path` is known by that name below its folder
// (the path's last component below where the folder resolves). True where the
// system cannot tell (before Vista); false when the handle reached another
// place, or when the handle or the folder cannot be resolved.
bool reached_by_own_name(HANDLE file, const std::wstring& path);

// Whether a file opened at `path` is anything but the plain file of that
// name: is_reparse_or_linked, or not reached_by_own_name.
bool is_link(HANDLE file, const std::wstring& path);

}  // namespace replay::files
