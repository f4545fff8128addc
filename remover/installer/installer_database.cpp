#include "remover/installer/installer_database.hpp"

#include <optional>

#include "remover/common/headings.hpp"
#include "remover/installer/packed_guid.hpp"
#include "replay/exception.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/registry2/links.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;
using registry2::key;

constexpr wchar_t shared_dlls_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";

// The scope of a key's registrations, told by the key's own name: empty for
// the machine's hive, the SID for a user's. Where the system cannot name the
// hive, `reached` says it: where the walk found the key's root (it never
// passes through a link).
std::optional<std::wstring> hive_scope(const key& found, const std::optional<std::wstring>& reached) {
    std::wstring user;
    switch (installer_test_seams().hive_names_unknown ? registry2::hive_kind::unknown
                                                      : registry2::key_hive(found.handle(), user)) {
        case registry2::hive_kind::machine: return std::wstring();
        case registry2::hive_kind::user: return user;
        case registry2::hive_kind::unknown: break;
    }
    return reached;
}

// The packed code as a GUID, or the key's own name where it is no packed
// code: a malformed name found after its key was deleted still gets its line.
std::wstring shown_code(const std::wstring& packed) {
    try {
        return unpack_guid(packed);
    } catch (const replay::exception&) {
        return packed;
    }
}

}  // namespace

void clean_installer_database(const std::wstring& upgrade_code) { installer_database_cleaner().clean(upgrade_code); }

installer_seams& installer_test_seams() {
    static installer_seams seams;
    return seams;
}

void installer_database_cleaner::clean(const std::wstring& upgrade_code) {
    try {
        log::message("**** Cleaning Installation Database (32) ****");
        upgrade_codes.insert(pack_guid(upgrade_code));
        part_heading("Locating Windows Installer Root Stores", separator_line);
        installer_root_search search;
        try {
            search.search_roots();
        } catch (...) {
            search.use_fixed_roots();
        }
        counter = search.last_number();
        roots = search.take_roots();
        find_stores();
        part_heading("Upgrade Codes Removed", separator_line);
        for (const numbered_key& root : roots) clean_upgrade_codes(root);
        part_heading("Product Codes Removed", short_separator_line);
        for (const numbered_key& store : stores) clean_products(store);
        part_heading("Component Codes Removed", short_separator_line);
        for (const numbered_key& store : stores) clean_components(store);
        part_heading("Key Files Removed", short_separator_line);
        try {
            const key shared_dlls(key(HKEY_LOCAL_MACHINE), shared_dlls_path, /*create=*/false);
            decrement_key_file_counters(shared_dlls);
            log::message("");
        } catch (const registry2::generic&) {
            // No counters to lower: the step ends after its heading.
        }
    } catch (...) {
        // The remaining steps end silently; the removal goes on.
    }
}

void installer_database_cleaner::find_stores() {
    for (numbered_key& root : roots) {
        try {
            std::unique_ptr<key> installer = registry2::open_without_links(*root.key, L"Installer", root.view);
            const key* installer_key = installer.get();
            // Everything below the root speaks for the hive it was found in;
            // where the system cannot name that hive, the walk tells.
            root.scope = hive_scope(*installer_key, root.scope);
            stores.push_back({++counter, std::move(installer), root.view, root.scope,
                              root.scope && root.scope->empty()});
            log::message("UserData: %d  %d  Installer", static_cast<int>(root.number), static_cast<int>(counter));
            const std::unique_ptr<key> user_data = registry2::open_without_links(*installer_key, L"UserData", root.view);
            for (const std::wstring& sid : user_data->subkey_names()) {
                std::unique_ptr<key> user;
                try {
                    user = registry2::open_without_links(*user_data, sid, root.view);
                } catch (const registry2::generic&) {
                    continue;  // a link, or gone: no store
                }
                // The machine's UserData speaks for the user it names; a user's
                // hive only for that user, whatever SID it names.
                std::optional<std::wstring> user_scope = root.scope;
                const bool machine_hive = user_scope && user_scope->empty();
                if (machine_hive) user_scope = sid;
                stores.push_back({++counter, std::move(user), root.view, user_scope, machine_hive});
                log::message(L"UserData: %d  %d  Installer\\UserData\\%s", static_cast<int>(root.number),
                             static_cast<int>(counter), sid.c_str());
            }
        } catch (...) {
            // The rest of this root is skipped; its stores so far stay.
        }
    }
}

void installer_database_cleaner::clean_upgrade_codes(const numbered_key& root) {
    std::unique_ptr<key> codes;
    try {
        codes = registry2::open_without_links(*root.key, L"Installer\\UpgradeCodes", root.view);
    } catch (const registry2::generic&) {
        return;
    }
    for (const std::wstring& code : upgrade_codes) {
        try {
            {
                // A link goes as the link itself; nothing is read through it.
                // A code whose hive is unknown speaks for no store.
                const key entry(*codes, code, /*create=*/false, root.view, REG_OPTION_OPEN_LINK);
                if (root.scope && !registry2::holds_link_value(entry.handle())) {
                    for (const std::wstring& product : entry.value_names()) product_codes[product].insert(*root.scope);
                }
            }
            registry2::delete_key(*codes, code, /*recursive=*/true, root.view);
            log::message(L"%d  %s", static_cast<int>(root.number), unpack_guid(code).c_str());
        } catch (...) {
            // This code only: the next one is tried.
        }
    }
}

void installer_database_cleaner::clean_products(const numbered_key& store) {
    std::unique_ptr<key> products;
    try {
        products = registry2::open_without_links(*store.key, L"Products", store.view);
    } catch (const registry2::generic&) {
        return;
    }
    for (const auto& [code, scopes] : product_codes) {
        if (!applies(code, store)) continue;
        try {
            registry2::delete_key(*products, code, /*recursive=*/true, store.view);
            log::message(L"%d  %s", static_cast<int>(store.number), shown_code(code).c_str());
        } catch (...) {
            // Usually: no such product in this store.
            continue;
        }
        // Its feature registration goes with it, or Windows Installer keeps an
        // orphan of the product; the product's line covers it.
        try {
            registry2::delete_key(*registry2::open_without_links(*store.key, L"Features", store.view), code, /*recursive=*/true,
                                  store.view);
        } catch (...) {
            // None registered in this store.
        }
    }
}

void installer_database_cleaner::clean_components(const numbered_key& store) {
    std::unique_ptr<key> components;
    std::set<std::wstring> names;
    try {
        components = registry2::open_without_links(*store.key, L"Components", store.view);
        names = components->subkey_names();
    } catch (const registry2::generic&) {
        return;
    }
    for (const std::wstring& code : names) {
        try {
            bool released = false;
            {
                // A link is passed over: its target is no component of this store.
                const key component(*components, code, /*create=*/false, store.view, REG_OPTION_OPEN_LINK);
                if (registry2::holds_link_value(component.handle())) continue;
                released = release_component(component, store);
            }
            if (!released) continue;
            log::message(L"%d  %s", static_cast<int>(store.number), shown_code(code).c_str());
            registry2::delete_key(*components, code, /*recursive=*/true, store.view);
        } catch (...) {
            // This component only: the next one is cleaned.
        }
    }
}

// A code found in the machine's hive speaks for every store; one found in a
// user's hive only for that user's.
bool installer_database_cleaner::applies(const std::wstring& code, const numbered_key& store) const {
    const auto found = product_codes.find(code);
    if (found == product_codes.end()) return false;
    const std::set<std::wstring>& scopes = found->second;
    if (scopes.count(std::wstring()) != 0) return true;
    return store.scope && !store.scope->empty() && scopes.count(*store.scope) != 0;
}

bool installer_database_cleaner::release_component(const key& component, const numbered_key& store) {
    // The key file counters are the machine's: only the stores in its hive
    // (only administrators write there) lower them, whichever user they name.
    const bool machine_store = store.machine_hive;
    const std::set<std::wstring> names = component.value_names();
    std::vector<std::wstring> paths;
    for (const std::wstring& name : names) {
        if (!applies(name, store)) continue;
        std::wstring path = component.get_string(name);
        // Windows Installer writes some key paths as "C?\...".
        if (path.size() >= 2 && path[1] == L'?') path[1] = L':';
        paths.push_back(path);
        component.delete_value(name);
    }
    if (paths.empty()) return false;
    // Other products may still use the component: its key file is counted
    // down all the same.
    if (machine_store) key_files.insert(paths.begin(), paths.end());
    return paths.size() == names.size();
}

void installer_database_cleaner::decrement_key_file_counters(const key& shared_dlls) {
    for (const std::wstring& file : key_files) {
        try {
            const key counters(shared_dlls);
            const DWORD count = counters.get_dword(file);
            if (count <= 1) {
                // 0 is taken as the last reference too: lowering it would
                // store 4294967295, and no uninstaller would ever free the file.
                counters.delete_value(file);
                log::message(L"  %s", file.c_str());
            } else {
                const DWORD lowered_count = count - 1;
                counters.set_value(file, REG_DWORD, &lowered_count, sizeof(lowered_count));
                log::message(L"  %s      is decremented to %d", file.c_str(), static_cast<int>(lowered_count));
            }
        } catch (...) {
            // This file's counter stays; the next file's is lowered.
        }
    }
}

}  // namespace remover
