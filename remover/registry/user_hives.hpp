#pragma once
// The registry hives of the machine's other users. Run as the local system
// account (as deployment tools start programs), HKEY_CURRENT_USER is the
// system account's hive: the users' own keys are in their hives, under
// HKEY_USERS\<SID> while they are signed in, and in their profiles'
// NTUSER.DAT files otherwise. A user's hive is that user's to write: what it
// holds is never trusted (its keys are opened without following links).
#include <functional>
#include <string>
#include <vector>

namespace remover {

// The path below HKEY_USERS of a key that a user's HKEY_CURRENT_USER shows at
// `path`: "<SID>\<path>", or "<SID>_Classes\<rest>" for a key below
// Software\Classes (the user's classes hive).
std::wstring user_key_path(const std::wstring& sid, const std::wstring& path);

// Whether a name below HKEY_USERS is a user's own hive to clean: a SID that
// is neither a service account's, nor the running account's, nor a classes
// hive (".DEFAULT" and "<SID>_Classes" are not).
bool is_other_users_hive(const std::wstring& name, const std::wstring& running_sid);

// Calls clean(sid) for each other user (is_other_users_hive) with the hive
// under HKEY_USERS\<SID>: first every hive loaded there (users signed in),
// then each profile that the system lists (machine_profiles) whose hive is
// not loaded: its NTUSER.DAT is loaded there (with the backup and restore
// privileges), cleaned and unloaded. Before each user one line names the SID
// and the profile folder; a hive that cannot be loaded (in use, locked,
// missing, or a link) is named in one line and left alone. Never raises:
// what clean raises ends that user's clean-up and is logged.
void for_each_other_user_hive(const std::function<void(const std::wstring& sid)>& clean);

}  // namespace remover
