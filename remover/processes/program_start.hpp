#pragma once
// Whether the elevated run may start a program whose folder it read from the
// registry: not through a link, and not from a folder that others may write
// (they could have put their own program there).
#include <windows.h>

#include <string>

namespace remover {

// Whether the program file may be started elevated: it lies on a local drive
// (no share or device path), neither the file nor any folder above it is a
// link (check_links, as for deletions), and its folder and the file grant
// write rights to nobody but Administrators, SYSTEM, TrustedInstaller and the
// running account and are owned by Administrators, SYSTEM or TrustedInstaller
// (trust.hpp's program_refusal). The folder is checked also when the file
// does not exist. A missing file is not started (whatever appears there
// later is not what was checked), without a log line; otherwise a refusal
// logs "Program not started: "<file>": <reason>" once. True when the program
// may be started.
bool may_start_program(const std::wstring& file);

}  // namespace remover
