#pragma once
// A copy of the running test program under another path, sleeping until it
// is ended (the test program sleeps when given "--sleep <ms>").
#include <windows.h>

#include <string>

#include "support/own_program.hpp"

namespace test_support {

class sleeper {
public:
    explicit sleeper(const std::string& path) {
        CopyFileA(own_path().c_str(), path.c_str(), /*fail_if_exists=*/FALSE);
        std::string command = "\"" + path + "\" --sleep 60000";
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        if (CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, /*inherit=*/FALSE, 0, nullptr, nullptr,
                           &startup, &info_)) {
            CloseHandle(info_.hThread);
        }
    }
    sleeper(const sleeper&) = delete;
    sleeper& operator=(const sleeper&) = delete;
    ~sleeper() {
        if (info_.hProcess == nullptr) return;
        TerminateProcess(info_.hProcess, 0);
        WaitForSingleObject(info_.hProcess, wait_limit_ms);
        CloseHandle(info_.hProcess);
    }
    bool started() const { return info_.hProcess != nullptr; }
    // The exit code once it ended within the wait, else STILL_ACTIVE.
    DWORD exit_code(DWORD wait_ms = wait_limit_ms) const {
        WaitForSingleObject(info_.hProcess, wait_ms);
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }
    DWORD id() const { return info_.dwProcessId; }

private:
    static constexpr DWORD wait_limit_ms = 10000;
    PROCESS_INFORMATION info_ = {};
};

}  // namespace test_support
