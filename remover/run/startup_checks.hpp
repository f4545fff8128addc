#pragma once
// What the program checks before it removes anything.
#include <windows.h>

#include <string>

namespace remover {

// 1 when the process token holds the Administrators group (its attributes are
// not looked at), 0 when not, -1 when the check failed. Logs its header and
// verdict.
int IsRunAsAdministrator(const std::wstring& title);

}  // namespace remover
