#pragma once
// Whether the elevated run may start a program whose folder it read from the
// registry: not through a link, and not from a folder that others may write
// (they could have put their own program there).
#include <windows.h>

#include <string>

namespace remover {

// Whether the program file may be started elevated: neither the file nor any
// folder above it is a link (check_links, as for deletions), and its folder
// grants write rights to nobody but Administrators, SYSTEM,
// TrustedInstaller and the running account (trust.hpp). A file that does not
// exist is left to the start, which fails as for any missing program.
// Otherwise logs
// "Program not started: "<file>": <reason>" once and returns false.
bool may_start_program(const std::wstring& file);

}  // namespace remover
