// record_call: stands in for a program of the product that the remover
// starts (UI.exe with "-close", the product's executable with "-syncremove"
// and "-uninstall"). It appends one JSON line saying how it was started to
// the calls file and exits with 0 at once:
//
//   {"exe":"C:\\...\\UI.exe","args":["-close"],"cmdline":"...","cwd":"C:\\...","pid":292,
//    "created":134087218771234567}
//
// "created" is the process's creation time (100 ns units since 1601): the
// programs run concurrently and may finish writing in any order, but they are
// created in the order in which they were started.
//
// The calls file is C:\e2e\calls.jsonl, in the harness's own folder: the
// programs are planted in folders that the remover deletes, so nothing is
// kept beside them. tests/e2e/harness.py (CALLS_FILE) names the same path.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "helper_output.hpp"

namespace {

constexpr wchar_t calls_file[] = L"C:\\e2e\\calls.jsonl";
constexpr DWORD path_chars = 32768;

std::wstring module_path() {
    std::wstring path(path_chars, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), path_chars);
    path.resize(length);
    return path;
}

std::wstring current_directory() {
    std::wstring path(path_chars, L'\0');
    const DWORD length = GetCurrentDirectoryW(path_chars, path.data());
    path.resize(length < path_chars ? length : 0);
    return path;
}

// The creation time of this process, as one number.
unsigned long long creation_time() {
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

int wmain() {
    const wchar_t* command_line = GetCommandLineW();
    std::string args = "[";
    int count = 0;
    // Parsed again from the raw command line, as the started program would.
    if (wchar_t** argv = CommandLineToArgvW(command_line, &count)) {
        for (int i = 1; i < count; ++i) {
            if (i > 1) args += ',';
            args += helper::json_string(argv[i]);
        }
        LocalFree(argv);
    }
    args += "]";
    const std::string line = "{\"exe\":" + helper::json_string(module_path()) + ",\"args\":" + args +
                             ",\"cmdline\":" + helper::json_string(command_line) +
                             ",\"cwd\":" + helper::json_string(current_directory()) +
                             ",\"pid\":" + std::to_string(GetCurrentProcessId()) +
                             ",\"created\":" + std::to_string(creation_time()) + "}\n";
    CreateDirectoryW(L"C:\\e2e", nullptr);
    return helper::append_line(calls_file, line) ? 0 : 1;
}
