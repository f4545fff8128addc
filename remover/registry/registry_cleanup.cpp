#include "remover/registry/registry_cleanup.hpp"

#include <memory>
#include <set>

#include "remover/common/identity.hpp"
#include "remover/common/run_outcome.hpp"
#include "remover/common/text.hpp"
#include "remover/files/take_over.hpp"
#include "remover/registry/user_hives.hpp"
#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/errors.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/links.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

constexpr char shared_dlls_path[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
// The counters of the shared files live in the 32-bit view in both programs.
constexpr REGSAM read_32bit_view = KEY_READ | KEY_WOW64_32KEY;
static_assert(read_32bit_view == 0x20219);
constexpr DWORD counter_size = sizeof(DWORD);
#if defined(ZENQO_X64)
// Read, set-value and create-subkey rights in the 32-bit registry view.
constexpr REGSAM modify_32bit_view = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_WOW64_32KEY;
static_assert(modify_32bit_view == 0x2021F);
#endif

// The counter's value, when it is a 4-byte REG_DWORD; raises otherwise.
DWORD read_counter(const registry2::key& counters, const std::wstring& name) {
    DWORD type = 0;
    DWORD size = 0;
    counters.value_type(name, type, size);
    registry2::key::check_type(name, REG_DWORD, type);
    DWORD count = 0;
    counters.read(name, &count, counter_size);
    return count;
}

#if defined(ZENQO_X64)
// Deletes one counter through the registry layer, which saves it first.
bool delete_counter(HKEY counters, const std::string& name) {
    try {
        return registry2::delete_value(counters, replay::unicode::from_ansi(name)) ==
               ERROR_SUCCESS;
    } catch (const replay::exception&) {
        return false;
    }
}
#endif


// What removing a key needs of it: reading it into the backup, listing its
// subkeys and deleting it.
constexpr REGSAM removal_access = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | DELETE;
static_assert(removal_access == 0x10009);

LSTATUS open_for_removal(HKEY parent, const std::wstring& name, replay::unique_hkey& opened) {
    return RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, removal_access, opened.put());
}

// Takes over every key of the product's tree `name` below `parent` whose
// access list refuses what its removal needs, depth first. Each key is opened
// as the link itself where it is one, and a link is never entered, so that a
// link's target is never taken over. `shown` names the key in the log.
void take_over_refusing_keys(HKEY parent, const std::wstring& name, const std::wstring& shown) {
    replay::unique_hkey opened;
    LSTATUS result = open_for_removal(parent, name, opened);
    if (result == ERROR_ACCESS_DENIED) {
        const DWORD error = take_over_key(parent, name, /*view=*/0, shown);
        if (error != ERROR_SUCCESS) {
            log::message(L"!  Could not take over '%s': error %d !", shown.c_str(), static_cast<int>(error));
            return;
        }
        result = open_for_removal(parent, name, opened);
    }
    // A key that is missing or cannot be opened otherwise is left to the
    // deletion, which reports it.
    if (result != ERROR_SUCCESS || registry2::holds_link_value(opened.get())) return;
    std::set<std::wstring> children;
    try {
        children = registry2::key(opened.get()).subkey_names();
    } catch (const replay::exception&) {
        return;
    }
    for (const std::wstring& child : children) take_over_refusing_keys(opened.get(), child, shown + L"\\" + child);
}

bool remove_key(HKEY root, const std::wstring& root_name, const std::wstring& parent, const std::wstring& name,
                bool recursive, bool take_over) {
    std::unique_ptr<registry2::key> parent_key;
    try {
        // A user's hive is that user's to write: no link on its parent path
        // is gone through. The machine's hive holds only links that the
        // system or an administrator made (Wine joins the registry views
        // with them), so its paths are opened as before.
        if (root == HKEY_LOCAL_MACHINE) {
            parent_key = std::make_unique<registry2::key>(registry2::key(root), parent, /*create=*/false);
        } else {
            parent_key = registry2::open_without_links(registry2::key(root), parent);
        }
    } catch (const replay::exception&) {
    }
    if (!parent_key) {
        log::message(L"!  Subkey %s NOT removed as %s\\%s not FOUND !", name.c_str(), root_name.c_str(),
                     parent.c_str());
        // A missing parent means nothing needed to be deleted; a parent that
        // refused the opening, or a link on the way, leaves the key in place.
        replay::unique_hkey probe;
        const LSTATUS found = RegOpenKeyExW(root, parent.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, probe.put());
        return found == ERROR_FILE_NOT_FOUND || found == ERROR_PATH_NOT_FOUND;
    }
    const std::wstring shown = root_name + L"\\" + parent + L"\\";
    if (take_over && !name.empty()) take_over_refusing_keys(parent_key->handle(), name, shown + name);
    std::wstring stayed;
    try {
        registry2::delete_key(*parent_key, name, recursive, /*view=*/0, &stayed);
    } catch (const replay::exception& error) {
        log::message(L"!  Failed to remove regkey '%s\\%s\\%s' !", root_name.c_str(), parent.c_str(), name.c_str());
        outcome::failed(shown + name, /*error=*/0);
        // The failure line names the key itself; a key below it that stayed
        // gets its own line.
        if (!stayed.empty() && stayed != name) {
            log::message(L"!  Left in place: '%s' (%s) !", (shown + stayed).c_str(),
                         replay::unicode::from_ansi(error.message()).c_str());
        }
        return false;
    }
    log::message(L"  Removed regkey '%s\\%s\\%s'", root_name.c_str(), parent.c_str(), name.c_str());
    outcome::removed(shown + name);
    return true;
}

}  // namespace

std::wstring root_key_name(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
    if (root == HKEY_USERS) return L"HKEY_USERS";
    if (root == HKEY_CURRENT_CONFIG) return L"HKEY_CURRENT_CONFIG";
    return L"HKEY_!unidentified!";
}

bool remove_registry_key(HKEY root, const std::wstring& parent, const std::wstring& name, bool recursive) {
    return remove_key(root, root_key_name(root), parent, name, recursive, /*take_over=*/false);
}

bool remove_registry_key_below(HKEY root, const std::wstring& root_name, const std::wstring& parent,
                               const std::wstring& name, bool recursive, bool take_over) {
    return remove_key(root, root_name, parent, name, recursive, take_over);
}

bool remove_product_registry_key(HKEY root, const std::wstring& parent, const std::wstring& name) {
    return remove_key(root, root_key_name(root), parent, name, /*recursive=*/true, /*take_over=*/true);
}

void fix_shareddlls_counters(const std::wstring& pattern, DWORD users) {
    replay::unique_hkey raw;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, shared_dlls_path, 0, read_32bit_view, raw.put()) != ERROR_SUCCESS) return;
    try {
        const registry2::key counters(raw.get());
        raw.reset();
        const std::wstring lowered_pattern = ascii_lower(pattern);
        std::set<std::wstring> matching;
        for (const std::wstring& name : counters.value_names()) {
            if (ascii_lower(name).find(lowered_pattern) != std::wstring::npos) matching.insert(name);
        }

        log::message(L"Counters for %s pattern in SharedDLLs key:", pattern.c_str());
        for (const std::wstring& name : matching) {
            try {
                log::message(L"   %s - %d", name.c_str(), static_cast<int>(read_counter(counters, name)));
            } catch (const replay::exception&) {
                // Not a counter: passed over.
            }
        }
        for (const std::wstring& name : matching) {
            try {
                const DWORD count = read_counter(counters, name);
                if (users == 0) {
                    counters.delete_value(name);
                    log::message(L"Removed registry value %s", name.c_str());
                    outcome::removed_value(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls", name);
                } else if (count != users) {
                    counters.set_value(name, REG_DWORD, &users, counter_size);
                    log::message(L"%s is set to %d", name.c_str(), static_cast<int>(users));
                }
            } catch (const replay::exception&) {
                // Gone or not a counter since the listing: passed over.
            }
        }
    } catch (const replay::exception& e) {
        // The key cannot be reopened or listed: nothing is repaired, and the
        // log says why.
        log::message(L"Counters for %s pattern in SharedDLLs key cannot be listed: %s", pattern.c_str(),
                     replay::unicode::to_wide(e.message(), replay::unicode::ansi).c_str());
    }
}

namespace {

// The product's keys below one hive's Software key, and the maker's once
// empty; `remove` takes the parent path, the subkey and whether it is the
// product's own key (removed whole, taken over where it refuses the
// administrators) or the maker's (removed only when empty).
template <typename Remove>
void remove_product_keys(Remove remove) {
    const std::wstring& folder = identity().folder_name;
    remove(L"Software\\" + folder, L"ZENQO", /*recursive=*/true);
    remove(L"Software", folder, /*recursive=*/false);
    remove(L"Software\\Corvantis\\ZENQO", L"5", /*recursive=*/true);
    remove(L"Software\\Corvantis", L"ZENQO", /*recursive=*/false);
    remove(L"Software", L"Corvantis", /*recursive=*/false);
}

}  // namespace

void clean_software_registry() {
    try {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            remove_product_keys([root](const std::wstring& parent, const std::wstring& name, bool product) {
                if (product) {
                    remove_product_registry_key(root, parent, name);
                } else {
                    remove_registry_key(root, parent, name, /*recursive=*/false);
                }
            });
        }
        remove_product_registry_key(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths",
                                    identity().display_name + L".exe");
        // The same keys in every other user's hive: run as the local system
        // account, the current user's hive is no user's.
        for_each_other_user_hive([](const std::wstring& sid) {
            remove_product_keys([&sid](const std::wstring& parent, const std::wstring& name, bool product) {
                remove_registry_key_below(HKEY_USERS, L"HKEY_USERS", user_key_path(sid, parent), name,
                                          /*recursive=*/product, /*take_over=*/product);
            });
        });
    } catch (...) {
        // Ends the clean-up of these keys; the step goes on.
    }
}

#if defined(ZENQO_X64)
constexpr wchar_t wow64_shared_dlls[] = L"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";

// The product's own files are also counted in the 32-bit view's SharedDlls.
void remove_32bit_shared_dlls_values(const std::string& install_dir) {
    replay::unique_hkey shared_dlls;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDlls", 0, modify_32bit_view,
                  shared_dlls.put());
    if (shared_dlls) {
        const std::string msgsys = install_dir + "MsgSys.exe";
        if (delete_counter(shared_dlls.get(), msgsys)) {
            log::message("  Removed regvalue 'HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls\\%sMsgSys.exe'",
                         install_dir.c_str());
            outcome::removed_value(wow64_shared_dlls, replay::unicode::from_ansi(msgsys));
        }
        const std::string bvhtml = install_dir + "bvhtml.dll";
        if (delete_counter(shared_dlls.get(), bvhtml)) {
            log::message("  Removed regvalue 'HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDlls\\%sbvhtml.dll'",
                         install_dir.c_str());
            outcome::removed_value(wow64_shared_dlls, replay::unicode::from_ansi(bvhtml));
        }
    }
    log::message("");
}

// The maker's key in the 32-bit view, once nothing is left below it. Where
// that key is a registry link, the link goes and its target stays.
void remove_32bit_folder_key() {
    replay::unique_hkey software;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, modify_32bit_view, software.put());
    if (!software) return;
    try {
        const registry2::key parent(software.get());
        registry2::delete_key(parent, identity().folder_name, /*recursive=*/false, KEY_WOW64_32KEY);
    } catch (const registry2::generic&) {
        return;  // not there, or not empty: not reported
    }
    log::message("  Removed regkey 'HKLM\\SOFTWARE\\Wow6432Node\\%s'", narrow(identity().folder_name).c_str());
    outcome::removed(L"HKLM\\SOFTWARE\\Wow6432Node\\" + identity().folder_name);
}
#endif

}  // namespace remover
