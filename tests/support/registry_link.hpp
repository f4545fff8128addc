#pragma once
// Registry links for tests: a key created with REG_OPTION_CREATE_LINK whose
// SymbolicLinkValue names another key.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay/handle.hpp"

namespace test_support {

// The kernel's name of an open key ("\REGISTRY\USER\..."), which a
// registry link's SymbolicLinkValue holds.
inline std::wstring kernel_name(HKEY handle) {
    using nt_query_key = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<nt_query_key>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    std::vector<unsigned char> buffer(4096);
    ULONG size = 0;
    constexpr int key_name_information = 3;
    if (query == nullptr || query(handle, key_name_information, buffer.data(), buffer.size(), &size) != 0) return L"";
    const ULONG length = *reinterpret_cast<ULONG*>(buffer.data());
    return std::wstring(reinterpret_cast<wchar_t*>(buffer.data() + sizeof(ULONG)), length / sizeof(wchar_t));
}

// Creates `link` below the scratch key, pointing at the key `target`.
inline void make_link(HKEY scratch, const std::wstring& link, HKEY target) {
    replay::unique_hkey made;
    ASSERT_EQ(RegCreateKeyExW(scratch, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, made.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring name = kernel_name(target);
    ASSERT_FALSE(name.empty());
    ASSERT_EQ(RegSetValueExW(made.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(name.data()), static_cast<DWORD>(name.size() * 2)),
              ERROR_SUCCESS);
}

}  // namespace test_support
