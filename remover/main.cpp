#include <windows.h>

#include "remover/driver.hpp"
#if defined(ZENQO_TESTS_BUILD)
#include "remover/forced_removal.hpp"
#include "remover/trust.hpp"
#endif
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

#if defined(ZENQO_TESTS_BUILD)
// The tests' build only: Wine reports every file and folder as owned by the
// running account whatever is set, so a deletion at the next restart is
// judged there by the folders' access lists alone (which Wine builds from
// the Unix mode). The shipped program also requires an administrator owner.
std::string access_list_refusal(const std::wstring& folder) {
    return remover::path_refusal(folder, remover::writers::administrators, /*check_owner=*/false);
}
#endif

}  // namespace

int main() {
    restrict_library_search();
#if defined(ZENQO_TESTS_BUILD)
    remover::restart_test_seams().folder_refusal = access_list_refusal;
#endif
    return remover::run();
}
