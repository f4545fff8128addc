#pragma once
// Which Windows this program runs on, as the system reports it to the
// program, and whether a 32-bit program runs on 64-bit Windows.
#include <windows.h>

#include <string>

namespace remover {

// "Windows XP Service Pack 3" and so on, the raw numbers for versions it has
// no name for, or "Unable to GetVersion info. Error: %d". Does not log.
std::string describe_os_version();
std::string describe_os_version(const OSVERSIONINFOEXA& info);

// The version Windows reports to this program; all zeros when it cannot say.
OSVERSIONINFOA os_version();

bool is_windows_2000();

// Whether this is a 32-bit process on 64-bit Windows (IsWow64Process, looked
// up at run time; false where it is missing).
bool running_under_wow64();

}  // namespace remover
