#include "remover/installer/installer_roots.hpp"

#include <string_view>
#include <tuple>
#include <utility>

#include "remover/common/trust.hpp"
#include "remover/common/windows_version.hpp"
#include "remover/installer/predefined_roots.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key_names.hpp"
#include "replay/unicode/ascii.hpp"
#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;
using registry2::key;

constexpr wchar_t current_version[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// The view every key of the local machine is reached in: a 32-bit process on
// 64-bit Windows must name the 64-bit view at every open below the root, or
// the system redirects it back to the 32-bit view.
REGSAM machine_view() { return running_under_wow64() ? KEY_WOW64_64KEY : 0; }

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

}  // namespace

void installer_root_search::search_roots() {
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

void installer_root_search::collect(const std::wstring& path, const key& start, REGSAM view, watch& watched,
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
void installer_root_search::number_below(std::vector<found_root>& found_roots, const watch& watched,
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

void installer_root_search::number(const std::wstring& path, std::unique_ptr<key> root, REGSAM view) {
    const std::optional<std::wstring> reached = reached_scope(path);
    roots.push_back({++counter, std::move(root), view, reached, reached && reached->empty()});
    log::message(L"Root: %d  %s", static_cast<int>(counter), path.c_str());
}

void installer_root_search::found(const std::wstring& path, const key& parent, REGSAM view) {
    // The number goes to a root only once its key is held.
    auto root = std::make_unique<key>(parent);
    if (collecting_ != nullptr) {
        collecting_->push_back({path, std::move(root)});
    } else {
        number(path, std::move(root), view);
    }
}

std::vector<installer_root_search::root_entry> installer_root_search::root_entries() const {
    std::vector<root_entry> entries;
    for (const numbered_key& root : roots) {
        entries.push_back({root.number, registry2::full_key_name(root.key->handle()), root.view});
    }
    return entries;
}

void installer_root_search::use_fixed_roots() {
    roots.clear();
    roots.push_back({1, std::make_unique<key>(HKEY_CLASSES_ROOT), 0, std::nullopt, false});
    log::message("Root hc: 1  HKCR");
    const REGSAM view = machine_view();
    roots.push_back({2, std::make_unique<key>(key(HKEY_LOCAL_MACHINE), current_version, false, view), view,
                     std::wstring(), true});
    log::message("Root hc: 2  HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    counter = 2;
}

void installer_root_search::find_installer_roots(const std::wstring& path, const key& parent, REGSAM view) {
    std::wstring buffer = path;
    walk(buffer, parent, view);
}

using replay::unicode::same_ascii_nocase;

// `path` is the key's own path; it is extended for each child and cut back,
// so the walk builds no string per key.
void installer_root_search::walk(std::wstring& path, const key& parent, REGSAM view) {
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

}  // namespace remover
