// file_security: reads or sets the owner and access list of a file or folder.
//
//   file_security.exe show PATH        prints "O:...D:..." (owner and access list as SDDL)
//   file_security.exe set PATH SDDL    sets the owner and the access list that SDDL gives
//                                      (an access list marked P is protected)
//
// Tests use it to give planted files the owner an installer would give them,
// or another account's. Exits with 0 when done, else with the Windows error.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

int show(const wchar_t* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return static_cast<int>(error);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        const DWORD failed = GetLastError();
        LocalFree(descriptor);
        return static_cast<int>(failed);
    }
    std::wprintf(L"%ls\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
}

// SeRestorePrivilege lets the owner be set to an account other than the
// caller's; SeTakeOwnershipPrivilege to one of the caller's groups.
void enable_privileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    for (const wchar_t* name : {SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
    CloseHandle(token);
}

int set(const wchar_t* path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return static_cast<int>(GetLastError());
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    SECURITY_INFORMATION parts = 0;
    if (owner != nullptr) parts |= OWNER_SECURITY_INFORMATION;
    if (present) {
        parts |= DACL_SECURITY_INFORMATION |
                 ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
    }
    enable_privileges();
    const DWORD error =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT, parts, owner, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return static_cast<int>(error);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"show") == 0) return show(argv[2]);
    if (argc == 4 && std::wcscmp(argv[1], L"set") == 0) return set(argv[2], argv[3]);
    return ERROR_INVALID_PARAMETER;
}
