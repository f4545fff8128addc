#pragma once
// Who may change a folder or file, read from its security descriptor. The
// elevated run trusts a place (to start a program from it, load a library
// from it, queue a deletion in it, keep a backup in it) only when nobody but
// the machine's administrators can change what it holds; every such decision
// goes through this one unit.
#include <windows.h>

#include <string>
#include <vector>

namespace remover {

// Rights that let their holder put a file in a folder or replace one: create
// files (write data), create folders (append data), delete children, change
// the access list or take ownership, and the generic forms of these.
constexpr ACCESS_MASK write_rights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
static_assert(write_rights == 0x500C0046);

// Which accounts besides Administrators, SYSTEM, TrustedInstaller and the
// creator placeholders may write.
enum class writers {
    administrators,             // nobody else, not the running account either
    administrators_and_runner,  // also the account that runs the program
};

// The SID in its S-1-... form; "an unreadable account" when it cannot be
// converted.
std::string sid_text(PSID sid);

// Administrators, SYSTEM or TrustedInstaller.
bool is_administrator_account(PSID sid);

// The user SID of the process token; empty when it cannot be read.
std::vector<BYTE> running_account();

// Why the object with this descriptor is open to other writers: the text
// names the first access-allowed entry that lets anyone but the accounts of
// `who` write ("S-1-5-32-545 may write to the folder"), or says that it has
// no access list. Empty when nobody else may write. `runner` is the running
// account (may be null); it counts only with writers::administrators_and_runner.
// Inherit-only entries and denying entries are ignored (the latter can only
// refuse more). Raises nothing.
std::string write_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner);

// Why the owner of this descriptor is not trusted: an owner may change the
// access list whatever it says, so only Administrators, SYSTEM and
// TrustedInstaller pass ("its owner S-1-5-21-...-1001 is not an
// administrator"). Empty when the owner passes. Raises nothing.
std::string owner_refusal(PSECURITY_DESCRIPTOR descriptor);

// Both checks on one descriptor: write_refusal, then owner_refusal when
// check_owner is set. Empty when it passes. Raises nothing.
std::string descriptor_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner, bool check_owner);

// The same two checks on an existing file or folder, read by path
// (GetNamedSecurityInfoW). The caller checks the path for links first. Empty
// when it passes; otherwise why not, also when the descriptor cannot be read.
std::string path_refusal(const std::wstring& path, writers who, bool check_owner);

}  // namespace remover
