#pragma once
// The account the process runs as, read from its token once for every caller
// that needs it (the trust checks, the name of HKEY_CURRENT_USER's hive).
#include <windows.h>

#include <vector>

namespace replay {

// The process token's TOKEN_USER structure, with the SID it points to in the
// same buffer; empty when the token cannot be read.
std::vector<BYTE> running_account();

// The SID in running_account()'s result; null when it is empty.
PSID account_sid(const std::vector<BYTE>& user);

}  // namespace replay
