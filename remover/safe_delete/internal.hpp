#pragma once
// What the units of the link-safe deletion share; callers include
// remover/safe_delete/safe_delete.hpp only.
#include <windows.h>
#include <winternl.h>

#include <optional>
#include <string>
#include <vector>

#include "remover/safe_delete/safe_delete.hpp"
#include "replay/files/links.hpp"
#include "replay/handle.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover::detail {

// Paths and names are converted with the ANSI code page and compared as
// Windows compares names.
using replay::unicode::from_ansi;
using replay::unicode::same_name;
using replay::unicode::starts_with_name;
using replay::unicode::to_ansi;
// Where handles and paths lead, as every link check of the program sees it.
using replay::files::can_resolve;
using replay::files::final_path;
using replay::files::is_named_below;
using replay::files::resolved_path;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Room for any name NtQueryObject can give (a UNICODE_STRING holds at most
// 65534 bytes).
constexpr size_t object_name_room = sizeof(OBJECT_NAME_INFORMATION) + 65536;

// Path forms (paths.cpp).

// The length of the root of a full path: "X:\" or "\\server\share\"; 0 when
// the path has neither.
size_t root_length(const std::wstring& full);
bool is_dot_entry(const wchar_t* name);
// "<operation>: <system text>: "<path>"".
std::string failure_text(const char* operation, DWORD error, const std::wstring& path);
// Raises filesystem_error with failure_text.
[[noreturn]] void raise(const char* operation, DWORD error, const std::wstring& path);

// Functions of newer Windows versions, bound once at run time so that the
// program still starts on Windows 2000 and XP, where no symbolic links exist
// (links.cpp); null where the system lacks them.
using file_information_function = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
using query_object_function = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
using status_to_error_function = ULONG(NTAPI*)(NTSTATUS);
using create_file_function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
extern const file_information_function get_file_information;
extern const file_information_function set_file_information;
extern const create_file_function create_file;
extern const query_object_function query_object;
extern const status_to_error_function status_to_error;

// Link checks (links.cpp).

// Checks one entry of a folder that resolves to parent_resolved.
link_state check_entry(const std::wstring& path, const std::wstring& parent_resolved, const wchar_t* name,
                       DWORD attributes, DWORD& error);
// Whether every folder above the last component of a full path is no link;
// parent_resolved then receives where the parent resolves.
bool parent_is_own(const std::wstring& path, std::wstring& parent_resolved);
// Removes a link without touching its target, where the system allows that:
// only a link that is the path's last component below folders that are no
// links, through a handle that is the link itself.
bool remove_link_alone(const std::wstring& path);

// Deletion through handles (handles.cpp).

// The seams the tests installed; the program leaves them as they are.
extern tree_removal_seams installed_seams;
// Whether an entry can be opened once, checked on its handle and deleted
// through it (Vista and later). Otherwise each entry is checked and deleted
// by its path.
bool can_delete_by_handle();
// Marks an open entry for deletion; it goes when its handle is closed.
// Returns 0 or the Windows error.
DWORD delete_through(HANDLE handle, DWORD attributes);
// The name under which the system knows an open handle, without trailing
// backslashes. buffer has object_name_room.
bool object_name(HANDLE handle, std::vector<unsigned char>& buffer, std::wstring& name, DWORD& error);
// Opens an entry of a folder held open, looking its name up in that folder
// itself. hold: a folder to be emptied, shared without deletion.
HANDLE open_below(HANDLE folder, const std::wstring& name, bool is_folder, bool hold, bool read_only,
                  DWORD& error);
// Whether an open entry is a link, by the attributes of the handle itself.
bool handle_is_link(HANDLE handle, DWORD& attributes, DWORD& error);
// Opens an entry checked by its path and confirms on the handle that it still
// leads where check_links resolved it.
DWORD open_confirmed(const std::wstring& full, const std::wstring& resolved, bool folder, bool read_only,
                     replay::file_handle& handle, DWORD& attributes, bool& link);
// An entry checked by its path, then deleted through one handle that must
// lead to that same place.
DWORD delete_checked(const std::wstring& full, const std::wstring& resolved, bool folder);

}  // namespace remover::detail
