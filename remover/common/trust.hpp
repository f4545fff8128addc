#pragma once
// Who may change a folder or file, read from its security descriptor. The
// elevated run trusts a place (to start a program from it, load a library
// from it, queue a deletion in it, keep a backup in it) only when nobody but
// the machine's administrators can change what it holds; every such decision
// goes through this one unit.
#include <windows.h>

#include <string>
#include <vector>

#include "replay/account.hpp"
#include "replay/handle.hpp"

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

// The process token's user (TOKEN_USER); empty when it cannot be read.
using replay::running_account;

// Why the object with this descriptor is open to other writers: the text
// names the first access-allowed entry that lets anyone but the accounts of
// `who` write ("S-1-5-32-545 may write to the folder"), or says that it has
// no access list. Empty when nobody else may write. `runner` is the running
// account (may be null); it counts only with writers::administrators_and_runner.
// Inherit-only entries and denying entries are ignored (the latter can only
// refuse more). Raises nothing.
// `object` names what the descriptor guards in the text ("the folder", "the
// file").
std::string write_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner,
                          const char* object = "the folder");

// Why the owner of this descriptor is not trusted: an owner may change the
// access list whatever it says, so only Administrators, SYSTEM and
// TrustedInstaller pass ("its owner S-1-5-21-...-1001 is not an
// administrator"). Empty when the owner passes. Raises nothing.
// `also` (may be null) is one more owner that passes: see
// only_owner_shown.
std::string owner_refusal(PSECURITY_DESCRIPTOR descriptor, PSID also = nullptr);

// Whether the system shows every file of the running account as owned by
// that account and cannot store another owner: Wine, which builds each
// file's descriptor from its Unix owner (the running account, or ANONYMOUS
// LOGON for another Unix user's file) and has no other Windows accounts that
// could have made a file. There the running account passes the owner checks
// by path; on Windows only administrator accounts do.
bool only_owner_shown();

// Why a program must not be started elevated, from the descriptors of its
// folder and of the program file (null when the file does not exist): each
// must let nobody but the accounts of writers::administrators_and_runner
// write, and each must be owned by Administrators, SYSTEM or TrustedInstaller
// (whoever owns it may open it to anyone). The folder is checked whether or
// not the file exists. "the folder: ..." or "the file: ..." with the reason;
// empty when both pass.
// `owner` (may be null) is one more owner that passes (owner_refusal's `also`).
std::string program_refusal(PSECURITY_DESCRIPTOR folder, PSECURITY_DESCRIPTOR file, PSID runner,
                            PSID owner = nullptr);

// The owner check alone on an existing file or folder, read by path: why its
// owner is not trusted, also when it cannot be read; empty when it passes.
// What an installer writes is owned by an administrator account; a file
// anyone dropped is owned by its creator.
std::string owner_refusal(const std::wstring& path);

// The descriptor parts (owner, access list) of a file or folder by path, or
// null with the Windows error. The caller checks the path for links first.
struct descriptor_read {
    replay::local_memory_handle descriptor;
    DWORD error = 0;
};
descriptor_read read_descriptor(const std::wstring& path, SECURITY_INFORMATION parts);

// The user SID of running_account()'s result; null when it is empty.
using replay::account_sid;

// Both checks on one descriptor: write_refusal, then owner_refusal when
// check_owner is set. Empty when it passes. Raises nothing.
std::string descriptor_refusal(PSECURITY_DESCRIPTOR descriptor, writers who, PSID runner, bool check_owner);

// The same two checks on an existing file or folder, read by path
// (GetNamedSecurityInfoW); the running account passes the owner check
// where only_owner_shown. The caller checks the path for links first. Empty
// when it passes; otherwise why not, also when the descriptor cannot be read.
std::string path_refusal(const std::wstring& path, writers who, bool check_owner);

}  // namespace remover
