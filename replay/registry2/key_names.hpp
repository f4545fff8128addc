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

// The system's own name of an open key or predefined handle
// (\REGISTRY\MACHINE\..., \REGISTRY\USER\...), after any view redirection;
// empty when the system does not give it.
std::wstring system_name(HKEY key);

// The running account's SID as text ("S-1-5-21-...-1000"); its hive is
// HKEY_CURRENT_USER. Empty when the token cannot tell.
std::wstring running_user_sid();

// Whose hive holds an open key, from the system's own name of it (never from
// the path it was reached by: HKEY_CLASSES_ROOT merges the machine's classes
// with the user's): the machine's, or a user's, whose SID goes to `user` (a
// user's classes hive counts as that user's).
enum class hive_kind { unknown, machine, user };
hive_kind key_hive(HKEY key, std::wstring& user);

}  // namespace replay::registry2
