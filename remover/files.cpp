#include "remover/files.hpp"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <optional>

#include "remover/identity.hpp"
#include "remover/product_remover.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr wchar_t installer_folders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";
constexpr char virtual_store_below_profile[] = "AppData\\Local\\VirtualStore\\ProgramData\\";

std::wstring widen(const std::string& path) {
    return replay::unicode::to_wide(path, replay::unicode::ansi);
}

std::string narrow_path(const std::wstring& path) {
    return replay::unicode::to_narrow(path, replay::unicode::ansi, /*strict=*/false);
}

std::wstring upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool same_path(const std::wstring& a, const std::wstring& b) { return upper(a) == upper(b); }

bool ends_with_backslash(const std::string& path) { return !path.empty() && path.back() == '\\'; }

// The absolute form of a path with long names and without trailing
// backslashes (a drive root keeps its own).
std::wstring full_path(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(size);
    const DWORD long_size = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (long_size > 0) {
        std::wstring long_form(long_size, L'\0');
        const DWORD written = GetLongPathNameW(full.c_str(), long_form.data(), long_size);
        if (written > 0 && written < long_size) full = long_form.substr(0, written);
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

// Functions of newer Windows versions, bound at run time so that the program
// still starts on Windows 2000 and XP, where no symbolic links exist.
using final_path_function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using set_file_information_function = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

final_path_function final_path_by_handle() {
    static const auto function = reinterpret_cast<final_path_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    return function;
}

set_file_information_function set_file_information() {
    static const auto function = reinterpret_cast<set_file_information_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
    return function;
}

// The path an open handle really names, in the "C:\..." or "\\server\..." form.
std::optional<std::wstring> final_path(HANDLE handle) {
    const final_path_function function = final_path_by_handle();
    if (function == nullptr) return std::nullopt;
    std::wstring path(MAX_PATH, L'\0');
    DWORD size = function(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (size >= path.size()) {
        path.resize(size + 1);
        size = function(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    }
    if (size == 0 || size >= path.size()) return std::nullopt;
    path.resize(size);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

// True when the path names itself: it is no link and is not reached through
// one. Where the system cannot tell (no symbolic links before Vista), the
// link attribute alone decides.
bool resolves_to_itself(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (final_path_by_handle() == nullptr) return true;
    replay::file_handle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return false;
    const auto resolved = final_path(handle.get());
    return resolved && same_path(*resolved, path);
}

// Removes a link without touching its target, where the system allows that:
// the handle must name the link itself. Under some systems (Wine) every
// handle reaches the target; the link then stays.
bool remove_link_alone(const std::wstring& path) {
    if (final_path_by_handle() == nullptr || set_file_information() == nullptr) {
        // Windows 2000 and XP know only junctions, which RemoveDirectory
        // removes without entering.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) != FALSE
                                                        : DeleteFileW(path.c_str()) != FALSE;
    }
    replay::file_handle handle(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    if (!handle) return false;
    const auto resolved = final_path(handle.get());
    if (!resolved || !same_path(*resolved, path)) return false;
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return set_file_information()(handle.get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

[[noreturn]] void raise(const char* operation, DWORD error, const std::wstring& path) {
    throw filesystem_error(replay::format("%s: %s: \"%s\"", operation, replay::system_error_text(error).c_str(),
                                          narrow_path(path).c_str()));
}

// Whether a path exists; a missing path or folder is no error.
bool exists(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
        error == ERROR_BAD_NETPATH || error == ERROR_BAD_PATHNAME || error == ERROR_NOT_READY) {
        return false;
    }
    raise("exists", error, path);
}

// Whether a folder has no entries; raises for a folder that cannot be listed.
bool is_empty(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    replay::find_handle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;
        raise("is_empty", error, folder);
    }
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) return false;
    } while (FindNextFileW(search.get(), &entry));
    return true;
}

class tree_remover {
public:
    std::uintmax_t remove(const std::wstring& root) {
        if (!exists(root)) return 0;
        const DWORD attributes = GetFileAttributesW(root.c_str());
        if (!resolves_to_itself(root)) return remove_link_alone(root) ? 1 : 0;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_file(root, attributes);
            return removed_;
        }
        walk(root);
        remove_folder(root);
        return removed_;
    }

private:
    void walk(const std::wstring& folder) {
        std::vector<WIN32_FIND_DATAW> entries;
        {
            WIN32_FIND_DATAW entry;
            replay::find_handle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
            if (!search) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) return;
                raise("remove_all", error, folder);
            }
            do {
                if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
                    entries.push_back(entry);
                }
            } while (FindNextFileW(search.get(), &entry));
        }
        for (const WIN32_FIND_DATAW& entry : entries) {
            const std::wstring path = folder + L"\\" + entry.cFileName;
            // A link is never entered: its target is not the product's.
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !resolves_to_itself(path)) {
                if (remove_link_alone(path)) {
                    ++removed_;
                } else {
                    kept_link_ = path;
                }
                continue;
            }
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                walk(path);
                remove_folder(path);
            } else {
                remove_file(path, entry.dwFileAttributes);
            }
        }
    }

    void remove_file(const std::wstring& path, DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        if (!DeleteFileW(path.c_str())) raise("remove_all", GetLastError(), path);
        ++removed_;
    }

    void remove_folder(const std::wstring& path) {
        if (RemoveDirectoryW(path.c_str())) {
            ++removed_;
            return;
        }
        const DWORD error = GetLastError();
        if (!kept_link_.empty()) {
            throw filesystem_error(replay::format("remove_all: a link is not followed and stays: \"%s\"",
                                                  narrow_path(kept_link_).c_str()));
        }
        raise("remove_all", error, path);
    }

    std::uintmax_t removed_ = 0;
    std::wstring kept_link_;
};

// The folders a tree removal never takes, in full upper-case form.
std::vector<std::wstring> protected_folders() {
    static const int known[] = {
        CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
        CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, CSIDL_STARTMENU,
        CSIDL_COMMON_STARTMENU, CSIDL_STARTUP, CSIDL_COMMON_STARTUP, CSIDL_DESKTOPDIRECTORY,
        CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL, CSIDL_COMMON_DOCUMENTS, CSIDL_FONTS,
    };
    std::vector<std::wstring> folders;
    auto add = [&](const std::wstring& path) {
        if (!path.empty()) folders.push_back(upper(full_path(path)));
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
    // Every user profile.
    wchar_t profile[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) {
        std::wstring root = full_path(profile);
        root = root.substr(0, root.find_last_of(L'\\'));
        add(root);
        WIN32_FIND_DATAW entry;
        replay::find_handle search(FindFirstFileW((root + L"\\*").c_str(), &entry));
        if (search) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != L'.') {
                    add(root + L"\\" + entry.cFileName);
                }
            } while (FindNextFileW(search.get(), &entry));
        }
    }
    return folders;
}

}  // namespace

std::string get_folder_path(int csidl) {
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(/*owner=*/nullptr, csidl, /*token=*/nullptr, SHGFP_TYPE_CURRENT, path))) {
        throw replay::exception("Error in ::SHGetFolderPath( 0, CSIDL=%d ....", csidl);
    }
    return std::string(path) + "\\";
}

bool is_protected_folder(const std::string& path) {
    const std::wstring wide = widen(path);
    // Only fully qualified paths: "X:\..." or "\\server\share\...".
    const bool drive_path = wide.size() >= 3 && iswalpha(wide[0]) && wide[1] == L':' &&
                            (wide[2] == L'\\' || wide[2] == L'/');
    const bool share_path = wide.size() >= 3 && wide[0] == L'\\' && wide[1] == L'\\' && wide[2] != L'?' &&
                            wide[2] != L'.' && wide[2] != L'\\';
    if (!drive_path && !share_path) return true;
    const std::wstring full = upper(full_path(wide));
    if (full.empty()) return true;
    if (drive_path && full.size() <= 3) return true;  // a drive root
    if (share_path && std::count(full.begin() + 2, full.end(), L'\\') < 2) return true;  // a share root
    for (const std::wstring& folder : protected_folders()) {
        if (folder == full) return true;
        if (folder.size() > full.size() && folder.compare(0, full.size(), full) == 0 &&
            folder[full.size()] == L'\\') {
            return true;  // a parent of a protected folder
        }
    }
    return false;
}

std::uintmax_t remove_tree(const std::string& path) {
    const std::wstring full = full_path(widen(path));
    if (full.empty()) return 0;
    return tree_remover().remove(full);
}

namespace {

// Deletes a single file unless it is a link whose target would go instead.
// Returns 0 on success, else the error code to report.
DWORD delete_single_file(const std::string& path) {
    const std::wstring wide = widen(path);
    if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES && !resolves_to_itself(full_path(wide))) {
        return remove_link_alone(full_path(wide)) ? 0 : ERROR_ACCESS_DENIED;
    }
    return DeleteFileA(path.c_str()) ? 0 : GetLastError();
}

}  // namespace

bool remove_file(const std::string& path) {
    const DWORD error = delete_single_file(path);
    if (error == 0) {
        log::message("   %s removed", path.c_str());
        return true;
    }
    log::message("FAILED TO remove '%s'; error %d !", path.c_str(), static_cast<int>(error));
    return false;
}

bool remove_folder_tree(const std::string& path) {
    if (is_protected_folder(path)) {
        log::message("Would not dare to remove '%s' !", path.c_str());
        return false;
    }
    try {
        if (!exists(widen(path))) {
            log::message("Folder to remove '%s' does NOT EXIST !", path.c_str());
            return false;
        }
        if (remove_tree(path) != 0) {
            log::message(". Folder '%s' was removed", path.c_str());
            return true;
        }
    } catch (const replay::exception& e) {
        replay::log_current_exception(e.message(), log::instance());
    } catch (const std::exception& e) {
        replay::log_current_exception(std::string(e.what()), log::instance());
    } catch (...) {
    }
    log::message("! Failed to remove folder '%s' !", path.c_str());
    return false;
}

void remove_empty_folder(const std::string& path) {
    try {
        const std::wstring wide = widen(path);
        if (!exists(wide)) {
            log::message("Folder to remove '%s' does NOT EXIST !", path.c_str());
            return;
        }
        if (!is_empty(wide)) {
            log::message("Do NOT removing folder '%s', as it is not empty !", path.c_str());
            return;
        }
        // An empty link would take its target with it on some systems.
        if (!resolves_to_itself(full_path(wide))) {
            log::message("Would not dare to remove '%s' !", path.c_str());
            return;
        }
        if (RemoveDirectoryA(path.c_str())) {
            log::message("Removed empty folder '%s' !", path.c_str());
        } else {
            const DWORD error = GetLastError();
            log::message("Failed to remove empty folder '%s', GetLastError()=%u !", path.c_str(),
                         static_cast<unsigned>(error));
        }
    } catch (...) {
        // A folder that cannot be examined stays.
    }
}

bool remove_registered_install_folder(const std::string& path) {
    if (path.empty()) return false;
    const std::string folder = ends_with_backslash(path) ? path : path + "\\";
    try {
        const std::wstring wide = widen(folder);
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key folders(machine, installer_folders, /*create=*/false);
        // Only a folder that Windows Installer registered is taken.
        folders.get_string(wide);
        if (!resolves_to_itself(full_path(wide))) return false;
        if (!RemoveDirectoryA(folder.c_str())) return false;
        folders.delete_value(wide);
        return true;
    } catch (...) {
        return false;
    }
}

void remove_install_folder(const std::string& path) {
    std::string current = path;
    if (current.empty()) return;
    for (;;) {
        if (!remove_registered_install_folder(current)) {
            log::message("Can't remove Install Folder '%s' (not found, nonempty, or locked).", current.c_str());
            return;
        }
        log::message("Install Folder '%s' was removed also.", current.c_str());
        current.pop_back();
        const size_t last = current.rfind('\\');
        if (last != std::string::npos) current.erase(last + 1);
        if (current == get_folder_path(CSIDL_PROGRAM_FILES)) {
            log::message("Would not dare to remove '%s' !", current.c_str());
            return;
        }
        if (!is_empty(widen(current))) return;
        if (current.empty()) return;
    }
}

void remove_shortcuts(const std::string& group, const std::string& name) {
    const std::string roots[] = {get_folder_path(CSIDL_COMMON_PROGRAMS), get_folder_path(CSIDL_PROGRAMS)};
    const std::string tools_shortcut = narrow(identity().tools_name) + ".lnk";
    for (const std::string& root : roots) {
        const std::string group_folder = root + group;
        remove_folder_tree(group_folder + "\\" + name);
        remove_file(group_folder + "\\" + name + ".lnk");
        // The tools shortcut goes only when it is the last one in the group.
        size_t shortcuts = 0;
        WIN32_FIND_DATAW entry;
        replay::find_handle search(FindFirstFileW(widen(group_folder + "\\*.lnk").c_str(), &entry));
        if (search) {
            do {
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++shortcuts;
            } while (FindNextFileW(search.get(), &entry));
        }
        search.reset();
        const std::string tools = group_folder + "\\" + tools_shortcut;
        if (shortcuts == 1 && GetFileAttributesA(tools.c_str()) != INVALID_FILE_ATTRIBUTES) remove_file(tools);
        if (!group.empty()) remove_empty_folder(group_folder);
    }
}

void remove_desktop_shortcuts(const std::string& name) {
    for (int csidl : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY}) {
        remove_file(get_folder_path(csidl) + name + ".lnk");
    }
}

void product_remover::remove_installshield_folders() {
    for (const std::wstring& name : uninstall_keys) {
        remove_folder_tree(get_folder_path(CSIDL_PROGRAM_FILES) + "InstallShield Installation Information\\" +
                           narrow_path(name));
    }
}

void remove_common_appdata_folders(const std::string& wildcard) {
    std::string base = get_folder_path(CSIDL_COMMON_APPDATA);
    if (!ends_with_backslash(base)) base += "\\";
    for (const std::string& name : list_subfolders(base)) {
        if (name.empty() || name[0] != '{') continue;
        const std::string common = get_folder_path(CSIDL_COMMON_APPDATA);
        const std::string folder = common + name;
        const std::string probe = ends_with_backslash(folder) ? folder : folder + "\\";
        if (!list_files(probe, wildcard).empty()) {
            remove_folder_tree(folder);
        } else {
            log::message("%s\\%s - ignore folder", common.c_str(), name.c_str());
        }
    }
}

namespace {

// The folder that holds all user profiles, with a trailing backslash.
std::optional<std::wstring> profiles_root() {
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) return std::nullopt;
    const std::wstring full = full_path(profile);
    const size_t last = full.find_last_of(L'\\');
    if (last == std::wstring::npos) return std::nullopt;
    return full.substr(0, last + 1);
}

// Every entry of a folder (files included), as full paths.
std::vector<std::wstring> entries_of(const std::wstring& folder) {
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW entry;
    replay::find_handle search(FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!search) raise("directory_iterator", GetLastError(), folder);
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
            entries.push_back(folder + entry.cFileName);
        }
    } while (FindNextFileW(search.get(), &entry));
    return entries;
}

}  // namespace

int rmove_virtual_store() {
    const auto root = profiles_root();
    if (!root) return -1;
    const std::string relative = virtual_store_below_profile + narrow(identity().folder_name);
    int total = 0;
    for (const std::wstring& entry : entries_of(*root)) {
        try {
            const std::string target = narrow_path(entry) + "\\" + relative;
            if (!exists(widen(target))) continue;
            if (is_protected_folder(target)) {
                log::message("Would not dare to remove '%s' !", target.c_str());
                continue;
            }
            total += static_cast<int>(remove_tree(target));
        } catch (...) {
            const DWORD error = GetLastError();
            log::message("Error occured in rmove_virtual_store(), System Error Code = %d", static_cast<int>(error));
        }
    }
    return total;
}

void remove_dir_in_userappdata_for_allprofiles(const std::string& relative) {
    if (relative.empty()) {
        log::message("empty parameter is not allowed for remove_dir_in_userappdata_for_allprofiles()");
        return;
    }
    try {
        wchar_t common[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) return;
        std::wstring skip = full_path(common);
        skip = skip.substr(0, skip.find_last_of(L'\\'));
        const auto root = profiles_root();
        if (!root) return;
        for (const std::wstring& entry : entries_of(*root)) {
            // The All Users profile, where common application data lives in it.
            if (same_path(entry, skip)) continue;
            try {
                const std::string target = narrow_path(entry) + "\\" + relative;
                if (!exists(widen(target))) continue;
                log::message("removing %s", target.c_str());
                if (is_protected_folder(target)) {
                    log::message("Would not dare to remove '%s' !", target.c_str());
                    continue;
                }
                remove_tree(target);
            } catch (...) {
                const DWORD error = GetLastError();
                log::error("Error occured in remove_dir_in_userappdata_for_allprofiles(), System Error Code = %d",
                           static_cast<int>(error));
            }
        }
    } catch (...) {
        log::error("exeption in remove_dir_in_userappdata_for_allprofiles");
    }
}

std::string relative_path(const std::string& full, const std::string& base) {
    auto lower = [](std::string text) {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return text;
    };
    const std::string lowered_full = lower(full);
    const std::string lowered_base = lower(base);
    if (lowered_full.compare(0, lowered_base.size(), lowered_base) != 0) return std::string();
    std::string result = full.substr(base.size());
    if (!result.empty() && result[0] == '\\') result.erase(0, 1);
    return result;
}

namespace {

template <typename Keep>
std::vector<std::string> search_folder(const std::string& pattern, Keep keep) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    replay::find_handle search(FindFirstFileA(pattern.c_str(), &entry));
    if (!search) return names;
    do {
        if (keep(entry)) names.emplace_back(entry.cFileName);
    } while (FindNextFileA(search.get(), &entry));
    return names;
}

}  // namespace

std::vector<std::string> list_files(const std::string& folder, const std::string& wildcard) {
    return search_folder(folder + wildcard,
                         [](const WIN32_FIND_DATAA& entry) { return !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY); });
}

std::vector<std::string> list_subfolders(const std::string& folder) {
    return search_folder(folder + "*", [](const WIN32_FIND_DATAA& entry) {
        return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != '.';
    });
}

}  // namespace remover
