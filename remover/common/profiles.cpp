#include "remover/common/profiles.hpp"

#include <userenv.h>

#include "remover/common/paths.hpp"
#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/names.hpp"

namespace remover {

namespace {

namespace registry2 = replay::registry2;

constexpr wchar_t profile_list_path[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// A folder named in the list, in full form; empty unless it is a local
// drive-letter path (the list is the machine's, but a share or device form
// could name the system's own folders another way).
std::wstring profile_folder(const std::wstring& named) {
    if (named.empty() || !is_local_drive_path(named)) return std::wstring();
    return full_path(named);
}

std::wstring system_profiles_directory() {
    wchar_t folder[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!GetProfilesDirectoryW(folder, &size)) return std::wstring();
    return profile_folder(folder);
}

}  // namespace

bool is_service_sid(const std::wstring& sid) {
    for (const wchar_t* service : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
        if (replay::unicode::same_name(sid, service)) return true;
    }
    return false;
}

profile_list read_profile_list(HKEY list) {
    profile_list result;
    try {
        const registry2::key profiles(list);
        try {
            result.root = profile_folder(profiles.get_string(L"ProfilesDirectory"));
        } catch (const replay::exception&) {
            // No root named: the caller asks the system.
        }
        for (const std::wstring& sid : profiles.subkey_names()) {
            if (is_service_sid(sid)) continue;
            try {
                const registry2::key account(profiles, sid, /*create=*/false);
                const std::wstring folder = profile_folder(account.get_string(L"ProfileImagePath"));
                if (!folder.empty()) result.users.push_back({sid, folder});
            } catch (const replay::exception&) {
                // An account without a readable profile folder.
            }
        }
    } catch (const replay::exception&) {
        // The list cannot be read: no users, and the system's root.
    }
    return result;
}

const profile_list& machine_profiles() {
    static const profile_list profiles = [] {
        profile_list found;
        replay::unique_hkey list;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, profile_list_path, 0, KEY_READ, list.put()) == ERROR_SUCCESS) {
            found = read_profile_list(list.get());
        }
        if (found.root.empty()) found.root = system_profiles_directory();
        return found;
    }();
    return profiles;
}

}  // namespace remover
