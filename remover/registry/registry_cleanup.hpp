#pragma once
// Removing the product's registry keys and repairing the SharedDLLs
// reference counters of shared files.
#include <windows.h>

#include <memory>
#include <string>

#include "replay/registry2/key.hpp"

namespace remover {

// "HKEY_LOCAL_MACHINE" and so on; "HKEY_!unidentified!" for other handles.
std::wstring root_key_name(HKEY root);

// Deletes the subkey `name` of root\parent, with everything below it when
// recursive is set, and logs the outcome. Returns true when the key was
// deleted or its parent is missing (nothing needed to be deleted); false when
// the deletion failed or the parent could not be opened otherwise. Works in the program's
// own registry view. A recursive deletion goes on past what it cannot
// delete; when a key below it stayed, the failure line is followed by one
// naming the first such key. Never raises.
// Below a user's hive (anything but HKEY_LOCAL_MACHINE) the parent path is
// opened one key at a time and never through a registry link: a link on the
// way counts as a parent that cannot be opened.
bool remove_registry_key(HKEY root, const std::wstring& parent, const std::wstring& name, bool recursive);
// The same below a root that the log names `root_name` (HKEY_USERS for
// another user's hive, whose SID begins the parent path).
// With take_over, keys of that tree that refuse the administrators are taken
// over first, as remove_product_registry_key does.
bool remove_registry_key_below(HKEY root, const std::wstring& root_name, const std::wstring& parent,
                               const std::wstring& name, bool recursive, bool take_over = false);

// The same for a key of the product's own tree, with everything below it:
// first every key of that tree whose access list refuses its reading or
// deletion is taken over (remover/files/take_over.hpp). Only the key `name` and
// what lies below it are, reached from a parent path without registry links;
// never the parent, nor what a link below leads to.
bool remove_product_registry_key(HKEY root, const std::wstring& parent, const std::wstring& name);

// Sets every SharedDLLs counter whose value name contains pattern (ASCII case
// ignored) to users, or deletes it when users is 0, in the 32-bit registry
// view. Lists the counters first. Values that are not 4-byte REG_DWORD
// counters are left alone. Never raises.
void fix_shareddlls_counters(const std::wstring& pattern, DWORD users);

// The product's keys below Software of the current user and of the local
// machine, the maker's keys once empty, and the product's App Paths entry;
// then the same user keys in each other user's hive (for_each_other_user_hive);
// each outcome logged. Never raises.
void clean_software_registry();

#if defined(ZENQO_X64)
// The 32-bit view's SharedDlls counters of the product's own files in
// install_dir; each removal logged, then an empty line.
void remove_32bit_shared_dlls_values(const std::string& install_dir);
// The maker's key in the 32-bit view, once nothing is left below it; logged
// only when it went.
void remove_32bit_folder_key();
#endif

}  // namespace remover
