#include "remover/run/startup_checks.hpp"

#include "remover/common/headings.hpp"
#include "replay/format.hpp"
#include "replay/account.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"

namespace remover {

int IsRunAsAdministrator(const std::wstring& title) {
    step_heading(replay::wformat(L"**** Check if %s runs as Administrator ****", title.c_str()));

    replay::token_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        const DWORD error = GetLastError();
        replay::log::error("Function IsRunAsAdministrator - OpenProcessToken Error %d", static_cast<int>(error));
        return -1;
    }

    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            replay::log::error("Function IsRunAsAdministrator - GetTokenInformation Error %d",
                               static_cast<int>(error));
            return -1;
        }
    }

    replay::global_memory_handle buffer(GlobalAlloc(GPTR, size));
    if (!buffer) {
        const DWORD error = GetLastError();
        replay::log::error("Function IsRunAsAdministrator - GetTokenInformation Error %d", static_cast<int>(error));
        return -1;
    }
    auto* groups = static_cast<TOKEN_GROUPS*>(static_cast<void*>(buffer.get()));
    if (!GetTokenInformation(token.get(), TokenGroups, groups, size, &size)) {
        const DWORD error = GetLastError();
        replay::log::error("Function IsRunAsAdministrator - GetTokenInformation Error %d", static_cast<int>(error));
        return -1;
    }

    const replay::sid_handle administrators = replay::administrators_sid();
    if (!administrators) {
        const DWORD error = GetLastError();
        replay::log::error("Function IsRunAsAdministrator - AllocateAndInitializeSid Error %d",
                           static_cast<int>(error));
        return -1;
    }

    // Membership alone counts: a group held only for deny (a filtered token)
    // still makes the user an administrator who can elevate.
    bool member = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(administrators.get(), groups->Groups[i].Sid)) member = true;
    }

    if (!member) {
        replay::log::message("You must be an Administrator to launch this application");
        replay::log::message(separator_line);
        return 0;
    }
    separator();
    return 1;
}

}  // namespace remover
