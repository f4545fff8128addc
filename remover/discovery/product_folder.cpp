#include "remover/discovery/product_folder.hpp"

#include <windows.h>
#include <shlobj.h>

#include "remover/common/paths.hpp"
#include "remover/common/profiles.hpp"
#include "remover/common/text.hpp"
#include "remover/files/profile_folders.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace registry2 = replay::registry2;

constexpr wchar_t uninstall_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// Whether `inner` is `outer` itself or lies below it; both are full paths
// without trailing backslashes (a drive root keeps its own).
bool is_at_or_below(const std::wstring& inner, const std::wstring& outer) {
    if (outer.empty() || !replay::unicode::starts_with_name(inner, outer)) return false;
    return inner.size() == outer.size() || outer.back() == L'\\' || inner[outer.size()] == L'\\';
}

std::string shown(const std::wstring& path) {
    return replay::unicode::to_narrow(path, replay::unicode::ansi, /*strict=*/false);
}

// The folder of an InstallLocation value in the form the decision compares;
// empty for a value that names no absolute local path.
std::wstring comparable(const std::wstring& location) {
    if (!is_drive_letter_path(location)) return {};
    return full_path(location);
}

void add_installations(REGSAM view, const std::string& product_name, std::vector<std::wstring>& into) {
    try {
        const registry2::key uninstall(registry2::key(HKEY_LOCAL_MACHINE), uninstall_path, /*create=*/false, view);
        const std::string wanted = ascii_lower(product_name);
        for (const std::wstring& name : uninstall.subkey_names()) {
            try {
                const registry2::key entry(uninstall, name, /*create=*/false);
                std::wstring display;
                try {
                    display = entry.get_string(L"DisplayName");
                } catch (const replay::exception&) {
                    // An entry without a name is another product's all the same.
                }
                if (ascii_lower(shown(display)) == wanted) continue;
                const std::wstring location = comparable(entry.get_string(L"InstallLocation"));
                if (!location.empty()) into.push_back(location);
            } catch (...) {
                // No folder named, or unreadable: nothing to compare with.
            }
        }
    } catch (...) {
        // No Uninstall key in this view.
    }
}

}  // namespace

std::string product_folder_refusal(const std::string& folder, const folder_neighbours& neighbours) {
    try {
        const std::wstring wide = replay::unicode::from_ansi(folder);
        if (!is_local_drive_path(wide)) return "it is not a folder on a local drive";
        if (is_protected_folder(folder)) return "it is a protected folder";
        const std::wstring full = full_path(wide);
        for (const std::wstring& profile : neighbours.other_profiles) {
            if (is_at_or_below(full, profile)) return "it lies in the profile '" + shown(profile) + "' of another user";
        }
        for (const std::wstring& installation : neighbours.other_installations) {
            if (is_at_or_below(installation, full)) {
                return (installation.size() == full.size() ? "it is the installation folder of another product"
                                                           : "it holds the installation folder of another product") +
                       std::string(" ('") + shown(installation) + "')";
            }
        }
        return {};
    } catch (...) {
        return "it cannot be examined";
    }
}

folder_neighbours find_folder_neighbours(const std::string& product_name) {
    folder_neighbours found;
    add_installations(KEY_WOW64_64KEY, product_name, found.other_installations);
    add_installations(KEY_WOW64_32KEY, product_name, found.other_installations);
    wchar_t own[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, own))) return found;
    const std::wstring own_profile = full_path(own);
    // Every user's profile that the system lists, wherever it lies.
    try {
        const auto profiles = profile_folders();
        if (!profiles) return found;
        for (const std::wstring& profile : *profiles) {
            const DWORD attributes = GetFileAttributesW(profile.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            if (!replay::unicode::same_name(profile, own_profile)) found.other_profiles.push_back(profile);
        }
    } catch (const replay::exception&) {
        // The profiles root cannot be listed: no other profile is known.
    }
    return found;
}

}  // namespace remover
