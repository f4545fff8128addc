#pragma once
// Finding, terminating and starting processes.
#include <windows.h>

#include <string>

#include "replay/handle.hpp"

namespace remover {

// Exit code given to every process the remover terminates.
constexpr UINT terminated_exit_code = 255;

// True when a snapshot's executable name, without any path, is the name (in
// the ANSI code page), ASCII case ignored: "OldMsgSys.exe" is not
// "MsgSys.exe". An empty name, or one the code page cannot decode, matches
// nothing.
bool process_name_matches(const std::wstring& exe_file, const std::string& name);

// True when a fresh process snapshot has an entry that matches the name
// (process_name_matches). A snapshot that cannot be taken or read counts as
// "not running".
bool is_process_running(const std::string& name);

// Terminates every process that matches the name, in ascending
// order of process id, never the remover itself nor the process that started
// it. Processes that cannot be opened even with the debug privilege are left
// alone. Logs nothing, raises nothing.
void terminate_processes_by_name(const std::string& name);

// Logs and terminates every process that matches the name.
void close_process_by_name(const std::string& name);

// Windows 2000 cuts executable names in its snapshots to 15 characters.
std::string process_name_for_snapshot(const std::string& name);

// How long launch_and_wait_for_exit_code waits for the program it started.
constexpr DWORD program_wait_limit_ms = 300000;

struct program_wait_timing {
    DWORD limit_ms = program_wait_limit_ms;
};

// The timing that launch_and_wait_for_exit_code follows: the constant above,
// unless a test shortened it to see a time-out without waiting five minutes.
program_wait_timing& program_timing();

// Starts file hidden, waits for it at most program_timing().limit_ms and
// returns its exit code; 1 when it was not started (see may_start_program),
// could not be started or waited for, or did not finish in time (it is left
// running). Logs each outcome.
int launch_and_wait_for_exit_code(const std::wstring& file, const std::wstring& parameters,
                                  const std::wstring& directory);

// Enables one privilege in the thread's token (or the process token when the
// thread has none) for its lifetime, then restores the previous state.
// Failures are ignored: the scope then changes nothing.
class privilege_scope {
public:
    explicit privilege_scope(const char* privilege);
    privilege_scope(const privilege_scope&) = delete;
    privilege_scope& operator=(const privilege_scope&) = delete;
    ~privilege_scope();

private:
    replay::token_handle token_;
    std::string privilege_;
    TOKEN_PRIVILEGES previous_ = {};
    bool adjusted_ = false;
};

}  // namespace remover
