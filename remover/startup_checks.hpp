#pragma once
// What the program checks before it removes anything.
#include <windows.h>

#include <string>

namespace remover {

// "Windows XP Service Pack 3" and so on, the raw numbers for versions it has
// no name for, or "Unable to GetVersion info. Error: %d". Does not log.
std::string describe_os_version();
std::string describe_os_version(const OSVERSIONINFOEXA& info);

// The version Windows reports to this program; all zeros when it cannot say.
OSVERSIONINFOA os_version();

// 1 when the process token holds the Administrators group (its attributes are
// not looked at), 0 when not, -1 when the check failed. Logs its header and
// verdict.
int IsRunAsAdministrator(const std::wstring& title);

}  // namespace remover
