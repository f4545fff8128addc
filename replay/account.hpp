#pragma once
// The account the process runs as, read from its token once for every caller
// that needs it (the trust checks, the name of HKEY_CURRENT_USER's hive), and
// the well-known accounts it is compared with.
#include <windows.h>

#include <vector>

#include "replay/handle.hpp"

namespace replay {

// The process token's TOKEN_USER structure, with the SID it points to in the
// same buffer; empty when the token cannot be read.
std::vector<BYTE> running_account();

// The SID in running_account()'s result; null when it is empty.
PSID account_sid(const std::vector<BYTE>& user);

// A SID of the NT authority with one or two subauthorities (Windows 2000 has
// no CreateWellKnownSid); empty when it cannot be made, with the last error
// set.
sid_handle nt_authority_sid(DWORD first, DWORD second, BYTE count);

// BUILTIN\Administrators.
sid_handle administrators_sid();

}  // namespace replay
