#include "remover/registry_cleanup.hpp"

#include <memory>
#include <set>

#include "remover/identity.hpp"
#include "remover/text.hpp"
#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "remover/run_outcome.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/errors.hpp"
#include "replay/registry2/key.hpp"
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
    const std::wstring root_name = root_key_name(root);
    std::unique_ptr<registry2::key> parent_key;
    try {
        const registry2::key root_key(root);
        parent_key = std::make_unique<registry2::key>(root_key, parent, /*create=*/false);
    } catch (const replay::exception&) {
        log::message(L"!  Subkey %s NOT removed as %s\\%s not FOUND !", name.c_str(), root_name.c_str(),
                     parent.c_str());
        return false;  // nothing was deleted
    }
    try {
        registry2::delete_key(*parent_key, name, recursive);
    } catch (const replay::exception&) {
        log::message(L"!  Failed to remove regkey '%s\\%s\\%s' !", root_name.c_str(), parent.c_str(), name.c_str());
        outcome::failed(root_name + L"\\" + parent + L"\\" + name, /*error=*/0);
        return false;
    }
    log::message(L"  Removed regkey '%s\\%s\\%s'", root_name.c_str(), parent.c_str(), name.c_str());
    outcome::removed(root_name + L"\\" + parent + L"\\" + name);
    return true;
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
    } catch (const replay::exception&) {
        // The key cannot be reopened or listed: nothing to repair.
    }
}

void clean_software_registry() {
    try {
        const std::wstring& folder = identity().folder_name;
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            remove_registry_key(root, L"Software\\" + folder, L"ZENQO", /*recursive=*/true);
            remove_registry_key(root, L"Software", folder, /*recursive=*/false);
            remove_registry_key(root, L"Software\\Corvantis\\ZENQO", L"5", /*recursive=*/true);
            remove_registry_key(root, L"Software\\Corvantis", L"ZENQO", /*recursive=*/false);
            remove_registry_key(root, L"Software", L"Corvantis", /*recursive=*/false);
        }
        remove_registry_key(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths",
                            identity().display_name + L".exe", /*recursive=*/true);
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
