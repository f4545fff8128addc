#include "remover/installer_database.hpp"

#include <algorithm>
#include <string_view>
#include <tuple>

#include "remover/text.hpp"
#include "remover/trust.hpp"
#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/registry2/links.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;
using registry2::key;

constexpr char long_separator[] = "==================================================";
constexpr char separator[] = "=================================================";
constexpr wchar_t current_version[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t shared_dlls_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
constexpr wchar_t user_data_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr REGSAM read_64bit_view = KEY_READ | KEY_WOW64_64KEY;
static_assert(read_64bit_view == 0x20119);
// Names and data that remove_installer_components reads, at most.
constexpr DWORD component_name_chars = 3000;
constexpr DWORD component_data_bytes = 3000;

// The view every key of the local machine is reached in: a 32-bit process on
// 64-bit Windows must name the 64-bit view at every open below the root, or
// the system redirects it back to the 32-bit view.
REGSAM machine_view() { return running_under_wow64() ? KEY_WOW64_64KEY : 0; }

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

// The key at `path` (backslashes allowed) below `parent`, each level opened
// as itself (REG_OPTION_OPEN_LINK); a level that is a registry link raises
// key_error and is passed over. Whoever may write a hive may put a link there
// into another hive: nothing below a root is reached through one, so that
// everything found below it lies in the root's own hive.
std::unique_ptr<key> open_below_root(const key& parent, const std::wstring& path, REGSAM view) {
    std::unique_ptr<key> current;
    for (size_t start = 0;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring part = path.substr(start, end == std::wstring::npos ? end : end - start);
        auto next = std::make_unique<key>(current ? *current : parent, part, /*create=*/false, view,
                                          REG_OPTION_OPEN_LINK);
        if (registry2::holds_link_value(next->handle())) {
            throw registry2::key_error(std::string("a registry link is not followed"));
        }
        current = std::move(next);
        if (end == std::wstring::npos) return current;
        start = end + 1;
    }
}

// The machine's own account, whose UserData store holds what is installed
// for the machine.
constexpr wchar_t local_system[] = L"S-1-5-18";

// Whose hive a root that the walk spells `path` lies in: empty for the
// machine's, the SID for a user's, nothing for the merged classes.
std::optional<std::wstring> reached_scope(const std::wstring& path) {
    const auto below = [&](const std::wstring& root) {
        return path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == L'\\');
    };
    if (below(L"HKLM")) return std::wstring();
    if (below(L"HKCU")) {
        const std::vector<BYTE> user = running_account();
        if (user.empty()) return std::nullopt;
        return replay::unicode::to_wide(sid_text(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid),
                                        replay::unicode::utf8);
    }
    if (path.size() <= 4 || path.compare(0, 4, L"HKU\\") != 0) return std::nullopt;
    std::wstring hive = path.substr(4, path.find(L'\\', 4) - 4);
    const std::wstring classes = L"_Classes";
    if (hive.size() > classes.size() &&
        replay::unicode::compare_names(hive.substr(hive.size() - classes.size()), classes) == 0) {
        hive.resize(hive.size() - classes.size());
    }
    return hive;
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

void heading(const char* title, const char* line) {
    log::message("");
    log::message("%s", title);
    log::message("%s", line);
}

}  // namespace

bool running_under_wow64() {
    using is_wow64_function = BOOL(WINAPI*)(HANDLE, PBOOL);
    static const bool wow64 = [] {
        const auto function = replay::system_function<is_wow64_function>(L"kernel32", "IsWow64Process");
        BOOL result = FALSE;
        return function != nullptr && function(GetCurrentProcess(), &result) && result;
    }();
    return wow64;
}

std::wstring pack_guid(const std::wstring& guid) {
    std::wstring digits;
    for (wchar_t c : guid) {
        const wchar_t upper = (c >= L'a' && c <= L'f') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
        if ((upper >= L'0' && upper <= L'9') || (upper >= L'A' && upper <= L'F')) digits += upper;
    }
    if (digits.size() < 32) throw replay::exception(std::string("not a GUID: too few hexadecimal digits"));
    // Groups of 8, 4 and 4 digits reversed, then pairs with their digits swapped.
    std::wstring packed;
    for (const auto& [start, length] : {std::pair<size_t, size_t>{0, 8}, {8, 4}, {12, 4}}) {
        const std::wstring group = digits.substr(start, length);
        packed.append(group.rbegin(), group.rend());
    }
    for (size_t i = 16; i < 32; i += 2) {
        packed += digits[i + 1];
        packed += digits[i];
    }
    return packed;
}

std::wstring unpack_guid(const std::wstring& packed) {
    const std::wstring plain = pack_guid(packed);
    return L"{" + plain.substr(0, 8) + L"-" + plain.substr(8, 4) + L"-" + plain.substr(12, 4) + L"-" +
           plain.substr(16, 4) + L"-" + plain.substr(20, 12) + L"}";
}

void clean_installer_database(const std::wstring& upgrade_code) { installer_database_cleaner().clean(upgrade_code); }

installer_seams& installer_test_seams() {
    static installer_seams seams;
    return seams;
}

void installer_database_cleaner::clean(const std::wstring& upgrade_code) {
    try {
        log::message("**** Cleaning Installation Database (32) ****");
        upgrade_codes.insert(pack_guid(upgrade_code));
        heading("Locating Windows Installer Root Stores", long_separator);
        try {
            search_roots();
        } catch (...) {
            use_fixed_roots();
        }
        find_stores();
        heading("Upgrade Codes Removed", long_separator);
        for (const numbered& root : roots) clean_upgrade_codes(root);
        heading("Product Codes Removed", separator);
        for (const numbered& store : stores) clean_products(store);
        heading("Component Codes Removed", separator);
        for (const numbered& store : stores) clean_components(store);
        heading("Key Files Removed", separator);
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

namespace {

// Whether a key exists: 1 when it opens, 0 when it is missing, -1 when the
// system does not tell.
int key_exists(HKEY parent, const std::wstring& name, REGSAM view) {
    replay::unique_hkey opened;
    const LSTATUS result = RegOpenKeyExW(parent, name.c_str(), 0, KEY_QUERY_VALUE | view, opened.put());
    if (result == ERROR_SUCCESS) return 1;
    return result == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

// How many of the running user's classes are tried for one the machine lacks.
constexpr DWORD class_probes = 16;

// Whether HKEY_CLASSES_ROOT lists the machine's classes (`machine_classes`,
// below HKEY_LOCAL_MACHINE) alone. Windows merges the running user's classes
// into it; a system that does not (Wine) shows none of the user's own. Told
// by the first user's class, of the first few, that the machine lacks: shown
// or not. Without such a class, no.
bool machine_classes_alone(const std::wstring& machine_classes, REGSAM view) {
    replay::unique_hkey user;
    const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, user.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    for (DWORD index = 0; index < class_probes; ++index) {
        wchar_t name[registry2::max_name_length + 1];
        DWORD length = registry2::max_name_length + 1;
        const LSTATUS listed = RegEnumKeyExW(user.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) return index == 0;
        if (listed != ERROR_SUCCESS) return false;
        const std::wstring own(name, length);
        const int machine_has = key_exists(HKEY_LOCAL_MACHINE, machine_classes + L"\\" + own, view);
        if (machine_has == 1) continue;
        return machine_has == 0 && key_exists(HKEY_CLASSES_ROOT, own, 0) == 0 && key_exists(user.get(), own, 0) == 1;
    }
    return false;
}

// The system's name of a predefined root. The system names only keys opened
// below one (opening the root itself gives back the predefined handle), so
// the name is that of the first subkey that opens, without its last part;
// empty when none opens.
std::wstring root_name(HKEY root, REGSAM view) {
    for (DWORD index = 0;; ++index) {
        wchar_t name[registry2::max_name_length + 1];
        DWORD length = registry2::max_name_length + 1;
        if (RegEnumKeyExW(root, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        replay::unique_hkey child;
        if (RegOpenKeyExW(root, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, child.put()) != ERROR_SUCCESS) {
            continue;
        }
        const std::wstring full = registry2::system_name(child.get());
        const std::wstring tail = L"\\" + std::wstring(name, length);
        if (full.size() <= tail.size() ||
            replay::unicode::compare_names(std::wstring_view(full).substr(full.size() - tail.size()), tail) != 0) {
            break;
        }
        return full.substr(0, full.size() - tail.size());
    }
    return std::wstring();
}

// Where the walk from the root `start` (spelled `path`) meets the key behind
// the root `inner`, told by the system's names of both: that path and name,
// or empty ones where it lies elsewhere or a name is not given.
std::pair<std::wstring, std::wstring> place_below(HKEY start, REGSAM view, const std::wstring& path, HKEY inner) {
    const std::wstring head = root_name(start, view);
    const std::wstring name = root_name(inner, 0);
    if (head.empty() || name.size() <= head.size() + 1 || !replay::unicode::starts_with_name(name, head) ||
        name[head.size()] != L'\\') {
        return {};
    }
    return {path + name.substr(head.size()), name};
}

}  // namespace

void installer_database_cleaner::search_roots() {
    // The machine's hive holds the machine's classes, and HKEY_USERS holds
    // the running user's hive: each is walked once, and HKEY_CLASSES_ROOT
    // and HKEY_CURRENT_USER are told from those walks where the system's
    // names show they are keys met there. Nothing is numbered or logged
    // until both walks are done, so the log keeps the order of the roots.
    const REGSAM view = machine_view();
    watch classes, user;
    std::vector<found_root> machine_roots, user_roots;
    try {
        const key users(HKEY_USERS);
        const key machine(HKEY_LOCAL_MACHINE, view);
        // A 32-bit program lists the classes in its own view, not in the
        // machine's 64-bit one; classes merged with the user's show what
        // neither walk alone shows.
        if (!running_under_wow64()) {
            std::tie(classes.path, classes.name) = place_below(HKEY_LOCAL_MACHINE, view, L"HKLM", HKEY_CLASSES_ROOT);
            const std::wstring machine_path = L"HKLM\\";
            if (!classes.path.empty() && !machine_classes_alone(classes.path.substr(machine_path.size()), view)) {
                classes.path.clear();
            }
        }
        std::tie(user.path, user.name) = place_below(HKEY_USERS, 0, L"HKU", HKEY_CURRENT_USER);
        collect(L"HKU", users, 0, user, user_roots);
        collect(L"HKLM", machine, view, classes, machine_roots);
    } catch (...) {
        // A root that cannot be listed: the four walks in turn, which number
        // what they find until the same failure.
        roots.clear();
        find_installer_roots(L"HKCR", key(HKEY_CLASSES_ROOT), 0);
        find_installer_roots(L"HKCU", key(HKEY_CURRENT_USER), 0);
        find_installer_roots(L"HKU", key(HKEY_USERS), 0);
        find_installer_roots(L"HKLM", key(HKEY_LOCAL_MACHINE, view), view);
        return;
    }
    if (classes.walked) {
        number_below(machine_roots, classes, L"HKCR", HKEY_CLASSES_ROOT);
    } else {
        find_installer_roots(L"HKCR", key(HKEY_CLASSES_ROOT), 0);
    }
    if (user.walked) {
        number_below(user_roots, user, L"HKCU", HKEY_CURRENT_USER);
    } else {
        find_installer_roots(L"HKCU", key(HKEY_CURRENT_USER), 0);
    }
    for (found_root& root : user_roots) number(root.path, std::move(root.key), 0);
    for (found_root& root : machine_roots) number(root.path, std::move(root.key), view);
}

void installer_database_cleaner::collect(const std::wstring& path, const key& start, REGSAM view, watch& watched,
                                         std::vector<found_root>& into) {
    collecting_ = &into;
    watch_ = watched.path.empty() ? nullptr : &watched;
    try {
        find_installer_roots(path, start, view);
    } catch (...) {
        collecting_ = nullptr;
        watch_ = nullptr;
        throw;
    }
    collecting_ = nullptr;
    watch_ = nullptr;
}

// The roots below the watched key, as the walk of the root it stands for
// spells them, each with a key of its own.
void installer_database_cleaner::number_below(std::vector<found_root>& found_roots, const watch& watched,
                                              const std::wstring& path, HKEY predefined) {
    const std::wstring& head = *watched.walked;
    for (const found_root& root : found_roots) {
        if (root.path.compare(0, head.size(), head) != 0) continue;
        if (root.path.size() != head.size() && root.path[head.size()] != L'\\') continue;
        try {
            // The root's own Installer key is held through the root's handle,
            // as its own walk holds it.
            number(path + root.path.substr(head.size()),
                   std::make_unique<key>(root.path.size() == head.size() ? key(predefined) : *root.key), 0);
        } catch (...) {
            // Gone since the walk: not a root.
        }
    }
}

void installer_database_cleaner::number(const std::wstring& path, std::unique_ptr<key> root, REGSAM view) {
    const std::optional<std::wstring> reached = reached_scope(path);
    roots.push_back({++counter, std::move(root), view, reached, reached && reached->empty()});
    log::message(L"Root: %d  %s", static_cast<int>(counter), path.c_str());
}

void installer_database_cleaner::found(const std::wstring& path, const key& parent, REGSAM view) {
    // The number goes to a root only once its key is held.
    auto root = std::make_unique<key>(parent);
    if (collecting_ != nullptr) {
        collecting_->push_back({path, std::move(root)});
    } else {
        number(path, std::move(root), view);
    }
}

std::vector<installer_database_cleaner::root_entry> installer_database_cleaner::root_entries() const {
    std::vector<root_entry> entries;
    for (const numbered& root : roots) {
        entries.push_back({root.number, registry2::full_key_name(root.key->handle()), root.view});
    }
    return entries;
}

void installer_database_cleaner::use_fixed_roots() {
    roots.clear();
    roots.push_back({1, std::make_unique<key>(HKEY_CLASSES_ROOT), 0, std::nullopt, false});
    log::message("Root hc: 1  HKCR");
    const REGSAM view = machine_view();
    roots.push_back({2, std::make_unique<key>(key(HKEY_LOCAL_MACHINE), current_version, false, view), view,
                     std::wstring(), true});
    log::message("Root hc: 2  HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    counter = 2;
}

void installer_database_cleaner::find_installer_roots(const std::wstring& path, const key& parent, REGSAM view) {
    std::wstring buffer = path;
    walk(buffer, parent, view);
}

namespace {

// ASCII case-insensitive equality without a lowered copy: the walk compares
// every name of the registry with two short words.
bool same_ascii_nocase(const std::wstring& name, std::wstring_view word) {
    if (name.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

// `path` is the key's own path; it is extended for each child and cut back,
// so the walk builds no string per key.
void installer_database_cleaner::walk(std::wstring& path, const key& parent, REGSAM view) {
    ++visited_;
    const std::size_t length = path.size();
    for (const std::wstring& name : parent.subkey_names()) {
        if (same_ascii_nocase(name, L"virtualstore")) continue;  // per-user copies, never searched
        try {
            // Opened as links where they are links: a link has no subkeys of
            // its own, so the walk never follows one (one that points at an
            // ancestor would never end).
            const key child(parent, name, /*create=*/false, view, REG_OPTION_OPEN_LINK);
            if (same_ascii_nocase(name, L"installer")) {
                if (child.subkey_names().count(L"UpgradeCodes") != 0) found(path, parent, view);
                continue;  // the inside of an Installer key is not searched
            }
            path.append(L"\\").append(name);
            const bool watched = watch_ != nullptr && !watch_->walked && path.size() == watch_->path.size() &&
                                 replay::unicode::compare_names(path, watch_->path) == 0 &&
                                 replay::unicode::compare_names(registry2::system_name(child.handle()),
                                                                watch_->name) == 0;
            walk(path, child, view);
            if (watched) watch_->walked = path;
            path.resize(length);
        } catch (...) {
            // Refused, vanished, or a name the messages cannot show: the walk
            // goes on.
            path.resize(length);
        }
    }
}

void installer_database_cleaner::find_stores() {
    for (numbered& root : roots) {
        try {
            std::unique_ptr<key> installer = open_below_root(*root.key, L"Installer", root.view);
            const key* installer_key = installer.get();
            // Everything below the root speaks for the hive it was found in;
            // where the system cannot name that hive, the walk tells.
            root.scope = hive_scope(*installer_key, root.scope);
            stores.push_back({++counter, std::move(installer), root.view, root.scope,
                              root.scope && root.scope->empty()});
            log::message("UserData: %d  %d  Installer", static_cast<int>(root.number), static_cast<int>(counter));
            const std::unique_ptr<key> user_data = open_below_root(*installer_key, L"UserData", root.view);
            for (const std::wstring& sid : user_data->subkey_names()) {
                std::unique_ptr<key> user;
                try {
                    user = open_below_root(*user_data, sid, root.view);
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

void installer_database_cleaner::clean_upgrade_codes(const numbered& root) {
    std::unique_ptr<key> codes;
    try {
        codes = open_below_root(*root.key, L"Installer\\UpgradeCodes", root.view);
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

void installer_database_cleaner::clean_products(const numbered& store) {
    std::unique_ptr<key> products;
    try {
        products = open_below_root(*store.key, L"Products", store.view);
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
            registry2::delete_key(*open_below_root(*store.key, L"Features", store.view), code, /*recursive=*/true,
                                  store.view);
        } catch (...) {
            // None registered in this store.
        }
    }
}

void installer_database_cleaner::clean_components(const numbered& store) {
    std::unique_ptr<key> components;
    std::set<std::wstring> names;
    try {
        components = open_below_root(*store.key, L"Components", store.view);
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
bool installer_database_cleaner::applies(const std::wstring& code, const numbered& store) const {
    const auto found = product_codes.find(code);
    if (found == product_codes.end()) return false;
    const std::set<std::wstring>& scopes = found->second;
    if (scopes.count(std::wstring()) != 0) return true;
    return store.scope && !store.scope->empty() && scopes.count(*store.scope) != 0;
}

bool installer_database_cleaner::release_component(const key& component, const numbered& store) {
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

void remove_installer_components(const std::wstring& text) {
    try {
        log::message(L"Search Component %s ", text.c_str());
        const bool wow64 = running_under_wow64();
        const REGSAM mask = wow64 ? read_64bit_view : KEY_READ;
        const REGSAM view = wow64 ? KEY_WOW64_64KEY : 0;
        replay::unique_hkey user_data;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, user_data_path, 0, mask, user_data.put()) != ERROR_SUCCESS) return;
        std::vector<std::wstring> found;
        std::vector<wchar_t> sid(component_name_chars + 1);
        for (DWORD i = 0;; ++i) {
            DWORD sid_length = component_name_chars;
            if (RegEnumKeyExW(user_data.get(), i, sid.data(), &sid_length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            const std::wstring sid_name(sid.data(), sid_length);
            replay::unique_hkey components;
            if (RegOpenKeyExW(user_data.get(), (sid_name + L"\\Components").c_str(), 0, mask, components.put()) !=
                ERROR_SUCCESS) {
                continue;
            }
            std::vector<wchar_t> name(component_name_chars + 1);
            for (DWORD j = 0;; ++j) {
                DWORD name_length = component_name_chars;
                if (RegEnumKeyExW(components.get(), j, name.data(), &name_length, nullptr, nullptr, nullptr,
                                  nullptr) != ERROR_SUCCESS) {
                    break;
                }
                const std::wstring component_name(name.data(), name_length);
                // Opened as the link itself where it is one: a link is read
                // through its target, but only the link goes, and nothing below
                // its target is the component's.
                replay::unique_hkey component;
                if (RegOpenKeyExW(components.get(), component_name.c_str(), REG_OPTION_OPEN_LINK, mask,
                                  component.put()) != ERROR_SUCCESS) {
                    continue;
                }
                const bool link = registry2::holds_link_value(component.get());
                replay::unique_hkey target;
                if (link && RegOpenKeyExW(components.get(), component_name.c_str(), 0, mask, target.put()) !=
                                ERROR_SUCCESS) {
                    continue;
                }
                std::vector<wchar_t> value_name(component_name_chars + 1);
                DWORD value_name_length = component_name_chars;
                std::vector<wchar_t> data(component_data_bytes / sizeof(wchar_t) + 1);
                DWORD data_size = component_data_bytes;
                if (RegEnumValueW(link ? target.get() : component.get(), 0, value_name.data(), &value_name_length,
                                  nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &data_size) !=
                    ERROR_SUCCESS) {
                    continue;
                }
                const std::wstring key_path(data.data(), wcsnlen(data.data(), data_size / sizeof(wchar_t)));
                if (!replay::unicode::holds_path_part(key_path, text)) continue;
                std::vector<wchar_t> child(component_name_chars + 1);
                DWORD child_length = component_name_chars;
                if (!link && RegEnumKeyExW(component.get(), 0, child.data(), &child_length, nullptr, nullptr, nullptr,
                                           nullptr) == ERROR_SUCCESS) {
                    const LSTATUS result =
                        registry2::delete_subkey(component.get(), std::wstring(child.data(), child_length), view);
                    if (result != ERROR_SUCCESS) log::message("! ERROR remove subkey failed: %d", static_cast<int>(result));
                }
                found.push_back(std::wstring(user_data_path) + L"\\" + sid_name + L"\\Components\\" + component_name);
            }
        }
        for (const std::wstring& path : found) {
            const LSTATUS result = registry2::delete_subkey(HKEY_LOCAL_MACHINE, path, view);
            if (result == ERROR_SUCCESS) {
                log::message(L"Removed Component  HKEY_LOCAL_MACHINE\\%s", path.c_str());
            } else {
                log::message(L"! ERROR remove component %s failed: %d", path.c_str(), static_cast<int>(result));
            }
        }
    } catch (...) {
        // Never raises.
    }
}

}  // namespace remover
