#include "remover/common/windows_version.hpp"

#include "replay/format.hpp"
#include "replay/system_function.hpp"

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

bool is_windows_2000() {
    const OSVERSIONINFOA info = os_version();
    return info.dwMajorVersion == 5 && info.dwMinorVersion == 0 &&
           info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool running_under_wow64() {
    using is_wow64_function = BOOL(WINAPI*)(HANDLE, PBOOL);
    static const bool wow64 = [] {
        const auto function = replay::system_function<is_wow64_function>(L"kernel32", "IsWow64Process");
        BOOL result = FALSE;
        return function != nullptr && function(GetCurrentProcess(), &result) && result;
    }();
    return wow64;
}

}  // namespace remover
