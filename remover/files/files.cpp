#include "remover/files/files.hpp"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <optional>

#include "remover/common/identity.hpp"
#include "remover/common/product_remover.hpp"
#include "remover/common/run_outcome.hpp"
#include "remover/common/text.hpp"
#include "remover/files/forced_removal.hpp"
#include "remover/files/profile_folders.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/exception_report.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

constexpr wchar_t installer_folders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";
constexpr char virtual_store_below_profile[] = "AppData\\Local\\VirtualStore\\ProgramData\\";

using replay::unicode::from_ansi;
using replay::unicode::to_ansi;
using replay::unicode::to_ansi_strict;

bool ends_with_backslash(const std::string& path) { return !path.empty() && path.back() == '\\'; }

// Logs the exception being handled, as the tree removals report failures.
void log_failure() {
    try {
        throw;
    } catch (const replay::exception& e) {
        replay::log_current_exception(e.message(), log::instance());
    } catch (const std::exception& e) {
        replay::log_current_exception(std::string(e.what()), log::instance());
    } catch (...) {
    }
}

}  // namespace

std::optional<std::string> joinable_name(const std::wstring& name) {
    if (name == L"." || name == L"..") return std::nullopt;
    if (replay::unicode::is_single_name(name)) {
        try {
            return replay::unicode::to_ansi_strict(name);
        } catch (const replay::exception&) {
        }
    }
    log::message(L"Passing over '%s': its name cannot be converted exactly or is not a single name",
                 name.c_str());
    outcome::kept(name, outcome::reason_unsafe_name);
    return std::nullopt;
}

std::string get_folder_path(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(/*owner=*/nullptr, csidl, /*token=*/nullptr, SHGFP_TYPE_CURRENT, path))) {
        throw replay::exception("Error in ::SHGetFolderPath( 0, CSIDL=%d ....", csidl);
    }
    // Strictly converted: a folder without an exact ANSI form raises rather
    // than turn into "?" or a look-alike (best fit) that names another path.
    return to_ansi_strict(path) + "\\";
}

bool remove_file(const std::string& path) {
    const DWORD error = delete_file_safely(path);
    if (error == 0) {
        log::message("   %s removed", path.c_str());
        outcome::removed(path);
        return true;
    }
    if (error == link_not_removed) {
        log::message("FAILED TO remove '%s'; it is a link, which is not followed !", path.c_str());
        outcome::kept(path, outcome::reason_link);
        return false;
    }
    log::message("FAILED TO remove '%s'; error %d !", path.c_str(), static_cast<int>(error));
    outcome::failed(path, error);
    return false;
}

bool remove_folder_tree(const std::string& path, folder_source source, bool product_tree) {
    try {
        if (is_protected_folder(path, source)) {
            log::message("Would not dare to remove '%s' !", path.c_str());
            outcome::kept(path, outcome::reason_protected);
            return false;
        }
        if (!path_exists(from_ansi(path))) {
            log::message("Folder to remove '%s' does NOT EXIST !", path.c_str());
            return false;
        }
        tree_outcome tree = remove_tree_reporting(path);
        if (product_tree) take_over_refusing(path, tree);
        if (tree.kept.empty() && tree.removed != 0) {
            log::message(". Folder '%s' was removed", path.c_str());
            outcome::removed(path);
            return true;
        }
        // What is in use goes at the next restart where that is safe; the
        // root is then queued too, and nothing stays for now.
        const bool kept = !tree.kept.empty();
        const std::vector<kept_entry> staying = schedule_in_use(full_path(from_ansi(path)), std::move(tree.kept));
        if (kept && staying.empty()) return true;
        // Each entry that stayed is recorded with its own error, the folder
        // with the first of them.
        report_kept(staying);
        log::message("! Failed to remove folder '%s' !", path.c_str());
        DWORD first_error = 0;
        for (const kept_entry& entry : staying) {
            if (entry.holds_kept) continue;
            if (entry.error != link_not_removed) first_error = entry.error;
            break;
        }
        outcome::failed(path, first_error);
        return false;
    } catch (...) {
        log_failure();
    }
    log::message("! Failed to remove folder '%s' !", path.c_str());
    outcome::failed(path, /*error=*/0);
    return false;
}

void remove_empty_folder(const std::string& path) {
    try {
        const std::wstring wide = from_ansi(path);
        if (!path_exists(wide)) {
            log::message("Folder to remove '%s' does NOT EXIST !", path.c_str());
            return;
        }
        if (!is_empty_folder(wide)) {
            log::message("Do NOT removing folder '%s', as it is not empty !", path.c_str());
            outcome::kept(path, outcome::reason_not_empty);
            return;
        }
        // An empty link would take its target with it on some systems.
        const DWORD error = remove_empty_folder_safely(path);
        if (error == link_not_removed) {
            log::message("Would not dare to remove '%s' !", path.c_str());
            outcome::kept(path, outcome::reason_link);
        } else if (error == 0) {
            log::message("Removed empty folder '%s' !", path.c_str());
            outcome::removed(path);
        } else {
            log::message("Failed to remove empty folder '%s', GetLastError()=%u !", path.c_str(),
                         static_cast<unsigned>(error));
            outcome::failed(path, error);
        }
    } catch (...) {
        // A folder that cannot be examined stays.
    }
}

bool remove_registered_install_folder(const std::string& path) {
    if (path.empty()) return false;
    const std::string folder = ends_with_backslash(path) ? path : path + "\\";
    try {
        const std::wstring wide = from_ansi(folder);
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key folders(machine, installer_folders, /*create=*/false);
        // Only a folder that Windows Installer registered is taken.
        folders.get_string(wide);
        if (remove_empty_folder_safely(folder) != 0) return false;
        folders.delete_value(wide);
        return true;
    } catch (...) {
        return false;
    }
}

void remove_install_folder(const std::string& path) {
    std::string current = path;
    if (current.empty()) return;
    // The folder comes from the registry: a share or device form, or a
    // network drive, could name another disk's folders, or this one's another
    // way.
    const auto slash = [](char c) { return c == '\\' || c == '/'; };
    bool refused = current.size() >= 2 && slash(current[0]) && slash(current[1]);
    if (!refused && current.size() >= 3 && current[1] == ':') {
        try {
            refused = !is_local_drive_path(from_ansi(current));
        } catch (const replay::exception&) {
            refused = true;
        }
    }
    if (refused) {
        log::message("Would not dare to remove '%s' !", current.c_str());
        outcome::kept(current, outcome::reason_protected);
        return;
    }
    for (;;) {
        if (!remove_registered_install_folder(current)) {
            log::message("Can't remove Install Folder '%s' (not found, nonempty, or locked).", current.c_str());
            return;
        }
        log::message("Install Folder '%s' was removed also.", current.c_str());
        outcome::removed(current);
        current.pop_back();
        const size_t last = current.rfind('\\');
        if (last != std::string::npos) current.erase(last + 1);
        if (current == get_folder_path(CSIDL_PROGRAM_FILES)) {
            log::message("Would not dare to remove '%s' !", current.c_str());
            return;
        }
        if (!is_empty_folder(from_ansi(current))) return;
        if (current.empty()) return;
    }
}

void remove_shortcuts(const std::string& group, const std::string& name) {
    const std::string roots[] = {get_folder_path(CSIDL_COMMON_PROGRAMS), get_folder_path(CSIDL_PROGRAMS)};
    const std::string tools_shortcut = narrow(identity().tools_name) + ".lnk";
    for (const std::string& root : roots) {
        const std::string group_folder = root + group;
        remove_folder_tree(group_folder + "\\" + name, folder_source::system);
        remove_file(group_folder + "\\" + name + ".lnk");
        // The tools shortcut goes only when it is the last one in the group.
        // Every shortcut counts, also one whose name has no ANSI form.
        const size_t shortcuts = count_files(group_folder + "\\", "*.lnk");
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

void remove_installshield_folders(const product_remover& remover) {
    for (const std::wstring& name : remover.uninstall_keys) {
        const auto folder = joinable_name(name);
        if (!folder) continue;
        remove_folder_tree(get_folder_path(CSIDL_PROGRAM_FILES) + "InstallShield Installation Information\\" +
                           *folder);
    }
}

int rmove_virtual_store() {
    const auto profiles = profile_folders();
    if (!profiles) return -1;
    const std::string relative = virtual_store_below_profile + narrow(identity().folder_name);
    int total = 0;
    for (const std::wstring& entry : *profiles) {
        try {
            const std::string target = replay::unicode::to_ansi_strict(entry) + "\\" + relative;
            if (!path_exists(from_ansi(target))) continue;
            if (is_protected_folder(target, folder_source::system)) {
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

namespace {

// Calls `remove` on the relative path in every profile where it exists, the
// All Users profile and protected folders excepted; logs each target.
template <typename Remove>
void for_each_profile(const std::string& relative, Remove remove) {
    if (relative.empty()) {
        log::message("empty parameter is not allowed for remove_dir_in_userappdata_for_allprofiles()");
        return;
    }
    try {
        wchar_t common[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) return;
        std::wstring skip = full_path(common);
        skip = skip.substr(0, skip.find_last_of(L'\\'));
        const auto profiles = profile_folders();
        if (!profiles) return;
        for (const std::wstring& entry : *profiles) {
            // The All Users profile, where common application data lives in it.
            if (replay::unicode::same_name(entry, skip)) continue;
            try {
                const std::string target = replay::unicode::to_ansi_strict(entry) + "\\" + relative;
                if (!path_exists(from_ansi(target))) continue;
                log::message("removing %s", target.c_str());
                if (is_protected_folder(target, folder_source::system)) {
                    log::message("Would not dare to remove '%s' !", target.c_str());
                    continue;
                }
                remove(target);
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

}  // namespace

void remove_dir_in_userappdata_for_allprofiles(const std::string& relative) {
    for_each_profile(relative, [](const std::string& target) { remove_tree(target); });
}

void remove_empty_dir_in_userappdata_for_allprofiles(const std::string& relative) {
    for_each_profile(relative, [](const std::string& target) { remove_empty_folder(target); });
}

std::string relative_path(const std::string& full, const std::string& base) {
    const std::string lowered_full = ascii_lower(full);
    const std::string lowered_base = ascii_lower(base);
    if (lowered_full.compare(0, lowered_base.size(), lowered_base) != 0) return std::string();
    std::string result = full.substr(base.size());
    if (!result.empty() && result[0] == '\\') result.erase(0, 1);
    return result;
}

namespace {

// Listed in UTF-16: a narrow listing passes names through the code page's
// best-fit table, which turns FULLWIDTH REVERSE SOLIDUS into "\\" and so
// "{\uFF3C..\uFF3COther" into a path that leaves the folder.
// Calls visit with each entry that the pattern finds, as the system names it.
template <typename Visit>
void each_entry(const std::string& pattern, Visit visit) {
    std::wstring wide_pattern;
    try {
        wide_pattern = from_ansi(pattern);
    } catch (const replay::exception&) {
        return;
    }
    WIN32_FIND_DATAW entry;
    replay::find_handle search(FindFirstFileW(wide_pattern.c_str(), &entry));
    if (!search) return;
    do {
        visit(entry);
    } while (FindNextFileW(search.get(), &entry));
}

template <typename Keep>
std::vector<std::string> search_folder(const std::string& pattern, Keep keep) {
    std::vector<std::string> names;
    each_entry(pattern, [&](const WIN32_FIND_DATAW& entry) {
        if (!keep(entry)) return;
        if (const auto name = joinable_name(entry.cFileName)) names.push_back(*name);
    });
    return names;
}

bool is_file(const WIN32_FIND_DATAW& entry) { return !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY); }

}  // namespace

std::vector<std::string> list_files(const std::string& folder, const std::string& wildcard) {
    return search_folder(folder + wildcard, is_file);
}

size_t count_files(const std::string& folder, const std::string& wildcard) {
    size_t count = 0;
    each_entry(folder + wildcard, [&](const WIN32_FIND_DATAW& entry) { count += is_file(entry) ? 1 : 0; });
    return count;
}

std::vector<std::string> list_subfolders(const std::string& folder) {
    return search_folder(folder + "*", [](const WIN32_FIND_DATAW& entry) {
        return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != '.';
    });
}

}  // namespace remover
