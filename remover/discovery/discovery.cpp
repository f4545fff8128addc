#include "remover/discovery/discovery.hpp"

#include <windows.h>
#include <shlobj.h>

#include "remover/common/headings.hpp"
#include "remover/common/identity.hpp"
#include "remover/common/paths.hpp"
#include "remover/common/text.hpp"
#include "remover/discovery/product_folder.hpp"
#include "remover/files/files.hpp"
#include "remover/registry/registry_cleanup.hpp"
#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

constexpr wchar_t uninstall_path[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The subkey `name` of the Uninstall key, in the program's own view.
registry2::key open_uninstall_entry(const registry2::key& uninstall, const std::wstring& name) {
    return registry2::key(uninstall, name, /*create=*/false);
}

int digit(char c) { return static_cast<unsigned char>(c) - '0'; }

}  // namespace

int version_code(const std::string& text) {
    if (text.size() < 5 || text.size() > 7 || text[1] != '.' || text[3] != '.') return -1;
    int build = 0;
    for (size_t i = 4; i < text.size(); ++i) build = build * 10 + digit(text[i]);
    return digit(text[0]) * 10000 + digit(text[2]) * 1000 + build;
}

bool search_product_info(product_remover& remover) {
    step_heading(replay::format("**** Search %s info ****", remover.product_name.c_str()));
    try {
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key uninstall(machine, uninstall_path, /*create=*/false);
        const std::string wanted = ascii_lower(remover.product_name);
        for (const std::wstring& name : uninstall.subkey_names()) {
            try {
                const registry2::key entry = open_uninstall_entry(uninstall, name);
                if (ascii_lower(entry.get_string<std::string>(L"DisplayName")) != wanted) continue;
            } catch (...) {
                continue;  // unreadable entries are not the product's
            }
            log::message(L". Product information is found in the key "
                         L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s",
                         name.c_str());
            remover.uninstall_keys.push_back(name);
        }

        for (const std::wstring& name : remover.uninstall_keys) {
            bool version_read = false;
            bool folder_read = false;
            try {
                remover.version_string = open_uninstall_entry(uninstall, name).get_string<std::string>(L"DisplayVersion");
                version_read = true;
                log::message(". Product version: '%s'", remover.version_string.c_str());
                remover.version = version_code(remover.version_string);
                if (remover.version < 0) {
                    log::message("The version '%s' has strange format, expected 9.9.99 or 9.9.9",
                                 remover.version_string.c_str());
                    remover.version = 0;
                }
            } catch (const replay::exception&) {
                log::message(L"ATTENTION: could not find DisplayVersion in '%s' !", name.c_str());
            }
            try {
                remover.install_dir = open_uninstall_entry(uninstall, name).get_string<std::string>(L"InstallLocation");
                folder_read = true;
                log::message(". Installation directory: '%s'", remover.install_dir.c_str());
            } catch (const replay::exception&) {
                log::message(L"ATTENTION: could not find InstallLocation in '%s' !", name.c_str());
            }
            if (version_read && folder_read) break;
        }
    } catch (...) {
        // No Uninstall key to search: the product counts as not installed.
    }
    if (remover.uninstall_keys.empty()) {
        log::message("ATTENTION: could not find keys about '%s' in "
                     "'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall' !",
                     remover.product_name.c_str());
    }
    return !remover.version_string.empty() && !remover.install_dir.empty();
}

bool remove_uninstall_keys(const product_remover& remover) {
    for (const std::wstring& name : remover.uninstall_keys) {
        remove_product_registry_key(HKEY_LOCAL_MACHINE, uninstall_path, name);
    }
    return !remover.uninstall_keys.empty();
}

void resolve_install_folder(product_remover& remover) {
    const std::string display = narrow(identity().display_name);
    const std::string folder = narrow(identity().folder_name);
    bool normalise = true;
    if (remover.version > 0) {
        log::message("Product Version (int): %d", remover.version);
        if (remover.version > newest_tested_version) {
            log::message("This version of ZENQORemover was tested on Zentrivo versions up to 2.1.5. "
                         "For later versions it may not work correctly");
            log::message("");
        }
        // Versions before 2.1.1 stored the product folder itself.
        normalise = remover.version >= oldest_normalised_version;
    } else {
        log::message(L"Unable to detect the version of %s, probably nothing to clean ...",
                     identity().display_name.c_str());
        log::message("Making preventive cleaning in assumption that the product was installed before.");
        remover.version = oldest_normalised_version;
    }

    const std::string product_suffix = display + "\\";
    std::string& dir = remover.install_dir;
    if (normalise && !dir.empty() &&
        (dir.size() < product_suffix.size() ||
         dir.compare(dir.size() - product_suffix.size(), product_suffix.size(), product_suffix) != 0)) {
        dir += product_suffix;
    }

    if (dir.empty()) {
        try {
            const registry2::key machine(HKEY_LOCAL_MACHINE);
            const registry2::key misc(machine, L"Software\\" + identity().folder_name + L"\\ZENQO\\Misc",
                                      /*create=*/false);
            dir = misc.get_string<std::string>(L"AppPath");
            // A relative or empty path would point into the current directory.
            if (!is_absolute_path(dir)) dir.clear();
        } catch (...) {
            dir.clear();
        }
        if (dir.empty()) dir = get_folder_path(CSIDL_PROGRAM_FILES) + folder + "\\" + display + "\\";
    }

    log::message("%s directory: %s", display.c_str(), dir.c_str());
    // Decided once: the folder's removal, the programs started from it and
    // the counters below it all follow this.
    remover.install_dir_refusal = product_folder_refusal(dir, find_folder_neighbours(remover.product_name));
    log::message("");
}

}  // namespace remover
