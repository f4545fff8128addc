// reg_link: plants a registry link, which regedit cannot make.
//
//   reg_link.exe HKLM <path of the link below HKLM> <kernel name of the target>
//
// e.g. reg_link.exe HKLM Software\Vexars\ZENQO\Shared \Registry\Machine\Software\VictimVendor
// Exits with 0 when the link was made, else with the Windows error.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || std::wcscmp(argv[1], L"HKLM") != 0) return ERROR_INVALID_PARAMETER;
    HKEY link = nullptr;
    LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr,
                                     REG_OPTION_CREATE_LINK | REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<int>(result);
    const DWORD size = static_cast<DWORD>(std::wcslen(argv[3]) * sizeof(wchar_t));
    result = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(argv[3]), size);
    RegCloseKey(link);
    return static_cast<int>(result);
}
