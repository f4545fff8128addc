#pragma once
// Stopping and deleting Windows services through the service control
// manager, finding a service by the executable in its registry entry, and
// the last resort of deleting that entry directly.
//
// None of these functions raises: every failure is logged and becomes a
// false, 0 or empty result.
#include <windows.h>
#include <winsvc.h>

#include <string>

namespace remover {

constexpr DWORD service_manager_access = SC_MANAGER_ALL_ACCESS;
static_assert(service_manager_access == 0xF003F);
constexpr DWORD service_stop_delete_access = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
static_assert(service_stop_delete_access == 0x10024);
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);

// How often a stopping service is asked for its state, and how long after
// the start of stop_and_delete_service it may take in all.
constexpr DWORD service_poll_interval_ms = 1000;
constexpr DWORD service_stop_limit_ms = 30000;

struct service_wait_timing {
    DWORD poll_interval_ms = service_poll_interval_ms;
    DWORD stop_limit_ms = service_stop_limit_ms;
};

// The timing that stop_and_delete_service follows: the constants above,
// unless a test shortened them to see a time-out without waiting 30 s.
service_wait_timing& service_timing();

// Where the service control manager keeps its services, below
// HKEY_LOCAL_MACHINE; each subkey is named after the service it holds.
inline constexpr wchar_t services_key_path[] = L"SYSTEM\\CurrentControlSet\\Services";

// True unless the service control manager answers that no service has this
// name. When the manager cannot be asked at all, the service counts as
// existing, so that the caller still tries to remove it.
bool service_exists(const std::string& name);

// Stops the service (waiting while it is stop-pending, then sending it the
// stop request) and deletes it. Returns 1 when it was stopped, or already
// stopped, and deleted; 0 after any failure, which is logged with its
// system error code. Gives up once 30000 ms (the stop limit of
// service_timing) have passed since the call began. Dependent services are not stopped.
int stop_and_delete_service(const std::string& name);

// True when an ImagePath ends with the image name, ASCII case ignored, and
// the name is the path's whole last part: it follows a backslash or is the
// whole path. A quoted path (ending with its quote) or one followed by
// arguments does not match. An empty image name matches nothing.
bool image_path_matches(const std::string& image_path, const std::string& image);

// Searches the service entries, in sorted order of their names, for the
// first whose ImagePath matches the image name; logs its display name (its
// key name when it has none) and returns its key name, which is the name the
// service control manager knows it by. Returns an empty string, after
// "Service not found", when nothing matches or the entries cannot be read.
// Entries that cannot be read, or whose name the ANSI code page cannot
// hold, are skipped.
std::string find_service_by_image(const std::string& image);

// Deletes the first service entry, in sorted order, whose ImagePath matches
// the image name, with all its subkeys, behind the back of the service
// control manager. True when an entry was deleted; false, without a
// message, when none matched or none could be deleted.
bool delete_service_entry_by_image(const std::string& image);

// Stops and deletes a service; when that fails, terminates its executable
// and deletes its registry entry. The service may be found by image.
void remove_service(const std::string& name, const std::string& image);

}  // namespace remover
