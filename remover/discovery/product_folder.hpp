#pragma once
// Whether a folder the registry names (the installation folder from an
// Uninstall entry or the maker's AppPath) can be the product's own: only then
// is its tree removed, programs started from it and counters below it
// dropped. Anyone who could write such a value, or an installer that shares
// folders, would otherwise turn the run against another product's or user's
// files.
#include <string>
#include <vector>

namespace remover {

// What the decision compares the folder with, full paths without trailing
// backslashes.
struct folder_neighbours {
    // InstallLocation of every Uninstall entry that is not the product's.
    std::vector<std::wstring> other_installations;
    // Every profile folder but the running account's own.
    std::vector<std::wstring> other_profiles;
};

// Why the folder (ANSI code page, as the run keeps it) is not taken as the
// product's: it is not on a local drive, is a protected folder
// (is_protected_folder), lies in another user's profile, is another product's
// installation folder or holds one. Empty when it may be the product's.
// Raises nothing.
std::string product_folder_refusal(const std::string& folder, const folder_neighbours& neighbours);

// The neighbours of this machine: the InstallLocation values below the
// Uninstall keys of the local machine, in both views, of the entries whose
// DisplayName is not `product_name` (ASCII case ignored, as discovery finds
// the product's own), and the profiles below the profiles folder but the
// running account's.
folder_neighbours find_folder_neighbours(const std::string& product_name);

}  // namespace remover
