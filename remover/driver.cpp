#include "remover/driver.hpp"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "remover/discovery.hpp"
#include "remover/files.hpp"
#include "remover/forced_removal.hpp"
#include "remover/identity.hpp"
#include "remover/installer_database.hpp"
#include "remover/log_submission.hpp"
#include "remover/paths.hpp"
#include "remover/processes.hpp"
#include "remover/program_start.hpp"
#include "remover/session.hpp"
#include "remover/registry_cleanup.hpp"
#include "remover/startup_checks.hpp"
#include "remover/suite_library.hpp"
#include "remover/toolkit_remover.hpp"
#include "remover/tray_remover.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/exception_report.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/backup.hpp"
#include "replay/registry2/regedit_format.hpp"
#include "replay/registry2/errors.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/unicode.hpp"
#include "resources/version.h"

namespace remover {

namespace {

namespace log = replay::log;

constexpr char separator_line[] = "==================================================";
constexpr char short_separator_line[] = "=================================================";
constexpr DWORD log_wait_ms = 3000;
constexpr DWORD temp_path_chars = 260;

constexpr char log_file_failure[] =
    "Unable to create log file. If you need log file make sure that you have permission to write to "
    "directory where remove.exe is located";
constexpr char old_windows[] = "This program can be launched on Windows 2000 or higher. Exiting ...";
constexpr char no_admin_rights[] =
    "The program is running without Administrative rights.\nRelogin as Administrator and run it again !";

void header(const char* title) {
    log::message("%s", title);
    log::message("");
}

void header(const std::wstring& title) {
    log::message(L"%s", title.c_str());
    log::message("");
}

void separator() {
    log::message(separator_line);
    log::message("");
}

void short_separator() {
    log::message(short_separator_line);
    log::message("");
}

std::string display() { return narrow(identity().display_name); }

void attach_log_files(product_remover& remover) {
    log::attach(std::make_unique<log::console>());
    try {
        auto main_log = std::make_unique<log::file>(program_name);
        remover.log_identity = main_log->identity();
        log::attach(std::move(main_log));
    } catch (...) {
        message_box(log_file_failure, "ZENQORemover.exe", MB_OK);
        remover.submit_log = false;
    }
    // The copy in the temporary folder has no handling of its own. Without a
    // temporary folder that fits, the name would be the current directory's
    // log, and every line would be written to it twice.
    char temp[temp_path_chars] = {};
    const DWORD length = GetTempPathA(temp_path_chars, temp);
    if (length == 0 || length >= temp_path_chars) return;
    log::attach(std::make_unique<log::file>(std::string(temp) + program_name));
}

// Whatever the run deletes or changes in the registry is saved first to
// ZENQORemover.backup-<date>-<time>.reg beside the log, or in the temporary
// folder when the current directory cannot take it.
void start_registry_backup() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    std::vector<std::wstring> folders = {L""};
    wchar_t temp[temp_path_chars] = {};
    const DWORD length = GetTempPathW(temp_path_chars, temp);
    if (length != 0 && length < temp_path_chars) folders.emplace_back(temp, length);
    replay::registry2::start_backup(replay::registry2::backup_file_name(L"ZENQORemover", now), folders);
}

void check_windows_version() {
    if (os_version().dwMajorVersion < 5) {
        log::message(old_windows);
        message_box(old_windows, " force remover version " ZENQO_VERSION_TEXT, MB_OK);
        finish_abnormally();
    }
}

void check_administrator() {
    const std::wstring title = replay::wformat(L"%s force remover", identity().display_name.c_str());
    if (IsRunAsAdministrator(title) != 1) {
        log::message(no_admin_rights);
        const std::string caption = replay::format("%s force remover version " ZENQO_VERSION_TEXT, display().c_str());
        message_box(no_admin_rights, caption.c_str(), MB_OK);
        finish_abnormally();
    }
}

// Starts a program of the product without waiting for it. The folder comes
// from the registry: a path that is not absolute would start whatever lies in
// the current directory, and one that others could have planted or reach
// through a link would run their program elevated: neither is started.
void start_product_program(const std::string& file, const char* parameters, const char* directory) {
    if (!is_absolute_path(file)) return;
    if (!may_start_program(replay::unicode::to_wide(file, replay::unicode::ansi))) return;
    ShellExecuteA(/*owner=*/nullptr, "open", file.c_str(), parameters, directory, SW_SHOW);
}

void remove_scheduled_task(product_remover& remover) {
    header("**** Removing Scheduled Task  ****");
#if defined(ZENQO_X64)
    const std::string product_exe = remover.install_dir + display() + "64.exe";
#else
    const std::string product_exe = remover.install_dir + display() + ".exe";
#endif
    start_product_program(product_exe, "-syncremove", nullptr);
    start_product_program(product_exe, "-uninstall", nullptr);
    short_separator();
}

// Returns whether the suite's per-user data may go: the suite was removed in
// this step, or no suite is installed.
bool deal_with_toolkit(product_remover& remover) {
    header("**** Deal with Toolkit 3.1.x ****");
    bool suite_gone = false;
    try {
        const identity_strings& names = identity();
        {
            toolkit31x_remover toolkit(names.folder_name, names.suite_name, names.suite_service_name,
                                       names.suite_service_exe);
            if (remover.user_email.empty()) remover.user_email = toolkit.read_user_email_from_toolkit_31x(product_code);
            toolkit.unregister_product_from_toolkit_31x(product_code);
            toolkit.remove_toolkit_31x();
            suite_gone = toolkit.suite_removed() || !toolkit.suite_installed();
        }
        suite::release_library();
    } catch (...) {
        log::message("Unregistering in Toolkit caused problems with the remover...");
    }
    separator();
    return suite_gone;
}

void remove_common_tray(bool suite_gone) {
    if (identity().skip_tray == L"1") return;
    const std::wstring& folder = identity().folder_name;
    header(replay::wformat(L"**** Remove %sTray ****", folder.c_str()));
    try {
        tray_remover tray(folder, L"Tray", product_code, replay::wformat(L"%sTray.exe", folder.c_str()));
        tray.remove_tray(suite_gone);
    } catch (...) {
        // The tray clean-up ends here; the later steps run.
        replay::log_current_exception(std::string("remove_tray()"), log::instance());
        log::message("Removing the common tray caused problems with the remover...");
    }
    separator();
}

void remove_application_data() {
    header(replay::wformat(L"**** Removing %s Specific AppData folders ****", identity().display_name.c_str()));
    try {
        const std::string product = narrow(identity().folder_name) + "\\" + display();
        const std::string appdata = get_folder_path(CSIDL_APPDATA);
        const std::string common_appdata = get_folder_path(CSIDL_COMMON_APPDATA);
        remove_folder_tree(appdata + product, /*product_tree=*/true);
        remove_folder_tree(common_appdata + product, /*product_tree=*/true);
        remove_folder_tree(common_appdata + product + "64", /*product_tree=*/true);
        remove_empty_folder(common_appdata + narrow(identity().folder_name));
        remove_empty_folder(appdata + narrow(identity().folder_name));
        remove_common_appdata_folders(display() + ".*");
    } catch (...) {
        // The rest of the step is skipped.
    }
    short_separator();
}

void clean_registry(product_remover& remover) {
    header("**** Cleaning SOFTWARE registry ****");
    clean_software_registry();
#if defined(ZENQO_X64)
    remove_32bit_folder_key();
#endif
    remove_uninstall_keys(remover);
    separator();
}

void remove_product_shortcuts() {
    header(replay::wformat(L"**** Removing %s shortcuts ****", identity().display_name.c_str()));
    remove_shortcuts(narrow(identity().folder_name), display());
    remove_desktop_shortcuts(display());
    remove_file(get_folder_path(CSIDL_APPDATA) + "Microsoft\\Internet Explorer\\Quick Launch\\" + display() + ".lnk");
    separator();
}

void clean_win8_shortcuts() {
    header("**** Cleaning Win8 Shortcuts ****");
    const std::string tools =
        get_folder_path(CSIDL_PROGRAM_FILESX86) + narrow(identity().folder_name) + "\\" + narrow(identity().tools_name) + "\\";
    remove_folder_tree(tools + display() + "\\");
    remove_empty_folder(tools);
    separator();
}

void clean_program_files(product_remover& remover) {
    header("**** Cleaning Program Files folder ****");
    const std::string& dir = remover.install_dir;
    remove_folder_tree(dir, /*product_tree=*/true);
    // The maker's folder that holds the installation folder.
    std::string parent = dir.empty() ? std::string() : dir.substr(0, dir.size() - 1);
    const size_t last = parent.rfind('\\');
    if (last != std::string::npos) parent.erase(last);
    remove_install_folder(parent);
    const std::string maker = narrow(identity().folder_name) + "\\";
    remove_empty_folder(get_folder_path(CSIDL_PROGRAM_FILES) + maker);
    remove_empty_folder(get_folder_path(CSIDL_PROGRAM_FILESX86) + maker);
    remove_installshield_folders(remover);
    separator();
}

void clean_virtual_store() {
    header("**** Removing files from Virtual Store ****");
    log::message("Number of removed files: %d", rmove_virtual_store());
    log::message("");
    separator();
}

int run_removal() {
    load_identity();
    auto remover = std::make_unique<product_remover>(display());
    remover->submit_log = true;
    attach_log_files(*remover);
    start_registry_backup();

    log::message("");
    log::message("%s force remover version " ZENQO_VERSION_TEXT, display().c_str());
    log::message("");
    log::message("%s", describe_os_version().c_str());
    log::message("");

    check_windows_version();
    check_administrator();

    search_product_info(*remover);
    resolve_install_folder(*remover);

    close_running_applications(*remover);
    remove_scheduled_task(*remover);
    clean_installer_database(identity().product_guid);
#if defined(ZENQO_X64)
    remove_32bit_shared_dlls_values(remover->install_dir);
#endif
    const bool suite_gone = deal_with_toolkit(*remover);
    remove_common_tray(suite_gone);
    remove_application_data();
    clean_registry(*remover);
    remove_product_shortcuts();
    clean_win8_shortcuts();
    clean_program_files(*remover);
    clean_virtual_store();
    log_restart_summary();

    log::message("%s force remover version " ZENQO_VERSION_TEXT " completed OK.", display().c_str());
    log::message("");
    log::message("");
    log::message("");
    log::shutdown();
    submit_log_or_wait(*remover, program_name);
    return 0;
}

}  // namespace

void finish_abnormally() {
    log::message("");
    log::message("%s force remover version " ZENQO_VERSION_TEXT " completed abnormally.", display().c_str());
    log::message("");
    log::shutdown();
    std::exit(1);
}

void close_running_applications(product_remover& remover) {
    header("**** Close running application ****");
    // Ask the product's interface to close itself first.
    const std::string ui = remover.install_dir + "UI.exe";
    start_product_program(ui, "-close", remover.install_dir.c_str());
    log::message("%s", ui.c_str());
    close_process_by_name(display() + ".exe");
    close_process_by_name(display() + "64.exe");
    close_process_by_name("MsgSys.exe");
    close_process_by_name("UpDates.exe");
    close_process_by_name(narrow(identity().launcher_exe));
    separator();
}

void submit_log_or_wait(product_remover& remover, const std::string& program) {
    if (!remover.submit_log) {
        // Without the log file there is nothing to send: keep the console
        // readable for a moment instead.
        Sleep(log_wait_ms);
        return;
    }
    // The log is named after the program, in the current directory.
    if (offer_log_submission(remover, program) == 0)
        message_box("Log file not submitted", "Log file not submitted", MB_OK);
}

int run() {
    // Decided once, before any box could be shown.
    windows_visible();
    try {
        return run_removal();
    } catch (...) {
        message_box("Internal error!", "Error", MB_OK | MB_ICONEXCLAMATION);
        return 0;
    }
}

}  // namespace remover
