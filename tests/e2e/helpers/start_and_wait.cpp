// start_and_wait: starts a program as its child and waits for it, so that a
// test can have the remover started by a process with a name of the
// product's (the helper is copied as Zentrivo.exe).
//
//   start_and_wait.exe --report FILE [--hidden-station] PROGRAM [ARGUMENT ...]
//
// The child gets this process's console, standard handles and current
// directory. With --hidden-station it runs on the desktop "Default" of a new
// window station created without WSF_VISIBLE, as deployment tools start
// programs in a session nobody sees; FILE first gets "station FLAGS" with
// the station's UOI_FLAGS. FILE receives "started PID" once the child runs and
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

// Creates a window station without WSF_VISIBLE and its desktop "Default";
// returns the desktop's full name, or "" after reporting the failure.
std::wstring hidden_desktop(const std::wstring& report) {
    const wchar_t station_name[] = L"ZenqoHidden";
    const HWINSTA station = CreateWindowStationW(station_name, 0, WINSTA_ALL_ACCESS, nullptr);
    const HWINSTA own = GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed) ||
        !SetProcessWindowStation(station)) {
        helper::append_line(report, "failed station " + std::to_string(GetLastError()) + "\n");
        return {};
    }
    // A desktop is created in the process's own station.
    const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    const DWORD error = GetLastError();
    SetProcessWindowStation(own);
    if (!desktop) {
        helper::append_line(report, "failed desktop " + std::to_string(error) + "\n");
        return {};
    }
    // Both stay open until this helper ends, after the child.
    helper::append_line(report, "station " + std::to_string(flags.dwFlags) + "\n");
    return std::wstring(station_name) + L"\\Default";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || std::wstring(argv[1]) != L"--report") {
        std::fwprintf(stderr,
                      L"usage: start_and_wait.exe --report FILE [--hidden-station] PROGRAM [ARGUMENT ...]\n");
        return 2;
    }
    const std::wstring report = argv[2];
    int first = 3;
    std::wstring desktop;
    if (std::wstring(argv[3]) == L"--hidden-station") {
        if (argc < 5) return 2;
        desktop = hidden_desktop(report);
        if (desktop.empty()) return 3;
        first = 4;
    }
    std::wstring command_line;
    for (int i = first; i < argc; ++i) {
        if (i > first) command_line += L' ';
        command_line += quote(argv[i]);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!desktop.empty()) startup.lpDesktop = desktop.data();
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(argv[first], command_line.data(), nullptr, nullptr, /*inherit_handles=*/TRUE,
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
