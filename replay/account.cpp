#include "replay/account.hpp"

namespace replay {

std::vector<BYTE> running_account() {
    token_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

PSID account_sid(const std::vector<BYTE>& user) {
    return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

sid_handle nt_authority_sid(DWORD first, DWORD second, BYTE count) {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    sid_handle sid;
    if (AllocateAndInitializeSid(&nt_authority, count, first, second, 0, 0, 0, 0, 0, 0, sid.put())) return sid;
    // Nothing was allocated, whatever the call left in the SID.
    static_cast<void>(sid.release());
    return {};
}

sid_handle administrators_sid() { return nt_authority_sid(SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2); }

}  // namespace replay
