// show_box: shows one message box and reports the answer, so that the
// end-to-end harness can check its box answerer without the program under
// test.
//
//   show_box.exe CAPTION TEXT [STYLE]
//
// STYLE is the MessageBox style as a number (decimal or 0x...), MB_OK by
// default. Prints "answer N" (or "failed E" with the error code) and exits
// with the answer, 0 when MessageBoxW failed.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: show_box.exe CAPTION TEXT [STYLE]\n");
        return 0;
    }
    const UINT style = argc > 3 ? static_cast<UINT>(wcstoul(argv[3], nullptr, 0)) : MB_OK;
    const int answer = MessageBoxW(nullptr, argv[2], argv[1], style);
    if (answer == 0) {
        const DWORD error = GetLastError();
        std::printf("failed %lu\n", error);
    } else {
        std::printf("answer %d\n", answer);
    }
    std::fflush(stdout);
    return answer;
}
