// start_and_wait: starts a program as its child and waits for it, so that a
// test can have the remover started by a process with a name of the
// product's (the helper is copied as Zentrivo.exe).
//
//   start_and_wait.exe --report FILE PROGRAM [ARGUMENT ...]
//
// The child gets this process's console, standard handles and current
// directory. FILE receives "started PID" once the child runs and
// "exit CODE" once it has ended; the helper then exits with the child's exit
// code. A helper that is ended from outside meanwhile never writes the exit
// line, which is how a test sees that it did not survive. Exits with 2 on a
// command-line error and 3 when the child could not be started.
#include <windows.h>

#include <cstdio>
#include <string>

#include "helper_output.hpp"

namespace {

// One argument quoted for CommandLineToArgvW and the runtime's parser:
// backslashes are literal except before a double quote.
std::wstring quote(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || std::wstring(argv[1]) != L"--report") {
        std::fwprintf(stderr, L"usage: start_and_wait.exe --report FILE PROGRAM [ARGUMENT ...]\n");
        return 2;
    }
    const std::wstring report = argv[2];
    std::wstring command_line;
    for (int i = 3; i < argc; ++i) {
        if (i > 3) command_line += L' ';
        command_line += quote(argv[i]);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(argv[3], command_line.data(), nullptr, nullptr, /*inherit_handles=*/TRUE,
                        /*flags=*/0, nullptr, /*current_directory=*/nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        helper::append_line(report, "failed " + std::to_string(error) + "\n");
        return 3;
    }
    helper::kernel_handle process(started.hProcess);
    helper::kernel_handle thread(started.hThread);
    helper::append_line(report, "started " + std::to_string(started.dwProcessId) + "\n");

    WaitForSingleObject(process.get(), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    helper::append_line(report, "exit " + std::to_string(exit_code) + "\n");
    return static_cast<int>(exit_code);
}
