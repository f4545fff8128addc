#pragma once
// Where the run keeps what an administrator acts on afterwards: the registry
// backup and the result file go into %ProgramData%\ZENQORemover\Backups\, a
// folder that only Administrators and SYSTEM can change. A folder that the
// run creates gets that descriptor in the creating call, so nobody else ever
// had a moment to write to it. ProgramData lets every user create folders, so
// a folder that already stands at either name is used only when it and its
// owner pass trust.hpp's check (nobody but Administrators, SYSTEM and
// TrustedInstaller may change it or own it). A link anywhere on the path
// refuses it.
#include <windows.h>

#include <string>

namespace remover {

// The descriptor of the folders that the run creates: owned by
// Administrators, full control for Administrators and SYSTEM, inherited by
// what they hold, nothing inherited from above.
constexpr wchar_t backup_folder_descriptor[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

struct backup_folder {
    std::wstring path;     // ends with a backslash; empty when refused
    std::string refusal;   // why not, naming the folder; empty when usable
};

// Creates or checks <common_appdata>ZENQORemover\Backups\ (common_appdata
// ends with a backslash). Raises nothing.
backup_folder prepare_backup_folder(const std::wstring& common_appdata);

// The same below the machine's ProgramData folder.
backup_folder prepare_backup_folder();

// The SHA-256 of a file in lower-case hexadecimal, read without following a
// link; empty when it cannot be read. Raises nothing.
std::string file_sha256(const std::wstring& path);

}  // namespace remover
