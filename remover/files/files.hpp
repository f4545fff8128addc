#pragma once
// The file-system side of the removal: single files, folder trees, folders
// that go only when empty, the installation folder with its registered
// parents, shortcuts, InstallShield and cache folders, VirtualStore copies.
//
// Every deletion goes through the link-safe routines of safe_delete.hpp.
// Removing files, folder trees and shortcuts never raises: each logs its own
// outcome.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "remover/common/product_remover.hpp"
#include "remover/safe_delete/safe_delete.hpp"

namespace remover {

// The special folder of a CSIDL value, ending with one backslash. Raises
// replay::exception "Error in ::SHGetFolderPath( 0, CSIDL=%d ...." when the
// system cannot resolve it, and replay::unicode::unmappable_character when
// the folder has no exact form in the ANSI code page.
std::string get_folder_path(int csidl);

// Deletes one file and logs the outcome; true when deleted.
bool remove_file(const std::string& path);

// Removes a folder tree and logs the outcome; true when the folder existed
// and something was removed, or what stayed is queued for deletion at the
// next restart (forced_removal.hpp). The removal goes on past entries it
// cannot delete; each entry that stays gets one line, then the failure line.
// A protected folder (is_protected_folder, with where the path comes from) is
// refused with a log line. For one of the product's own folders
// (product_tree: its installation and data folders), what in it refuses the
// administrators is taken over first (take_over_refusing).
bool remove_folder_tree(const std::string& path, folder_source source = folder_source::registry,
                        bool product_tree = false);

// Removes a folder only when it is empty, and logs the outcome.
void remove_empty_folder(const std::string& path);

// Removes a folder registered under Installer\Folders when it is empty, and
// unregisters it; true when all of that was done. Logs nothing.
bool remove_registered_install_folder(const std::string& path);

// Removes the folder and then each registered empty parent, stopping at the
// Program Files folder, at a parent that is not empty or at the first folder
// that cannot be removed. Raises filesystem_error when the emptiness test
// fails and replay::exception when Program Files cannot be resolved.
void remove_install_folder(const std::string& path);

// Removes the product's program group, its shortcut, and the tools shortcut
// when it is the last one left, in the common and the user's Start menu.
void remove_shortcuts(const std::string& group, const std::string& name);

// Removes name.lnk from the common and the user's desktop.
void remove_desktop_shortcuts(const std::string& name);

// Removes each GUID-named ProgramData folder that holds a file matching the
// wildcard owned by Administrators, SYSTEM or TrustedInstaller (what an
// installer writes; anyone may drop a file there); logs the others, a folder
// whose markers are all someone else's with the reason.
void remove_common_appdata_folders(const std::string& wildcard);

// Removes every profile's VirtualStore copy of the maker's ProgramData
// folder; returns the number of entries removed, or -1 when the profiles
// cannot be found. Raises filesystem_error when the profiles root cannot be
// listed.
int rmove_virtual_store();

// Removes the folder at the relative path in every user profile.
void remove_dir_in_userappdata_for_allprofiles(const std::string& relative);
// The same for folders that go only when empty in each profile.
void remove_empty_dir_in_userappdata_for_allprofiles(const std::string& relative);

// The part of full below base (ASCII case ignored), without a leading
// backslash; empty when full does not lie below base.
std::string relative_path(const std::string& full, const std::string& base);

// The ANSI form of a name read from the file system or the registry, to be
// joined into a path; none for "." and "..", and none, after a log line, for
// a name that is no single name (is_single_name) or has no exact ANSI form.
std::optional<std::string> joinable_name(const std::wstring& name);

// Names of the files (not folders) in folder (ending with a backslash) that
// match the wildcard, in the order of the search. Names that joinable_name
// refuses are passed over with its log line.
std::vector<std::string> list_files(const std::string& folder, const std::string& wildcard);

// How many files (not folders) in folder (ending with a backslash) match the
// wildcard, whatever their names; 0 when the folder cannot be listed.
size_t count_files(const std::string& folder, const std::string& wildcard);

// Names of the sub-folders of folder (ending with a backslash), without "."
// and ".." or other names beginning with a dot; as list_files, only names
// that joinable_name accepts.
std::vector<std::string> list_subfolders(const std::string& folder);

// Removes the InstallShield information folder of each Uninstall entry found.
void remove_installshield_folders(const product_remover& remover);

}  // namespace remover
