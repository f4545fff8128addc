#pragma once
// Where the predefined roots HKEY_CLASSES_ROOT and HKEY_CURRENT_USER lie
// within the hives that HKEY_LOCAL_MACHINE and HKEY_USERS show, told by the
// names the system gives their keys: a search that reads each key once
// meets them there. What the system does not tell counts as "elsewhere".
#include <windows.h>

#include <string>
#include <utility>

namespace remover {

// Whether HKEY_CLASSES_ROOT lists the machine's classes (`machine_classes`,
// below HKEY_LOCAL_MACHINE) alone. Windows merges the running user's classes
// into it; a system that does not (Wine) shows none of the user's own. Told
// by the first user's class, of the first few, that the machine lacks: shown
// or not. Without such a class, no.
bool machine_classes_alone(const std::wstring& machine_classes, REGSAM view);

// Where the walk from the root `start` (spelled `path`) meets the key behind
// the root `inner`, told by the system's names of both: that path and name,
// or empty ones where it lies elsewhere or a name is not given.
std::pair<std::wstring, std::wstring> place_below(HKEY start, REGSAM view, const std::wstring& path, HKEY inner);

}  // namespace remover
