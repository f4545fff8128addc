#include "remover/run/product_left.hpp"

#include <windows.h>

#include "remover/common/identity.hpp"
#include "remover/common/text.hpp"
#include "remover/installer/packed_guid.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "remover/services/services.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace registry2 = replay::registry2;

constexpr wchar_t uninstall_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr wchar_t upgrade_codes_path[] = L"SOFTWARE\\Classes\\Installer\\UpgradeCodes";

std::string utf8(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::utf8, /*strict=*/false);
}

void find_uninstall_entries(std::vector<std::string>& found) {
    const std::string wanted = ascii_lower(narrow(identity().display_name));
    const REGSAM views[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    for (const REGSAM view : views) {
        try {
            const registry2::key machine(HKEY_LOCAL_MACHINE);
            const registry2::key uninstall(machine, uninstall_path, /*create=*/false, view);
            for (const std::wstring& name : uninstall.subkey_names()) {
                try {
                    const registry2::key entry(uninstall, name, /*create=*/false);
                    if (ascii_lower(entry.get_string<std::string>(L"DisplayName")) != wanted) continue;
                } catch (...) {
                    continue;
                }
                found.push_back("the Uninstall entry " + utf8(name) +
                                (view == KEY_WOW64_32KEY ? " (32-bit view)" : ""));
            }
        } catch (...) {
        }
    }
}

void find_install_folder(const std::string& install_dir, std::vector<std::string>& found) {
    if (install_dir.empty()) return;
    try {
        if (path_exists(replay::unicode::from_ansi(install_dir)))
            found.push_back("the installation folder " + utf8(replay::unicode::from_ansi(install_dir)));
    } catch (...) {
    }
}

// A service whose program (its ImagePath, quoted or not) lies below the
// installation folder.
void find_services(const std::string& install_dir, std::vector<std::string>& found) {
    if (install_dir.empty()) return;
    try {
        const std::string folder = ascii_lower(install_dir);
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key services(machine, services_key_path, /*create=*/false);
        for (const std::wstring& name : services.subkey_names()) {
            try {
                const registry2::key service(services, name, /*create=*/false);
                std::string image = ascii_lower(service.get_string<std::string>(L"ImagePath"));
                if (!image.empty() && image.front() == '"') image.erase(0, 1);
                if (image.compare(0, folder.size(), folder) == 0) found.push_back("the service " + utf8(name));
            } catch (...) {
            }
        }
    } catch (...) {
    }
}

void find_installer_registration(std::vector<std::string>& found) {
    try {
        const std::wstring packed = pack_guid(identity().product_guid);
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key codes(machine, upgrade_codes_path, /*create=*/false, KEY_WOW64_64KEY);
        if (codes.subkey_names().count(packed) != 0)
            found.push_back("the Windows Installer registration of " + utf8(identity().product_guid));
    } catch (...) {
    }
}

}  // namespace

std::vector<std::string> product_left(const std::string& install_dir) {
    std::vector<std::string> found;
    find_uninstall_entries(found);
    find_install_folder(install_dir, found);
    find_services(install_dir, found);
    find_installer_registration(found);
    return found;
}

}  // namespace remover
