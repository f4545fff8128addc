// set_descriptor: gives a file or folder the owner and access list of an
// SDDL text, as an administrator would with icacls, and prints what the
// system gives back (owner and access list in SDDL) so that a test can check
// that the descriptor took.
//
//   set_descriptor.exe PATH SDDL
//
// The access list is set protected: nothing is inherited from the parent.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    PSECURITY_DESCRIPTOR wanted = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, &wanted, nullptr)) return 3;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(wanted, &owner, &defaulted);
    GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted);
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                       PROTECTED_DACL_SECURITY_INFORMATION;
    const DWORD error = SetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, parts, owner, nullptr, dacl, nullptr);
    LocalFree(wanted);
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "SetNamedSecurityInfoW: %lu\n", error);
        return 4;
    }
    PSECURITY_DESCRIPTOR read = nullptr;
    if (GetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &read) != ERROR_SUCCESS) {
        return 5;
    }
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            read, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return 6;
    }
    std::printf("%ls\n", text);
    LocalFree(text);
    LocalFree(read);
    return 0;
}
