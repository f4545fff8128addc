// tray: stands in for the maker's common tray (planted as VexarsTray.exe).
//
//   tray.exe          keeps running until a copy started with "/quit" asks it
//                     to end, unless C:\e2e\tray_ignores_quit exists, in which
//                     case it keeps running until it is terminated
//   tray.exe /quit    asks the running copy to end, records the request and
//                     the folder it was started in ("/quit|C:\...") in
//                     C:\e2e\tray_calls.txt and exits with 0
#include <windows.h>

#include <cwchar>
#include <string>

#include "helper_output.hpp"

namespace {

constexpr wchar_t quit_event[] = L"ZENQOTestTrayQuit";

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"/quit") == 0) {
        CreateDirectoryW(L"C:\\e2e", nullptr);
        wchar_t folder[MAX_PATH] = {};
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
        const std::wstring cwd = length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
        helper::append_line(L"C:\\e2e\\tray_calls.txt", "/quit|" + helper::to_utf8(cwd) + "\n");
        if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, quit_event)) {
            SetEvent(event);
            CloseHandle(event);
        }
        return 0;
    }
    HANDLE event = CreateEventW(nullptr, /*manual_reset=*/FALSE, /*initial_state=*/FALSE, quit_event);
    for (;;) {
        WaitForSingleObject(event, INFINITE);
        if (GetFileAttributesW(L"C:\\e2e\\tray_ignores_quit") == INVALID_FILE_ATTRIBUTES) return 0;
    }
}
