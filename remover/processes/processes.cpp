#include "remover/processes/processes.hpp"

#include <shellapi.h>
#include <tlhelp32.h>

#include <set>
#include <vector>

#include "remover/common/text.hpp"
#include "remover/common/windows_version.hpp"
#include "remover/processes/program_start.hpp"
#include "replay/format.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"

namespace remover {

namespace {

constexpr size_t windows_2000_snapshot_name_chars = 15;
constexpr DWORD adjust_and_query = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
static_assert(adjust_and_query == 0x28);
constexpr DWORD shell_execute_mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
static_assert(shell_execute_mask == 0x440);

// Calls visit for each process entry until it returns false. The entries are
// read in UTF-16: the narrow ones carry the names through the code page's
// best-fit table, which turns look-alike letters into the wanted ones.
template <typename Visit>
void walk_processes(Visit visit) {
    replay::snapshot_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (!visit(entry)) return;
    }
}

bool terminate_process(DWORD id) {
    replay::process_handle process(OpenProcess(PROCESS_TERMINATE, /*inherit=*/FALSE, id));
    if (!process) return false;
    TerminateProcess(process.get(), terminated_exit_code);
    return true;
}

}  // namespace

program_wait_timing& program_timing() {
    static program_wait_timing timing;
    return timing;
}

bool process_name_matches(const std::wstring& exe_file, const std::string& name) {
    std::wstring wanted;
    try {
        wanted = replay::unicode::from_ansi(name);
    } catch (const replay::exception&) {
        return false;
    }
    const size_t last = exe_file.find_last_of(L"\\/");
    const std::wstring file_name = last == std::wstring::npos ? exe_file : exe_file.substr(last + 1);
    return !wanted.empty() && ascii_lower(file_name) == ascii_lower(wanted);
}

bool is_process_running(const std::string& name) {
    bool found = false;
    walk_processes([&](const PROCESSENTRY32W& entry) {
        found = process_name_matches(entry.szExeFile, name);
        return !found;
    });
    return found;
}

void terminate_processes_by_name(const std::string& name) {
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    bool parent_known = false;
    std::set<DWORD> targets;
    walk_processes([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == self) {
            // The product may have started the remover: its parent survives.
            parent = entry.th32ParentProcessID;
            parent_known = true;
        } else if (process_name_matches(entry.szExeFile, name)) {
            targets.insert(entry.th32ProcessID);
        }
        return true;
    });
    for (DWORD id : targets) {
        if (parent_known && id == parent) continue;
        if (terminate_process(id)) continue;
        privilege_scope debug("SeDebugPrivilege");
        terminate_process(id);
    }
}

std::string process_name_for_snapshot(const std::string& name) {
    if (is_windows_2000() && name.size() > windows_2000_snapshot_name_chars) {
        return name.substr(0, windows_2000_snapshot_name_chars);
    }
    return name;
}

void close_process_by_name(const std::string& name) {
    const std::string short_name = process_name_for_snapshot(name);
    replay::log::message("Dealing with '%s' process ....", name.c_str());
    if (is_process_running(short_name)) {
        replay::log::message("Process with name '%s' is running, let us close it", short_name.c_str());
        terminate_processes_by_name(short_name);
    } else {
        replay::log::message("Process with name '%s' is NOT running ...", short_name.c_str());
    }
}

int launch_and_wait_for_exit_code(const std::wstring& file, const std::wstring& parameters,
                                  const std::wstring& directory) {
    replay::log::message(L"launch_and_wait_for_exit_code: \"%ls\" %ls", file.c_str(), parameters.c_str());
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = shell_execute_mask;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_HIDE;
    if (!may_start_program(file)) return 1;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        replay::log::message("ShellExecuteEx failed. Error: %d", static_cast<int>(error));
        return 1;
    }
    replay::process_handle process(info.hProcess);
    const DWORD waited = WaitForSingleObject(process.get(), program_timing().limit_ms);
    if (waited == WAIT_TIMEOUT) {
        // The program is left running: ending it could leave the suite half
        // removed, and the steps that follow deal with its process.
        replay::log::message("The program did not finish within %d s: no longer waiting for it",
                             static_cast<int>(program_timing().limit_ms / 1000));
        return 1;
    }
    if (waited == WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        if (GetExitCodeProcess(process.get(), &exit_code)) {
            replay::log::message("exit_code: %d", static_cast<int>(exit_code));
            return static_cast<int>(exit_code);
        }
        const DWORD error = GetLastError();
        replay::log::message("GetExitCodeProcess failed. Error: %d", static_cast<int>(error));
        return 1;
    }
    if (waited == WAIT_ABANDONED) {
        replay::log::message("WaitForSingleObject returned WAIT_ABANDONED");
        return 1;
    }
    const DWORD error = GetLastError();
    replay::log::message("WaitForSingleObject failed. Error: %d", static_cast<int>(error));
    return 1;
}

privilege_scope::privilege_scope(const char* privilege) : privilege_(privilege) {
    if (!OpenThreadToken(GetCurrentThread(), adjust_and_query, /*open_as_self=*/FALSE, token_.put()) &&
        !OpenProcessToken(GetCurrentProcess(), adjust_and_query, token_.put())) {
        return;
    }
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(/*system=*/nullptr, privilege_.c_str(), &wanted.Privileges[0].Luid)) return;
    DWORD previous_size = 0;
    adjusted_ = AdjustTokenPrivileges(token_.get(), /*disable_all=*/FALSE, &wanted, sizeof(previous_), &previous_,
                                      &previous_size) != FALSE;
}

privilege_scope::~privilege_scope() {
    if (adjusted_) {
        AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
}

}  // namespace remover
