#include "remover/tray/tray_remover.hpp"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "remover/common/identity.hpp"
#include "remover/common/text.hpp"
#include "remover/files/files.hpp"
#include "remover/installer/installer_components.hpp"
#include "remover/processes/processes.hpp"
#include "remover/processes/program_start.hpp"
#include "remover/registry/registry_cleanup.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/errors.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;
using replay::unicode::from_ansi;
using replay::unicode::to_ansi_strict;

// Read access in the 32-bit view, where the tray (a 32-bit program) keeps
// its keys.
constexpr REGSAM read_32bit_view = KEY_READ | KEY_WOW64_32KEY;
static_assert(read_32bit_view == 0x20219);
constexpr wchar_t run_value[] = L"CorvantisTray";

constexpr const wchar_t* tray_components[] = {L"VexarsTray.exe", L"Tray\\MsgSys.exe", L"Tray\\bvhtml.dll",
                                              L"Tray\\Sulcora.dll"};

bool ends_with_xml(const std::wstring& name) {
    return name.size() >= 4 && ascii_lower(name.substr(name.size() - 4)) == L".xml";
}

}  // namespace

tray_remover::tray_remover(std::wstring folder, const std::wstring& /*tray: always "Tray"*/,
                           const std::wstring& /*code: always "ZENQO"*/, std::wstring exe)
    : folder_name(std::move(folder)),
      tray_name(L"Tray"),
      product_code(L"ZENQO"),
      tray_exe(std::move(exe)) {}

int tray_remover::count_tray_products(const std::wstring& configurations) {
    try {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found = {};
        replay::find_handle search(FindFirstFileW((configurations + L"*.xml").c_str(), &found));
        if (!search) return 0;
        do {
            // "*.xml" also matches longer extensions through their short
            // names ("a.xml~"); only .xml files are configurations.
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && ends_with_xml(found.cFileName)) {
                names.push_back(ascii_lower(found.cFileName));
            }
        } while (FindNextFileW(search.get(), &found));
        const auto own = std::find(names.begin(), names.end(), L"tktray.xml");
        if (own != names.end()) names.erase(own);
        const bool milva = std::find(names.begin(), names.end(), L"milva.xml") != names.end();
        const bool torka = std::find(names.begin(), names.end(), L"torka.xml") != names.end();
        return static_cast<int>(names.size()) - (milva && torka ? 1 : 0);
    } catch (...) {
        return 0;
    }
}

namespace {

// Starts the tray with "/quit" in its own folder (never the remover's current
// one, where it would find DLLs that it probes for). That copy holds the
// folder as its current one while it runs, and the folder goes next: it is
// waited for, within the tray's own time limit.
void ask_tray_to_quit(const std::wstring& tray_path, const std::wstring& tray_folder) {
    std::wstring command_line = L"\"" + tray_path + L"\" /quit";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(tray_path.c_str(), command_line.data(), nullptr, nullptr, /*inherit=*/FALSE, 0, nullptr,
                        tray_folder.c_str(), &startup, &started)) {
        return;
    }
    const replay::process_handle quitting(started.hProcess);
    const replay::thread_handle thread(started.hThread);
    WaitForSingleObject(quitting.get(), tray_exit_polls * tray_poll_interval_ms);
}

}  // namespace

void tray_remover::remove_tray(bool suite_gone) {
    const std::wstring configurations =
        from_ansi(get_folder_path(CSIDL_COMMON_APPDATA)) + folder_name + L"\\" + tray_name + L"\\Configurations\\";
    const std::wstring tray_folder =
        from_ansi(get_folder_path(CSIDL_PROGRAM_FILESX86)) + folder_name + L"\\" + tray_name + L"\\";
    remove_file(to_ansi_strict(configurations + product_code + L".xml"));
    remove_file(to_ansi_strict(tray_folder + L"HTML\\gfx\\Icon_TKTRAY-UPD-" + product_code + L".png"));
    const int users = count_tray_products(configurations);
    log::message("Number of prosucts = %d", users);
    if (users == 0) {
        const std::wstring tray_path = tray_folder + tray_exe;
        const std::string image = narrow(tray_exe);
        if (path_exists(tray_folder + L"bvhtml.dll")) {
            log::message(L"Quiting Tray: %ls", tray_path.c_str());
            if (may_start_program(tray_path)) ask_tray_to_quit(tray_path, tray_folder);
            for (int poll = 0; poll < tray_exit_polls && is_process_running(image); ++poll) {
                Sleep(tray_poll_interval_ms);
            }
        }
        if (!is_process_running(image)) {
            log::message(L"Process: %ls closed successfully", tray_path.c_str());
        } else {
            log::message(L"Terminate running process: %ls", tray_path.c_str());
            close_process_by_name(image);
            for (int poll = 0; poll < tray_exit_polls; ++poll) {
                if (!is_process_running(image)) {
                    log::message(L"Process: %ls closed successfully", tray_path.c_str());
                    break;
                }
                Sleep(tray_poll_interval_ms);
            }
        }
        const std::string folder = narrow(folder_name);
        const std::string tray = narrow(tray_name);
        const std::string appdata = get_folder_path(CSIDL_APPDATA);
        remove_folder_tree(to_ansi_strict(tray_folder), folder_source::system);
        remove_folder_tree(get_folder_path(CSIDL_COMMON_APPDATA) + folder + "\\" + tray, folder_source::system);
        remove_folder_tree(appdata + folder + "\\" + tray, folder_source::system);
        const std::string profile = get_folder_path(CSIDL_PROFILE);
        const std::string suite_data = relative_path(appdata + folder + "\\Suite", profile);
        if (suite_gone) {
            remove_dir_in_userappdata_for_allprofiles(suite_data);
        } else {
            // The suite still serves other products: its user data stays.
            log::message("Folders '%s' in the profiles stay: the suite is still installed", suite_data.c_str());
        }
        // The maker's own folder holds other products' user data too: it goes
        // only where it is empty.
        remove_empty_dir_in_userappdata_for_allprofiles(relative_path(appdata + folder, profile));

        try {
            // The maker's key and the Run value of the 32-bit view. Without
            // the maker's key (or its Tray subkey) the Run value stays.
            replay::unique_hkey raw;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + folder).c_str(), 0, read_32bit_view, raw.put()) ==
                ERROR_SUCCESS) {
                const registry2::key maker(raw.get());
                registry2::delete_key(maker, tray_name, /*recursive=*/true, KEY_WOW64_32KEY);
                log::message(L"Cleaning registry: HKLM\\Software\\%ls\\%ls", folder_name.c_str(), tray_name.c_str());
                replay::unique_hkey run_raw;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\", 0,
                                  read_32bit_view, run_raw.put()) == ERROR_SUCCESS) {
                    const registry2::key run(run_raw.get());
                    const LSTATUS result = registry2::delete_value(run.handle(), run_value);
                    if (result != ERROR_SUCCESS) {
                        throw registry2::key_error("RegDeleteValue() failed: value \"%s\" (%i)", "CorvantisTray",
                                                   static_cast<int>(result));
                    }
                    log::message("Cleaning registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\CorvantisTray");
                }
            }
        } catch (const registry2::generic&) {
            // The rest of the registry part is skipped.
        }

        try {
            log::message("");
            log::message("**** Let's remove Common Tray Registry Component ****");
            for (const wchar_t* component : tray_components) remove_installer_components(component);
        } catch (...) {
            log::message("some exception occured while removing Common Tray registry components");
        }
    }
    fix_tray_counters(users);
}

void tray_remover::fix_tray_counters(int users) {
    log::message("Fixing Common Tray counters in SharedDLLs");
    try {
        log::message("Number of products with Common Tray according to configurations files: %d", users);
        fix_shareddlls_counters(folder_name + L"\\" + tray_name, static_cast<DWORD>(users < 0 ? 0 : users));
    } catch (...) {
        // The counters stay as they were.
    }
}

}  // namespace remover
