#include "remover/suite/toolkit_remover.hpp"

#include <windows.h>
#include <shlobj.h>

#include <exception>
#include <utility>

#include "remover/common/identity.hpp"
#include "remover/files/files.hpp"
#include "remover/installer/installer_components.hpp"
#include "remover/processes/processes.hpp"
#include "remover/registry/registry_cleanup.hpp"
#include "remover/services/services.hpp"
#include "remover/suite/suite_library.hpp"
#include "replay/exception.hpp"
#include "replay/handle.hpp"
#include "replay/log/exception_report.hpp"
#include "remover/common/run_outcome.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

namespace log = replay::log;
// Paths of the narrow file operations and the wide suite operations meet
// here, converted with the ANSI code page, so that a folder whose name is not
// ASCII stays the same folder.
using replay::unicode::from_ansi;
using replay::unicode::to_ansi;
using replay::unicode::to_ansi_strict;

// The suite's files that Windows Installer registered as components.
constexpr const wchar_t* suite_components[] = {
    L"VexarLauncher.exe",           L"VexarSuiteService.exe",   L"Vexars\\bvhtml.dll",
    L"Vexars\\LogFilesCollector.exe", L"Vexars\\MachineId.exe", L"Vexars\\MachineIdGateway.dll",
};

// The suite's files counted in SharedDLLs, below the maker's folder.
constexpr const wchar_t* suite_counted_files[] = {
    L"\\VexarLauncher", L"\\VexarSuiteService", L"\\LogFilesCollector",
    L"\\bvhtml",        L"\\MachineId.exe",     L"\\MachineIdGateway",
};

std::wstring with_backslash(std::wstring path) {
    if (path.empty() || path.back() != L'\\') path += L'\\';
    return path;
}

// Whether the machine's key is missing, in the program's own registry view;
// a key that exists but cannot be opened is not missing.
bool key_absent(const std::wstring& path) {
    replay::unique_hkey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_FILE_NOT_FOUND;
}

void log_exception(const char* context) {
    replay::log_current_exception(std::string(context), log::instance());
}

}  // namespace

toolkit_remover::toolkit_remover(std::wstring folder, std::wstring suite, std::wstring service_name,
                                 std::wstring service_exe)
    : folder_name(std::move(folder)),
      suite_name(std::move(suite)),
      suite_service_name(std::move(service_name)),
      suite_service_exe(std::move(service_exe)) {}

toolkit_remover::~toolkit_remover() = default;

toolkit31x_remover::toolkit31x_remover(std::wstring folder, std::wstring suite, std::wstring service_name,
                                       std::wstring service_exe)
    : toolkit_remover(std::move(folder), std::move(suite), std::move(service_name), std::move(service_exe)) {
    suite_dir = from_ansi(get_folder_path(CSIDL_PROGRAM_FILESX86)) + folder_name + L"\\";
    suite::set_library_folders(suite_dir, suite_dir + L"Tray\\");
}

std::int32_t toolkit31x_remover::count_products_in_toolkit_31x() {
    std::int32_t count = 0;
    counted = false;
    try {
        const suite::products_list list = suite::open_products(suite::open_library());
        count = suite::count_products(list);
        counted = true;
    } catch (...) {
        count = 0;  // the library cannot say: no other product is known
    }
    log_count(count);
    return count;
}

void toolkit31x_remover::log_count(std::int32_t count) {
    log::message("Count products registered in Toolkit 3.1.x");
    log::message("   number of products = %d", static_cast<int>(count));
    log::message("");
}

std::optional<bool> toolkit31x_remover::suite_entry_alone() {
    try {
        const suite::products_list list = suite::open_products(suite::open_library());
        return !suite::product_name(list, L"TOOLKIT").empty();
    } catch (...) {
        return std::nullopt;
    }
}

bool toolkit31x_remover::suite_installed() const {
    // Any file in the suite's folder is one of its own (the products have
    // folders of their own there), or its languages.
    try {
        return count_files(to_ansi_strict(suite_dir), "*") > 0 || path_exists(suite_dir + L"Languages");
    } catch (...) {
        return true;  // cannot be told: taken as there
    }
}

bool toolkit31x_remover::is_product_registered_in_toolkit_31x(std::wstring code) {
    log::message(L"Check if %s is registered in Toolkit 3.1.x", code.c_str());
    try {
        const suite::products_list list = suite::open_products(suite::open_library());
        return !suite::product_name(list, code).empty();
    } catch (...) {
        log_exception("is_product_registered_in_toolkit_31x()");
        return false;
    }
}

std::wstring toolkit31x_remover::product_name_in_toolkit_31x(std::wstring code) {
    try {
        const suite::products_list list = suite::open_products(suite::open_library());
        return suite::product_name(list, code);
    } catch (...) {
        log_exception("can't retrieve product name, ");
        return {};
    }
}

void toolkit31x_remover::unregister_product_from_toolkit_31x(std::wstring code) {
    log::message(L"Unregister %s from Toolkit 3.1.x", code.c_str());
    try {
        const suite::products_list list = suite::open_products(suite::open_library());
        suite::unregister_product(list, code);
    } catch (...) {
        log_exception("unregister_product_from_toolkit_31x()");
    }
    log::message(L"");
}

std::string toolkit31x_remover::read_user_email_from_toolkit_31x(std::wstring code) {
    log::message("Try to read user e-mail from Toolkit 3.1.x");
    try {
        const std::wstring path = product_common_data_folder(code) + L"suite.cfg";
        const suite::suite_file file = suite::open_suite_file(suite::open_library(), path);
        const std::wstring site = suite::user_site(file);
        const std::wstring name = suite::user_name(file);
        const std::wstring address = name + L"@" + site;
        if (address != L"@") {
            log::message(L"Email set to %S from suite config of ToolKit version 3.1.x",
                         to_ansi(address).c_str());
            return to_ansi_strict(address);
        }
    } catch (const std::exception& error) {
        log::error("exception in read_user_email_from_toolkit_31x(), %s", error.what());
    } catch (...) {
        log_exception("some exception occured in read_user_email_from_toolkit_31x, no email retrieved");
    }
    log::message("");
    return {};
}

std::wstring toolkit31x_remover::product_install_folder(std::wstring code) {
    return suite_dir + product_name_in_toolkit_31x(std::move(code)) + L"\\";
}

std::wstring toolkit31x_remover::product_user_data_folder(std::wstring code) {
    return from_ansi(get_folder_path(CSIDL_APPDATA)) + folder_name + L"\\" +
           product_name_in_toolkit_31x(std::move(code)) + L"\\";
}

std::wstring toolkit31x_remover::product_common_data_folder(std::wstring code) {
    return from_ansi(get_folder_path(CSIDL_COMMON_APPDATA)) + folder_name + L"\\" +
           product_name_in_toolkit_31x(std::move(code)) + L"\\";
}

void toolkit31x_remover::remove_toolkit_31x() {
    // A force remover must not break another product on a guess: the suite
    // goes only when the products left are known to be none, or the suite's
    // own entry alone.
    const std::int32_t users = count_products_in_toolkit_31x();
    bool remove = counted && users <= 1;
    if (!counted) {
        log::message("The suite stays: the products that use it could not be counted");
    } else if (users == 1) {
        const std::optional<bool> alone = suite_entry_alone();
        if (!alone) {
            log::message("The suite stays: it could not be told which product still uses it");
        } else if (!*alone) {
            log::message("The suite stays: another product still uses it");
            outcome::kept(suite_dir, outcome::reason_in_use_by_others);
        }
        remove = alone.value_or(false);
    }
    if (remove) {
        removed = true;
        try {
            remove_code();
        } catch (...) {
            log::message("some exception occured while removing toolkit_31x INSTALLDIR");
        }
        log::message("");
        log::message("**** Let's remove Toolkit 3.1.x Data ****");
        try {
            remove_data();
        } catch (...) {
            log::message("some exception occured while removing toolkit_31x data");
        }
        log::message("");
        log::message("**** Let's remove Toolkit 3.1.x Registry Component ****");
        remove_registry_component();
    }
    // Counters that cannot be worked out stay as they are.
    if (!counted && !removed) return;
    try {
        fix_toolkit_counters();
    } catch (...) {
        // The counters stay as they were.
    }
}

void toolkit31x_remover::remove_code() {
    log::message("**** Let's remove Toolkit 3.1.x Code ****");
    const std::wstring service_exe = suite_dir + suite_service_exe;
    if (launch_and_wait_for_exit_code(service_exe, L"/stop", suite_dir) != 0) {
        close_process_by_name(narrow(suite_service_exe));
    }
    if (launch_and_wait_for_exit_code(service_exe, L"/uninstall", suite_dir) != 0) {
        remove_service(narrow(suite_service_name), narrow(suite_service_exe));
    }
    // The client library was loaded from this folder: a loaded library
    // cannot be deleted, so it is released first, and nothing calls it
    // after that.
    suite::release_library();
    const std::string folder = to_ansi_strict(with_backslash(suite_dir));
    for (const std::string& name : list_files(folder, "*")) remove_file(folder + name);
    remove_folder_tree(folder + "Languages", folder_source::system);
    remove_empty_folder(folder);
    log::message("Toolkit 3.1.x INSTALLDIR was removed");
}

void toolkit31x_remover::remove_data() {
    const std::string folder = narrow(folder_name);
    const std::string suite = narrow(suite_name);
    const std::string common_appdata = get_folder_path(CSIDL_COMMON_APPDATA);
    const std::string appdata = get_folder_path(CSIDL_APPDATA);
    remove_folder_tree(common_appdata + folder + "\\" + suite, folder_source::system);
    remove_folder_tree(common_appdata + folder + "\\Programs Bar", folder_source::system);
    remove_empty_folder(common_appdata + folder);
    remove_folder_tree(appdata + folder + "\\" + suite, folder_source::system);
    remove_empty_folder(appdata + folder);
}

void toolkit31x_remover::remove_registry_component() {
    try {
        for (const wchar_t* component : suite_components) remove_installer_components(component);
    } catch (...) {
        log::message("some exception occured while removing toolkit_31x registry components");
    }
    const std::wstring parent = L"SOFTWARE\\" + folder_name;
    try {
        // Reported as removed only when it was there and is gone: a failed
        // deletion, or a parent that is missing, has logged its own line.
        const bool existed = !key_absent(parent + L"\\MachineId");
        if (remove_registry_key(HKEY_LOCAL_MACHINE, parent, L"MachineId", /*recursive=*/true) && existed &&
            key_absent(parent + L"\\MachineId")) {
            log::message("");
            log::message(L"Removed regkey HKEY_LOCAL_MACHINE\\%ls\\MachineId", parent.c_str());
            log::message("");
        }
    } catch (...) {
        log::message("");
        log::message(L"some exception occured while removing registry key HKEY_LOCAL_MACHINE\\%ls\\MachineId",
                     parent.c_str());
    }
}

void toolkit31x_remover::fix_toolkit_counters() {
    std::int32_t users = 0;
    // After the suite went, no product is left to count and nothing is
    // asked of the library (it went with the suite); the log says only
    // what is done.
    if (!removed) {
        users = count_products_in_toolkit_31x();
        if (!counted) return;  // the counters stay as they were
    }
    if (users >= 1) {
        if (is_product_registered_in_toolkit_31x(L"TOOLKIT")) --users;
        // MILVA and TORKA together count as one product.
        if (is_product_registered_in_toolkit_31x(L"MILVA") && is_product_registered_in_toolkit_31x(L"TORKA")) {
            --users;
        }
    }
    // A list that says fewer products than it names must not wrap the
    // counters to 4294967295.
    if (users < 0) users = 0;
    log::message("");
    log::message("Fixing Toolkit counters in SharedDLLs");
    try {
        log::message("Number of products with Toolkit according to configurations files: %d", static_cast<int>(users));
        for (const wchar_t* file : suite_counted_files) {
            fix_shareddlls_counters(folder_name + file, static_cast<DWORD>(users));
        }
    } catch (...) {
        // The counters stay as they were.
    }
}

}  // namespace remover
