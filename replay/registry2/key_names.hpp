#pragma once
// Keys named as the 64-bit view spells them, from the system's own name of an
// open key, so that a name means the same place to either program.
#include <windows.h>

#include <string>

namespace replay::registry2 {

// The full name of an open key, from the system's own name of it:
// HKEY_LOCAL_MACHINE\..., HKEY_CURRENT_USER\... for the running user's hive
// (HKEY_CURRENT_USER\Software\Classes\... for its classes), HKEY_USERS\...
// for other users. Empty when the system does not give the name.
std::wstring full_key_name(HKEY key);

}  // namespace replay::registry2
