// key_security: reads and sets the access list of a registry key, which
// regedit cannot.
//
//   key_security.exe get HKCU|HKLM <path>         prints "O:...D:..." (owner and access list)
//   key_security.exe set HKCU|HKLM <path> <SDDL>  replaces the access list ("D:P" grants nobody anything)
//
// The key is opened as the link itself where it is one. The owner of a key may
// always read and change its access list, so a test can lock a key it planted
// and open it again afterwards. Exits with 0 when done, else with the Windows
// error.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const bool get = argc == 4 && std::wcscmp(argv[1], L"get") == 0;
    const bool set = argc == 5 && std::wcscmp(argv[1], L"set") == 0;
    if ((!get && !set) || (std::wcscmp(argv[2], L"HKCU") != 0 && std::wcscmp(argv[2], L"HKLM") != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const HKEY root = std::wcscmp(argv[2], L"HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY key = nullptr;
    LSTATUS result = RegOpenKeyExW(root, argv[3], REG_OPTION_OPEN_LINK, get ? READ_CONTROL : WRITE_DAC, &key);
    if (result != ERROR_SUCCESS) return static_cast<int>(result);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (set) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[4], SDDL_REVISION_1, &descriptor, nullptr)) {
            result = static_cast<LSTATUS>(GetLastError());
        } else {
            result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        }
    } else {
        constexpr SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        DWORD size = 0;
        result = RegGetKeySecurity(key, wanted, nullptr, &size);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            descriptor = LocalAlloc(LPTR, size);
            result = RegGetKeySecurity(key, wanted, descriptor, &size);
        }
        wchar_t* text = nullptr;
        if (result == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, wanted, &text, nullptr)) {
            std::wprintf(L"%ls\n", text);
            LocalFree(text);
        } else if (result == ERROR_SUCCESS) {
            result = static_cast<LSTATUS>(GetLastError());
        }
    }
    if (descriptor != nullptr) LocalFree(descriptor);
    RegCloseKey(key);
    return static_cast<int>(result);
}
