// reg_link: plants registry keys that regedit cannot make.
//
//   reg_link.exe HKLM|HKCU <path of the link below the root> <kernel name of the target>
//   reg_link.exe key HKCU|HKLM <path> [<value name> <text>]
//
// The first form makes a registry link, e.g.
//   reg_link.exe HKLM Software\Vexars\ZENQO\Shared \Registry\Machine\Software\VictimVendor
// The second creates the key <path> (every missing level) and, when given, a
// REG_SZ value in it; %XX in the path stands for the character of that
// hexadecimal code, so that names may hold line breaks (%0D%0A).
// Exits with 0 when done, else with the Windows error.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

std::wstring unescape(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (p[0] == L'%' && std::iswxdigit(p[1]) && std::iswxdigit(p[2])) {
            const wchar_t digits[3] = {p[1], p[2], L'\0'};
            out += static_cast<wchar_t>(std::wcstoul(digits, nullptr, 16));
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

int make_key(int argc, wchar_t** argv) {
    if ((argc != 4 && argc != 6) || (std::wcscmp(argv[2], L"HKCU") != 0 && std::wcscmp(argv[2], L"HKLM") != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const HKEY root = std::wcscmp(argv[2], L"HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY made = nullptr;
    LSTATUS result = RegCreateKeyExW(root, unescape(argv[3]).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &made, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<int>(result);
    if (argc == 6) {
        const DWORD size = static_cast<DWORD>((std::wcslen(argv[5]) + 1) * sizeof(wchar_t));
        result = RegSetValueExW(made, argv[4], 0, REG_SZ, reinterpret_cast<const BYTE*>(argv[5]), size);
    }
    RegCloseKey(made);
    return static_cast<int>(result);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"key") == 0) return make_key(argc, argv);
    if (argc != 4 || (std::wcscmp(argv[1], L"HKLM") != 0 && std::wcscmp(argv[1], L"HKCU") != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const HKEY root = std::wcscmp(argv[1], L"HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY link = nullptr;
    LSTATUS result = RegCreateKeyExW(root, argv[2], 0, nullptr,
                                     REG_OPTION_CREATE_LINK | REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<int>(result);
    const DWORD size = static_cast<DWORD>(std::wcslen(argv[3]) * sizeof(wchar_t));
    result = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(argv[3]), size);
    RegCloseKey(link);
    return static_cast<int>(result);
}
