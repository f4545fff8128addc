#pragma once
// Link-safe deletion: every file and folder the remover deletes goes through
// this unit. Its promises:
//
// - It never follows a link. An entry is the product's own only when it is no
//   reparse point and the system resolves it to its own place below its
//   parent (a symbolic link to a file looks like a plain file under some
//   systems, so its attributes alone do not tell). A link is removed alone
//   where the system can do that without touching its target, and is
//   otherwise left in place; only a link that is a path's last component
//   below folders that are no links is removed alone; a tree is never
//   entered through a link, and a root that is a link, or lies behind one, is
//   not removed through.
//   Paths on SUBST drives, mapped drives and shares resolve consistently and
//   are no links. Paths of any length Windows allows are handled: every call
//   uses the extended-length form, while messages show the path as given. A
//   check that fails is reported as that failure, never taken for a link.
// - is_protected_folder names what a tree removal must refuse: for a folder
//   read from the registry, every path that is not a local drive-letter path
//   (relative, drive-relative, share, device and namespace paths, and folders
//   on network drives); for one built from a folder the system names, every
//   path that is neither a drive-letter nor a share path; drive and share
//   roots, and
//   every system or user folder (Windows, System, Program Files, Common
//   Files, ProgramData, AppData, Documents, Start menu, desktop, Fonts, the
//   profiles root and each profile) or a parent of one. The list is built once
//   per run.
// - No entry can be replaced between its check and its deletion. Where the
//   system allows it (Vista and later), each entry is opened once without
//   following a link at its end, checked on that handle and deleted through
//   it. The handle must be known by the entry's own name below its folder: a
//   handle that leads elsewhere (under Wine every handle of a link reaches its
//   target) leaves the entry in place. A folder's handle must be no link to be
//   entered; a link's own handle removes the link alone. A folder is listed
//   through its checked handle and emptied while that handle is held, shared
//   for reading and writing only, so nobody can rename it or put a link in its
//   place, and its entries are looked up in it rather than by path. Windows
//   2000 and XP, which have no symbolic links, check and delete by path.
// - It goes on past what it cannot delete: a tree removal removes everything
//   it can, depth first, and reports each entry that stayed with its cause (a
//   Windows error, or a link that is not followed and stays). remove_tree
//   counts what it removed and raises filesystem_error with the first cause.
//   Read-only files and folders are removed too.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "remover/common/paths.hpp"
#include "replay/exception.hpp"

namespace remover {

REPLAY_DECLARE_EXCEPTION(filesystem_error, replay::exception, "filesystem");

// Where a folder's path comes from: read from the registry (the installation
// folder, a key's name, anything a key says), or built from a folder that the
// system names (SHGetFolderPath), which folder redirection may put on a
// network drive or share.
enum class folder_source { registry, system };

// True when a tree removal must not take the folder. The path is in the ANSI
// code page; raises unicode errors for a path that code page cannot decode.
bool is_protected_folder(const std::string& path, folder_source source = folder_source::registry);

// Whether a path exists; a missing path or folder is no error. Raises
// filesystem_error "<operation>: <system text>: "<path>"" for other failures.
bool path_exists(const std::wstring& path);

// Whether a folder has no entries; raises filesystem_error for a folder that
// cannot be listed.
bool is_empty_folder(const std::wstring& folder);

// How a path relates to links. own: the path names itself all the way from
// its drive or share root. link: it is a link or lies behind one. unknown: the
// check itself failed; error holds the Windows error. For own, resolved
// receives where the system resolves the path (Vista and later; empty before).
enum class link_state { own, link, unknown };
link_state check_links(const std::wstring& path, DWORD* error = nullptr, std::wstring* resolved = nullptr);

// An entry that a tree removal left in place.
struct kept_entry {
    std::wstring path;  // its full path, as the root was given
    // The Windows error, or link_not_removed for a link that is not followed.
    DWORD error = 0;
    // Whether it could be opened for its deletion: an entry opened but not
    // deleted (through handles only) is in use, as a loaded image is.
    bool opened = false;
    bool folder = false;
    // A folder that stays only because entries below it stayed (listed
    // before it).
    bool holds_kept = false;
    // "remove_all: <system text>: "<path>"", or for a link
    // "remove_all: a link is not followed and stays: "<path>"".
    std::string message;
};

// What a tree removal did: the entries removed (each file and folder counts
// one) and those that stayed, in the order met, each before its folder.
struct tree_outcome {
    std::uintmax_t removed = 0;
    std::vector<kept_entry> kept;
};

// Removes a folder and everything below it, going on past entries it cannot
// delete; a missing path gives nothing. A root that is a link is removed
// alone where possible, else left silently; a root with a link above it is
// left whole and raises filesystem_error as a link that is not followed and
// stays. Raises filesystem_error too when the root cannot be checked. Does
// not check is_protected_folder; callers do.
tree_outcome remove_tree_reporting(const std::string& path);

// The same, returning the number of entries removed; raises filesystem_error
// with the first entry that stayed, once everything else is removed.
std::uintmax_t remove_tree(const std::string& path);

// Deletes one file in the ANSI code page without following a link. Returns 0
// on success, link_not_removed for a link the system cannot remove alone or a
// path with a link above it, or the Windows error (also when the file's
// attributes cannot be read).
constexpr DWORD link_not_removed = 0xFFFFFFFF;
DWORD delete_file_safely(const std::string& path);

// Removes an empty folder unless it is a link; 0 on success, link_not_removed
// for a link, else the Windows error of RemoveDirectory.
DWORD remove_empty_folder_safely(const std::string& path);

// What tests change in a tree removal and a file's take-over; the program
// leaves it as it is.
struct tree_removal_seams {
    // Called with the full path of each entry once it is checked (and, where
    // the system allows it, held open), before it is entered, deleted or
    // taken over.
    void (*entry_checked)(const std::wstring& path, void* context) = nullptr;
    void* context = nullptr;
    // Check and delete by path, as on systems without handle-based checks.
    bool by_path = false;
};
tree_removal_seams& test_seams();

}  // namespace remover
