#pragma once
// Whether the elevated run may start a program whose folder it read from the
// registry: not through a link, and not from a folder that others may write
// (they could have put their own program there).
#include <windows.h>

#include <string>

namespace remover {

// Why a program must not be started from a folder with this security
// descriptor: the text names the first access-allowed entry that lets anyone
// but Administrators, SYSTEM, TrustedInstaller, `runner` (the account that
// runs the program) or the creator placeholders write, append or create in
// the folder ("S-1-5-32-545 may write to the folder"), or says that the
// folder has no access list. Empty when nobody else may write. Entries that
// only pass on to children are ignored; denying entries are ignored too,
// which can only refuse more. Raises nothing.
std::string folder_write_refusal(PSECURITY_DESCRIPTOR descriptor, PSID runner);

// Whether the program file may be started elevated: neither the file nor any
// folder above it is a link (check_links, as for deletions), and its folder
// grants write rights to nobody but the trusted accounts
// (folder_write_refusal). A file that does not exist is left to the start,
// which fails as for any missing program. Otherwise logs
// "Program not started: "<file>": <reason>" once and returns false.
bool may_start_program(const std::wstring& file);

}  // namespace remover
