#include "remover/startup_checks.hpp"

#include "remover/headings.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"

namespace remover {

namespace {
constexpr DWORD os_version_info_size = 148;
static_assert(sizeof(OSVERSIONINFOA) == os_version_info_size);
constexpr DWORD os_version_info_ex_size = 156;
static_assert(sizeof(OSVERSIONINFOEXA) == os_version_info_ex_size);
}  // namespace

std::string describe_os_version(const OSVERSIONINFOEXA& info) {
    const bool workstation = info.wProductType == VER_NT_WORKSTATION;
    const char* name = nullptr;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 0) {
        name = "Windows 2000 ";
    } else if (info.dwMajorVersion == 5 && (info.dwMinorVersion == 1 || info.dwMinorVersion == 2)) {
        name = workstation ? "Windows XP " : "Windows Server 2003 ";
    } else if (info.dwMajorVersion == 6 && info.dwMinorVersion == 0) {
        name = workstation ? "Windows Vista " : "Windows Server 2008 ";
    } else if (info.dwMajorVersion == 6 && info.dwMinorVersion == 1) {
        name = workstation ? "Windows 7 " : "Windows Server 2008 R2 ";
    }
    if (name == nullptr) {
        return replay::format("OS: majorv=%u minorv=%u", static_cast<unsigned>(info.dwMajorVersion),
                              static_cast<unsigned>(info.dwMinorVersion));
    }
    return std::string(name) + info.szCSDVersion;
}

OSVERSIONINFOA os_version() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = os_version_info_size;
    if (!GetVersionExA(&info)) return OSVERSIONINFOA{};
    return info;
}

std::string describe_os_version() {
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = os_version_info_ex_size;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
        const DWORD error = GetLastError();
        return replay::format("Unable to GetVersion info. Error: %d", static_cast<int>(error));
    }
    return describe_os_version(info);
}

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

    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    replay::sid_handle administrators;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                  0, 0, 0, 0, 0, 0, administrators.put())) {
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
