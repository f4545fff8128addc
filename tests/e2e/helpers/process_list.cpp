// process_list: what runs in the prefix, seen through a Toolhelp snapshot as
// the remover sees it, and how watched processes end.
//
//   process_list.exe
//       one JSON line per process on standard output:
//       {"pid":292,"ppid":32,"exe":"MsgSys.exe","image":"C:\\...\\MsgSys.exe"}
//       ("image" is empty when the process cannot be queried).
//   process_list.exe --watch FILE [--stop-file FILE] [--timeout SECONDS] PID ...
//       opens the processes, writes "watching" to FILE, then one line
//       "PID EXIT_CODE" as each of them ends ("PID gone" for one that could
//       not be opened). Stops when all have ended, the stop file exists or
//       the time limit (default 300 s) has passed.
//
// A process ended by TerminateProcess shows the Unix exit status 0 under
// Wine; the exit code seen here is the one that the terminating process gave.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "helper_output.hpp"

namespace {

constexpr DWORD watch_access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD image_chars = 32768;
constexpr DWORD poll_ms = 50;

std::wstring image_path(DWORD pid) {
    helper::kernel_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*inherit=*/FALSE, pid));
    if (!process) return {};
    std::wstring path(image_chars, L'\0');
    DWORD length = image_chars;
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) return {};
    path.resize(length);
    return path;
}

int list() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "process_list: CreateToolhelp32Snapshot failed (%lu)\n", error);
        return 1;
    }
    helper::file_handle owner(snapshot);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    std::string out;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        out += "{\"pid\":" + std::to_string(entry.th32ProcessID) +
               ",\"ppid\":" + std::to_string(entry.th32ParentProcessID) +
               ",\"exe\":" + helper::json_string(entry.szExeFile) +
               ",\"image\":" + helper::json_string(image_path(entry.th32ProcessID)) + "}\n";
    }
    helper::write_stdout(out);
    return 0;
}

struct watched {
    DWORD pid;
    helper::kernel_handle process;
};

int watch(int argc, wchar_t** argv) {
    std::wstring out;
    std::wstring stop_file;
    DWORD timeout_ms = 300 * 1000;
    std::vector<watched> processes;
    std::string lines;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == L"--watch" && has_value) {
            out = argv[++i];
        } else if (arg == L"--stop-file" && has_value) {
            stop_file = argv[++i];
        } else if (arg == L"--timeout" && has_value) {
            timeout_ms = static_cast<DWORD>(_wtof(argv[++i]) * 1000.0);
        } else {
            const DWORD pid = static_cast<DWORD>(wcstoul(argv[i], nullptr, 0));
            helper::kernel_handle process(OpenProcess(watch_access, /*inherit=*/FALSE, pid));
            if (process) {
                processes.push_back({pid, std::move(process)});
            } else {
                lines += std::to_string(pid) + " gone\n";
            }
        }
    }
    if (out.empty()) {
        std::fwprintf(stderr, L"process_list: --watch FILE is required\n");
        return 2;
    }
    if (!helper::append_line(out, "watching\n" + lines)) return 1;

    const ULONGLONG start = GetTickCount64();
    while (!processes.empty()) {
        if (!stop_file.empty() && GetFileAttributesW(stop_file.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        if (GetTickCount64() - start >= timeout_ms) break;
        for (auto it = processes.begin(); it != processes.end();) {
            if (WaitForSingleObject(it->process.get(), 0) != WAIT_OBJECT_0) {
                ++it;
                continue;
            }
            DWORD exit_code = 0;
            GetExitCodeProcess(it->process.get(), &exit_code);
            helper::append_line(out, std::to_string(it->pid) + " " + std::to_string(exit_code) + "\n");
            it = processes.erase(it);
        }
        Sleep(poll_ms);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wstring(argv[1]) == L"--watch") return watch(argc, argv);
    if (argc > 1) {
        std::fwprintf(stderr, L"usage: process_list.exe [--watch FILE [--stop-file FILE] "
                              L"[--timeout SECONDS] PID ...]\n");
        return 2;
    }
    return list();
}
