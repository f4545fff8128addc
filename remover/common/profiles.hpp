#pragma once
// Where the user profiles are: the folders that the system lists for its user
// accounts, whoever runs the program. The running account's own profile is no
// guide: run as the local system account (as deployment tools start
// programs) it is C:\Windows\System32\config\systemprofile, whose parent holds
// no user's profile.
#include <windows.h>

#include <string>
#include <vector>

namespace remover {

struct user_profile {
    std::wstring sid;     // "S-1-5-21-...-1001"
    std::wstring folder;  // full path, without a trailing backslash
};

struct profile_list {
    // The folder that holds the profiles (ProfilesDirectory), full path
    // without a trailing backslash; empty when unknown.
    std::wstring root;
    // Each user account's profile (ProfileImagePath, expanded), in the order
    // of the SIDs' names; the service accounts' profiles are not users'.
    std::vector<user_profile> users;
};

// Whether a SID is one of the service accounts (local system, local service,
// network service), whose profiles are no user's.
bool is_service_sid(const std::wstring& sid);

// Reads a ProfileList key. Values are expanded with the program's
// environment; a profile folder that is not a local drive-letter path, or a
// SID key without a folder, is passed over. Never raises.
profile_list read_profile_list(HKEY list);

// The machine's profiles, read once per run from
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList; where the
// list names no ProfilesDirectory, the root is GetProfilesDirectoryW's.
const profile_list& machine_profiles();

}  // namespace remover
