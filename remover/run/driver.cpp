#include "remover/run/driver.hpp"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remover/common/headings.hpp"
#include "remover/common/identity.hpp"
#include "remover/common/paths.hpp"
#include "remover/common/run_outcome.hpp"
#include "remover/common/session.hpp"
#include "remover/common/windows_version.hpp"
#include "remover/discovery/discovery.hpp"
#include "remover/files/files.hpp"
#include "remover/files/forced_removal.hpp"
#include "remover/installer/installer_database.hpp"
#include "remover/log_submission/log_submission.hpp"
#include "remover/processes/processes.hpp"
#include "remover/processes/program_start.hpp"
#include "remover/registry/registry_cleanup.hpp"
#include "remover/run/run_end.hpp"
#include "remover/run/run_logs.hpp"
#include "remover/run/startup_checks.hpp"
#include "remover/suite/suite_library.hpp"
#include "remover/suite/toolkit_remover.hpp"
#include "remover/tray/tray_remover.hpp"
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

// The exit code of a run that "Internal error!" ended.
constexpr int exit_stopped = 2;

constexpr char old_windows[] = "This program can be launched on Windows 2000 or higher. Exiting ...";
constexpr char no_admin_rights[] =
    "The program is running without Administrative rights.\nRelogin as Administrator and run it again !";

std::string display() { return narrow(identity().display_name); }

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
        log::message_lines(no_admin_rights);
        const std::string caption = replay::format("%s force remover version " ZENQO_VERSION_TEXT, display().c_str());
        message_box(no_admin_rights, caption.c_str(), MB_OK);
        finish_abnormally();
    }
}

// Starts a program of the product without waiting for it, in the program's
// own folder (never the remover's current one, often a download folder, where
// an older program would find DLLs that it probes for). The folder comes from
// the registry: a path that is not absolute would start whatever lies in the
// current directory, and one that others could have planted or reach through
// a link would run their program elevated: neither is started.
void start_product_program(const std::string& file, const char* parameters) {
    if (!is_absolute_path(file)) return;
    if (!may_start_program(replay::unicode::to_wide(file, replay::unicode::ansi))) return;
    const std::string folder = file.substr(0, file.find_last_of('\\') + 1);
    ShellExecuteA(/*owner=*/nullptr, "open", file.c_str(), parameters, folder.c_str(), SW_SHOW);
}

void remove_scheduled_task(product_remover& remover) {
    step_heading("**** Removing Scheduled Task  ****");
#if defined(ZENQO_X64)
    const std::string product_exe = remover.install_dir + display() + "64.exe";
#else
    const std::string product_exe = remover.install_dir + display() + ".exe";
#endif
    if (remover.install_dir_refusal.empty()) {
        start_product_program(product_exe, "-syncremove");
        start_product_program(product_exe, "-uninstall");
    }
    short_separator();
}

// Returns whether the suite's per-user data may go: the suite was removed in
// this step, or no suite is installed.
bool deal_with_toolkit(product_remover& remover) {
    step_heading("**** Deal with Toolkit 3.1.x ****");
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
    step_heading(replay::wformat(L"**** Remove %sTray ****", folder.c_str()));
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
    step_heading(replay::wformat(L"**** Removing %s Specific AppData folders ****", identity().display_name.c_str()));
    try {
        const std::string product = narrow(identity().folder_name) + "\\" + display();
        const std::string appdata = get_folder_path(CSIDL_APPDATA);
        const std::string common_appdata = get_folder_path(CSIDL_COMMON_APPDATA);
        // Folders the system names may lie on a share (folder redirection).
        remove_folder_tree(appdata + product, folder_source::system, /*product_tree=*/true);
        remove_folder_tree(common_appdata + product, folder_source::system, /*product_tree=*/true);
        remove_folder_tree(common_appdata + product + "64", folder_source::system, /*product_tree=*/true);
        remove_empty_folder(common_appdata + narrow(identity().folder_name));
        remove_empty_folder(appdata + narrow(identity().folder_name));
        remove_common_appdata_folders(display() + ".*");
    } catch (...) {
        // The rest of the step is skipped.
    }
    short_separator();
}

void clean_registry(product_remover& remover) {
    step_heading("**** Cleaning SOFTWARE registry ****");
    clean_software_registry();
#if defined(ZENQO_X64)
    remove_32bit_folder_key();
#endif
    remove_uninstall_keys(remover);
    separator();
}

void remove_product_shortcuts() {
    step_heading(replay::wformat(L"**** Removing %s shortcuts ****", identity().display_name.c_str()));
    remove_shortcuts(narrow(identity().folder_name), display());
    remove_desktop_shortcuts(display());
    remove_file(get_folder_path(CSIDL_APPDATA) + "Microsoft\\Internet Explorer\\Quick Launch\\" + display() + ".lnk");
    separator();
}

void clean_win8_shortcuts() {
    step_heading("**** Cleaning Win8 Shortcuts ****");
    const std::string tools =
        get_folder_path(CSIDL_PROGRAM_FILESX86) + narrow(identity().folder_name) + "\\" + narrow(identity().tools_name) + "\\";
    remove_folder_tree(tools + display() + "\\", folder_source::system);
    remove_empty_folder(tools);
    separator();
}

void clean_program_files(product_remover& remover) {
    step_heading("**** Cleaning Program Files folder ****");
    const std::string& dir = remover.install_dir;
    // A folder that may not be the product's stays whole; its parent goes
    // only where Windows Installer registered it and it is empty.
    if (remover.install_dir_refusal.empty()) {
        remove_folder_tree(dir, folder_source::registry, /*product_tree=*/true);
    } else {
        log::message("Would not dare to remove '%s' !", dir.c_str());
    }
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
    step_heading("**** Removing files from Virtual Store ****");
    log::message("Number of removed files: %d", rmove_virtual_store());
    log::message("");
    separator();
}

int run_removal() {
    load_identity();
    auto remover = std::make_unique<product_remover>(display());
    remover->submit_log = true;
    const auto temp_log_failure = attach_log_files(*remover);
    if (temp_log_failure) {
        log::message("The log in the temporary folder cannot be opened (%s): the run goes on without it",
                     temp_log_failure->c_str());
    }

    log::message("");
    log::message("%s force remover version " ZENQO_VERSION_TEXT, display().c_str());
    log::message("");
    log::message("%s", describe_os_version().c_str());
    log::message("");

    check_windows_version();
    check_administrator();

    search_product_info(*remover);
    resolve_install_folder(*remover);
    start_run_files(remover->install_dir);

    close_running_applications(*remover);
    remove_scheduled_task(*remover);
    clean_installer_database(identity().product_guid);
#if defined(ZENQO_X64)
    if (remover->install_dir_refusal.empty()) remove_32bit_shared_dlls_values(remover->install_dir);
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
    finish_run_files();

    log::message("%s force remover version " ZENQO_VERSION_TEXT " completed OK.", display().c_str());
    log::message("");
    log::message("");
    log::message("");
    note_whole_logs(*remover);
    log::shutdown();
    // The log file is complete and closed; what the submission still has to
    // say (a failed QUIT after the accepted message) goes to the console.
    log::attach(std::make_unique<log::console>());
    submit_log_or_wait(*remover, program_name);
    log::shutdown();
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
    step_heading("**** Close running application ****");
    // Ask the product's interface to close itself first.
    const std::string ui = remover.install_dir + "UI.exe";
    if (remover.install_dir_refusal.empty()) start_product_program(ui, "-close");
    log::message("%s", ui.c_str());
    close_process_by_name(display() + ".exe");
    close_process_by_name(display() + "64.exe");
    close_process_by_name("MsgSys.exe");
    close_process_by_name("UpDates.exe");
    close_process_by_name(narrow(identity().launcher_exe));
    separator();
}

int run() {
    // Decided once, before any box could be shown.
    windows_visible();
    note_run_start();
    try {
        return run_removal();
    } catch (...) {
        // The run stopped in the middle: no deployment tool may read that as
        // success.
        outcome::internal_error();
        finish_run_files();
        message_box("Internal error!", "Error", MB_OK | MB_ICONEXCLAMATION);
        return exit_stopped;
    }
}

}  // namespace remover
