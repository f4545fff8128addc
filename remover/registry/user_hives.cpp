#include "remover/registry/user_hives.hpp"

#include <windows.h>

#include "remover/common/profiles.hpp"
#include "remover/processes/processes.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/log/exception_report.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/unicode/names.hpp"

namespace remover {

namespace {

namespace log = replay::log;
using replay::unicode::same_name;
using replay::unicode::starts_with_name;

constexpr wchar_t classes_path[] = L"Software\\Classes";
constexpr wchar_t classes_suffix[] = L"_Classes";

bool ends_with_name(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && same_name(text.substr(text.size() - tail.size()), tail);
}

// Loads a user's NTUSER.DAT under HKEY_USERS\<SID> for the lifetime of the
// object, and unloads it again. Windows lets only a holder of the backup and
// restore privileges do either.
class loaded_hive {
public:
    loaded_hive(const std::wstring& sid, const std::wstring& file) : sid_(sid) {
        // The file lies in a folder that its user may write: a link there
        // would load another file (another user's hive) under this SID.
        DWORD error = 0;
        const link_state state = check_links(file, &error);
        if (state == link_state::link) {
            result_ = ERROR_REPARSE_TAG_INVALID;
            return;
        }
        if (state == link_state::unknown) {
            result_ = error != 0 ? static_cast<LSTATUS>(error) : ERROR_FILE_NOT_FOUND;
            return;
        }
        privilege_scope backup("SeBackupPrivilege");
        privilege_scope restore("SeRestorePrivilege");
        result_ = RegLoadKeyW(HKEY_USERS, sid_.c_str(), file.c_str());
    }
    loaded_hive(const loaded_hive&) = delete;
    loaded_hive& operator=(const loaded_hive&) = delete;
    ~loaded_hive() {
        if (result_ != ERROR_SUCCESS) return;
        privilege_scope backup("SeBackupPrivilege");
        privilege_scope restore("SeRestorePrivilege");
        const LSTATUS unloaded = RegUnLoadKeyW(HKEY_USERS, sid_.c_str());
        if (unloaded != ERROR_SUCCESS) {
            log::message(L"The registry of user %s could not be unloaded (error %d)", sid_.c_str(),
                         static_cast<int>(unloaded));
        }
    }
    LSTATUS result() const { return result_; }

private:
    std::wstring sid_;
    LSTATUS result_ = ERROR_SUCCESS;
};

void clean_user(const std::wstring& sid, const std::wstring& profile,
                const std::function<void(const std::wstring& sid)>& clean) {
    log::message(L"Registry of user %s, profile '%s':", sid.c_str(), profile.c_str());
    try {
        clean(sid);
    } catch (...) {
        replay::log_current_exception(std::string("clean_user_hive()"), log::instance());
    }
}

// The names below HKEY_USERS: the hives loaded now.
std::vector<std::wstring> loaded_hives() {
    try {
        const replay::registry2::key users(HKEY_USERS);
        const auto names = users.subkey_names();
        return std::vector<std::wstring>(names.begin(), names.end());
    } catch (const replay::exception&) {
        return {};
    }
}

}  // namespace

std::wstring user_key_path(const std::wstring& sid, const std::wstring& path) {
    const std::wstring classes = classes_path;
    if (starts_with_name(path, classes) && (path.size() == classes.size() || path[classes.size()] == L'\\')) {
        return sid + classes_suffix + path.substr(classes.size());
    }
    return sid + L"\\" + path;
}

bool is_other_users_hive(const std::wstring& name, const std::wstring& running_sid) {
    if (!starts_with_name(name, L"S-1-") || ends_with_name(name, classes_suffix)) return false;
    if (is_service_sid(name)) return false;
    return running_sid.empty() || !same_name(name, running_sid);
}

void for_each_other_user_hive(const std::function<void(const std::wstring& sid)>& clean) {
    const std::wstring running = replay::registry2::running_user_sid();
    const profile_list& profiles = machine_profiles();
    const auto profile_of = [&](const std::wstring& sid) {
        for (const user_profile& user : profiles.users) {
            if (same_name(user.sid, sid)) return user.folder;
        }
        return std::wstring();
    };
    const std::vector<std::wstring> loaded = loaded_hives();
    for (const std::wstring& sid : loaded) {
        if (is_other_users_hive(sid, running)) clean_user(sid, profile_of(sid), clean);
    }
    for (const user_profile& user : profiles.users) {
        if (!is_other_users_hive(user.sid, running)) continue;
        bool is_loaded = false;
        for (const std::wstring& name : loaded) is_loaded = is_loaded || same_name(name, user.sid);
        if (is_loaded) continue;
        const std::wstring file = user.folder + L"\\NTUSER.DAT";
        const loaded_hive hive(user.sid, file);
        if (hive.result() != ERROR_SUCCESS) {
            log::message(L"The registry of user %s cannot be loaded from '%s' (error %d): it stays as it is",
                         user.sid.c_str(), file.c_str(), static_cast<int>(hive.result()));
            continue;
        }
        clean_user(user.sid, user.folder, clean);
    }
}

}  // namespace remover
