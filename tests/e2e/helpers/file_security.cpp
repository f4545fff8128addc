// file_security: reads or sets the owner and access list of a file or folder.
//
//   file_security.exe get PATH        prints "O:...D:..." (SDDL, with P when
//                                     the access list is protected)
//   file_security.exe set PATH SDDL   sets owner and access list (protected
//                                     when the SDDL says P)
// Exits with 0 when done, else with the Windows error.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

int get(const wchar_t* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return static_cast<int>(error);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
        error = GetLastError();
        LocalFree(descriptor);
        return static_cast<int>(error);
    }
    std::printf("%ls\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
}

int set(const wchar_t* path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<int>(GetLastError());
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION how =
        parts | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT, how, owner, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return static_cast<int>(error);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"get") == 0) return get(argv[2]);
    if (argc == 4 && std::wcscmp(argv[1], L"set") == 0) return set(argv[2], argv[3]);
    return ERROR_INVALID_PARAMETER;
}
