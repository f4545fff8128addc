#pragma once
// Taking over one object of the product's own tree whose access list refuses
// the administrators: a key or a file or folder that the run must read into
// its backup or delete. With the take-ownership, restore and backup
// privileges enabled for the moment, Administrators become the owner and the
// access list is replaced by one that grants Administrators and SYSTEM full
// control (protected, so that no inherited entry denies them again).
//
// Deciding what may be taken over is the caller's: only what lies in the
// product's own tree, found the link-safe way, never a parent the run only
// walks through, a key or folder another product shares, or a link's target.
// The object is opened anew for each change, without following a link at its
// end (keys with REG_OPTION_OPEN_LINK, files and folders with
// FILE_FLAG_OPEN_REPARSE_POINT), and changed through that handle.
//
// Under Wine 8 a key's access list is enforced (a key whose list is empty
// refuses every open but the owner's implicit READ_CONTROL and WRITE_DAC),
// a key owned by another account cannot be taken over at all (Wine grants
// nothing for SeTakeOwnershipPrivilege), and a file's or folder's access list
// is neither enforced nor, on most Unix file systems, kept: opens succeed
// whatever it says.
#include <windows.h>
#include <accctrl.h>

#include <functional>
#include <memory>
#include <string>

namespace remover {

// An open handle to the object (a HANDLE, or an HKEY cast to one), closed
// when the last copy goes; empty when the open failed.
using object_handle = std::shared_ptr<void>;
// Opens the object anew with exactly `access`, without following a link at
// its end. On failure returns an empty handle and sets `error`.
using object_opener = std::function<object_handle(ACCESS_MASK access, DWORD& error)>;

// Takes over the object that `open` reaches (`type` SE_REGISTRY_KEY or
// SE_FILE_OBJECT) and logs "Taken over: '%s' (its access list refused the
// administrators)" with `shown`. Returns 0, or the Windows error of the step
// that failed (then nothing is logged; the owner may already have changed).
DWORD take_over(const object_opener& open, SE_OBJECT_TYPE type, const std::wstring& shown);

// The subkey `name` of `parent`, opened as the link itself where it is one,
// in `view` (0 or a KEY_WOW64_* flag). Returns as take_over.
DWORD take_over_key(HKEY parent, const std::wstring& name, REGSAM view, const std::wstring& shown);

// A file or folder by its full path. A path that is a link or lies behind one
// is refused with ERROR_CANT_RESOLVE_FILENAME before anything is opened.
// Returns as take_over; the log shows the path as given.
DWORD take_over_file(const std::wstring& path);

}  // namespace remover
