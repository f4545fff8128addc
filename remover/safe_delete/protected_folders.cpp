#include "remover/safe_delete/internal.hpp"

#include <shlobj.h>

#include <algorithm>

#include "remover/common/paths.hpp"
#include "remover/common/profiles.hpp"
#include "replay/handle.hpp"

namespace remover {

using namespace detail;

namespace {

// Adds root\<name> for each folder in root.
void add_subfolders(const std::wstring& root, std::vector<std::wstring>& into) {
    WIN32_FIND_DATAW entry;
    replay::find_handle search(FindFirstFileW((root + L"\\*").c_str(), &entry));
    if (!search) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != L'.') {
            into.push_back(root + L"\\" + entry.cFileName);
        }
    } while (FindNextFileW(search.get(), &entry));
}

// The folders a tree removal never takes, in full form.
std::vector<std::wstring> build_protected_folders() {
    static const int known[] = {
        CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
        CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, CSIDL_STARTMENU,
        CSIDL_COMMON_STARTMENU, CSIDL_STARTUP, CSIDL_COMMON_STARTUP, CSIDL_DESKTOPDIRECTORY,
        CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL, CSIDL_COMMON_DOCUMENTS, CSIDL_FONTS,
    };
    std::vector<std::wstring> folders;
    auto add = [&](const std::wstring& path) {
        if (!path.empty()) folders.push_back(full_path(path));
    };
    for (int csidl : known) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) add(path);
    }
    wchar_t path[MAX_PATH] = {};
    if (GetWindowsDirectoryW(path, MAX_PATH)) add(path);
    if (GetSystemDirectoryW(path, MAX_PATH)) add(path);
    // The 64-bit Program Files folder, as a 32-bit program sees it.
    if (GetEnvironmentVariableW(L"ProgramW6432", path, MAX_PATH)) add(path);
    // Every user profile, with the same known folders as the running
    // account's own (AppData, Documents, Desktop, Start menu...): the folders
    // in the running account's profile's parent, and the profiles that the
    // system lists wherever they lie (run as the local system account, the
    // running account's own profile shows none of them).
    std::vector<std::wstring> profiles;
    std::vector<std::wstring> known_below_profile;
    wchar_t profile[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) {
        const std::wstring own = full_path(profile);
        for (const std::wstring& folder : folders) {
            if (folder.size() > own.size() + 1 && starts_with_name(folder, own) && folder[own.size()] == L'\\')
                known_below_profile.push_back(folder.substr(own.size()));
        }
        const std::wstring root = own.substr(0, own.find_last_of(L'\\'));
        add(root);
        add_subfolders(root, profiles);
    }
    const profile_list& listed = machine_profiles();
    if (!listed.root.empty()) {
        add(listed.root);
        add_subfolders(listed.root, profiles);
    }
    for (const user_profile& user : listed.users) profiles.push_back(user.folder);
    for (const std::wstring& folder : profiles) {
        add(folder);
        for (const std::wstring& below : known_below_profile) add(folder + below);
    }
    return folders;
}

// Built on first use: the system and user folders do not change during a run.
const std::vector<std::wstring>& protected_folders() {
    static const std::vector<std::wstring> folders = build_protected_folders();
    return folders;
}

}  // namespace

bool is_protected_folder(const std::string& path, folder_source source) {
    const std::wstring wide = from_ansi(path);
    // A folder read from the registry only as a local drive-letter path: a
    // share or device form can name any folder, the system's own included,
    // another way. One built from a folder the system names may lie wherever
    // the system keeps that folder (with folder redirection, a share or a
    // network drive).
    const bool usable = source == folder_source::registry ? is_local_drive_path(wide) : is_absolute_path(wide);
    if (!usable) return true;
    const std::wstring full = full_path(wide);
    const size_t root = root_length(full);
    if (!is_absolute_path(full) || root == 0 || root >= full.size()) return true;  // a drive or share root
    for (const std::wstring& folder : protected_folders()) {
        if (same_name(folder, full)) return true;
        if (folder.size() > full.size() && starts_with_name(folder, full) &&
            folder[full.size()] == L'\\') {
            return true;  // a parent of a protected folder
        }
    }
    return false;
}

}  // namespace remover
