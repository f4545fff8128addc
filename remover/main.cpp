#include <windows.h>

#include "remover/run/driver.hpp"
#include "replay/system_function.hpp"

namespace {

// Libraries loaded by name come from System32 only, never from the current
// directory or PATH: the program runs elevated, often from a download
// folder. Bound at run time: systems before Windows 8 without the update
// that adds it at least take the current directory out of the search.
void restrict_library_search() {
    using set_default_dll_directories = BOOL(WINAPI*)(DWORD);
    using set_dll_directory = BOOL(WINAPI*)(LPCWSTR);
    const auto function =
        replay::system_function<set_default_dll_directories>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (function != nullptr && function(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    const auto fallback = replay::system_function<set_dll_directory>(L"kernel32.dll", "SetDllDirectoryW");
    if (fallback != nullptr) fallback(L"");
}

}  // namespace

int main() {
    restrict_library_search();
    return remover::run();
}
