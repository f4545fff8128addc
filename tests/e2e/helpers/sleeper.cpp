// sleeper: stands in for a running program. It does nothing until another
// process ends it; the end-to-end tests copy it under the names of the
// product's programs (Zentrivo.exe, MsgSys.exe, ...) so that the remover finds
// them running.
//
//   sleeper.exe                          (no arguments; others are ignored)
//   sleeper.exe --hold-mutex NAME FILE   takes the named mutex, creates FILE
//                                        once it holds it, and keeps it
//   sleeper.exe --hold-file FILE READY STOP
//                                        opens FILE without delete sharing,
//                                        creates READY, and ends once STOP
//                                        exists (after 10 minutes at most)
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wcscmp(argv[1], L"--hold-file") == 0) {
        HANDLE held = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) return 1;
        HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE) return 1;
        CloseHandle(ready);
        for (int i = 0; i < 6000 && GetFileAttributesW(argv[4]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
        CloseHandle(held);
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"--hold-mutex") == 0) {
        HANDLE mutex = CreateMutexW(nullptr, /*initial_owner=*/FALSE, argv[2]);
        if (mutex == nullptr || WaitForSingleObject(mutex, 60000) != WAIT_OBJECT_0) return 1;
        HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE) return 1;
        CloseHandle(ready);
    }
    for (;;) Sleep(INFINITE);
}
