#include "remover/services/services.hpp"

#include <optional>

#include "remover/common/text.hpp"
#include "remover/processes/processes.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "replay/registry2/backup.hpp"
#include "replay/registry2/key.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

service_wait_timing& service_timing() {
    static service_wait_timing timing;
    return timing;
}

namespace {

namespace log = replay::log;
namespace registry2 = replay::registry2;

// Milliseconds since `start`; unsigned arithmetic keeps it right across the
// wrap of the tick count.
DWORD elapsed_since(DWORD start) { return GetTickCount() - start; }

bool query_status(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed)) {
        return true;
    }
    const DWORD error = GetLastError();
    log::message("QueryServiceStatusEx failed, System Error Code = %d", static_cast<int>(error));
    return false;
}

enum class stop_outcome { stopped, failed, not_pending };

// Waits while a service that is already stopping finishes on its own.
// not_pending means that it left the stop-pending state without stopping,
// so that it has to be asked to stop.
stop_outcome wait_while_stop_pending(SC_HANDLE service, SERVICE_STATUS_PROCESS& status, DWORD start) {
    for (;;) {
        log::message("Service stop pending...");
        Sleep(service_timing().poll_interval_ms);
        if (!query_status(service, status)) return stop_outcome::failed;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            log::message("Service stopped successfully.");
            return stop_outcome::stopped;
        }
        if (elapsed_since(start) > service_timing().stop_limit_ms) {
            log::message("Service stop timed out.");
            return stop_outcome::failed;
        }
        if (status.dwCurrentState != SERVICE_STOP_PENDING) return stop_outcome::not_pending;
    }
}

// Sends the stop request and waits for the service to report that it stopped.
bool request_stop(SC_HANDLE service, SERVICE_STATUS_PROCESS& status, DWORD start) {
    // The status of a service begins with the fields ControlService fills.
    if (!ControlService(service, SERVICE_CONTROL_STOP, reinterpret_cast<SERVICE_STATUS*>(&status))) {
        const DWORD error = GetLastError();
        log::message("ControlService failed, System Error Code = %d", static_cast<int>(error));
        return false;
    }
    while (status.dwCurrentState != SERVICE_STOPPED) {
        Sleep(service_timing().poll_interval_ms);
        if (!query_status(service, status)) return false;
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        if (elapsed_since(start) > service_timing().stop_limit_ms) {
            log::message("Wait timed out");
            return false;
        }
    }
    log::message("Service stopped successfully.");
    return true;
}

// Whether the service's process has ended although the manager still reports
// the service running, as when it was terminated: it can no longer be asked
// to stop. (Windows reports such a service stopped; Wine keeps its last
// state.) A reused process id counts as running.
bool process_ended(DWORD pid) {
    if (pid == 0) return false;
    const replay::process_handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// The ImagePath of one service entry; nothing when the entry or its value
// cannot be read (or the path has characters the ANSI code page cannot hold).
std::optional<std::string> read_image_path(const registry2::key& services, const std::wstring& name) {
    try {
        const registry2::key entry(services, name, /*create=*/false);
        return entry.get_string<std::string>(L"ImagePath");
    } catch (const replay::exception&) {
        return std::nullopt;
    }
}

// Calls visit(services, name) for each service entry whose ImagePath matches
// the image, in sorted order of the names, until it returns true. The entry
// itself is closed again before visit runs, so that visit may delete it.
// Registry failures end the search quietly; false when no visit returned true.
template <typename Visit>
bool visit_entries_by_image(const std::string& image, Visit visit) {
    try {
        const registry2::key machine(HKEY_LOCAL_MACHINE);
        const registry2::key services(machine, services_key_path, /*create=*/false);
        for (const std::wstring& name : services.subkey_names()) {
            const std::optional<std::string> image_path = read_image_path(services, name);
            if (!image_path || !image_path_matches(*image_path, image)) continue;
            if (visit(services, name)) return true;
        }
    } catch (...) {
        // No Services key to search, or it cannot be listed: nothing found.
    }
    return false;
}

}  // namespace

bool service_exists(const std::string& name) {
    const replay::service_handle manager(OpenSCManagerA(/*machine=*/nullptr, /*database=*/nullptr,
                                                        service_manager_access));
    if (!manager) return true;
    const replay::service_handle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        return error != ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return true;
}

int stop_and_delete_service(const std::string& name) {
    log::message("Stop & Delete '%s' Service", name.c_str());
    // Opening the manager counts against the time limit too.
    const DWORD start = GetTickCount();

    const replay::service_handle manager(OpenSCManagerA(/*machine=*/nullptr, /*database=*/nullptr,
                                                        service_manager_access));
    if (!manager) {
        const DWORD error = GetLastError();
        log::message("OpenSCManager failed, System Error Code = %d", static_cast<int>(error));
        return 0;
    }
    const replay::service_handle service(OpenServiceA(manager.get(), name.c_str(), service_stop_delete_access));
    if (!service) {
        const DWORD error = GetLastError();
        log::message("OpenService call failed, System Error Code = %d", static_cast<int>(error));
        return 0;
    }

    SERVICE_STATUS_PROCESS status = {};
    if (!query_status(service.get(), status)) return 0;
    if (status.dwCurrentState == SERVICE_STOPPED || process_ended(status.dwProcessId)) {
        log::message("Service is already stopped.");
    } else {
        stop_outcome outcome = stop_outcome::not_pending;
        if (status.dwCurrentState == SERVICE_STOP_PENDING) {
            outcome = wait_while_stop_pending(service.get(), status, start);
        }
        if (outcome == stop_outcome::failed) return 0;
        if (outcome == stop_outcome::not_pending && !request_stop(service.get(), status, start)) return 0;
    }

    // The manager deletes the service's key: the registry backup takes it first.
    try {
        registry2::back_up_key(HKEY_LOCAL_MACHINE,
                               L"SYSTEM\\CurrentControlSet\\Services\\" + replay::unicode::from_ansi(name),
                               /*view=*/0, /*recursive=*/true);
    } catch (const replay::exception&) {
        // A name without a wide form has no key to save.
    }
    if (!DeleteService(service.get())) {
        const DWORD error = GetLastError();
        log::message("DeleteService failed, System Error Code = %d", static_cast<int>(error));
        return 0;
    }
    log::message("Service deleted successfully");
    return 1;
}

bool image_path_matches(const std::string& image_path, const std::string& image) {
    // Another vendor's "XVexarSuiteService.exe" is not the suite's service.
    return ends_with_file_name_ascii_nocase(image_path, image);
}

std::string find_service_by_image(const std::string& image) {
    log::message("Search if %s service is installed", image.c_str());
    std::string found;
    visit_entries_by_image(image, [&](const registry2::key& services, const std::wstring& name) {
        // The manager opens services by their key name only, so that is the
        // name to go on with; OpenServiceA needs it in the ANSI code page.
        std::string key_name;
        try {
            key_name = replay::unicode::to_ansi_strict(name);
        } catch (const replay::exception&) {
            return false;
        }
        // The display name is only shown; an entry without one is still the
        // service, and the key name stands in for it.
        std::wstring display_name = name;
        try {
            display_name = registry2::key(services, name, /*create=*/false).get_string(L"DisplayName");
        } catch (const replay::exception&) {
        }
        log::message(L"Service found. Display Name: %s", display_name.c_str());
        found = key_name;
        return true;
    });
    if (found.empty()) log::message("Service not found");
    return found;
}

bool delete_service_entry_by_image(const std::string& image) {
    return visit_entries_by_image(image, [&](const registry2::key& services, const std::wstring& name) {
        try {
            registry2::delete_key(services, name, /*recursive=*/true);
        } catch (const replay::exception&) {
            return false;  // not deleted: look on for another entry of the image
        }
        log::message(L"Service %s is killed", name.c_str());
        return true;
    });
}

void remove_service(const std::string& name, const std::string& image) {
    std::string service = name;
    if (!service_exists(service)) {
        log::message("The specified service (%s) does not exist as an installed service.", name.c_str());
        const std::string found = find_service_by_image(image);
        if (!found.empty()) service = found;
    }
    if (service_exists(service) && stop_and_delete_service(service) == 1) return;
    // Last resort: end the executable and remove what the manager would
    // have removed, its registry entry.
    close_process_by_name(image);
    delete_service_entry_by_image(image);
}

}  // namespace remover
