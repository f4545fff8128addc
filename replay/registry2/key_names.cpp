#include "replay/registry2/key_names.hpp"

#include <sddl.h>

#include <cstring>
#include <vector>

#include "replay/account.hpp"
#include "replay/handle.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/names.hpp"

namespace replay::registry2 {

namespace {

// KEY_NAME_INFORMATION of NtQueryKey: the key's name in the system's own
// namespace (\REGISTRY\MACHINE\...), after any view redirection.
constexpr int key_name_information = 3;
constexpr LONG status_buffer_overflow = static_cast<LONG>(0x80000005);
constexpr LONG status_buffer_too_small = static_cast<LONG>(0xC0000023);

// Whether text begins with the key name head: the whole name, or followed by
// a backslash.
bool starts_with_key(const std::wstring& text, const std::wstring& head) {
    return unicode::starts_with_name(text, head) && (text.size() == head.size() || text[head.size()] == L'\\');
}

std::wstring system_key_name(HKEY key) {
    using nt_query_key = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = system_function<nt_query_key>(L"ntdll.dll", "NtQueryKey");
    if (query == nullptr) return std::wstring();
    std::vector<BYTE> buffer(1024);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(key, key_name_information, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if ((status == status_buffer_overflow || status == status_buffer_too_small) && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        if (status != 0) return std::wstring();
        ULONG length = 0;
        std::memcpy(&length, buffer.data(), sizeof length);
        return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof length), length / sizeof(wchar_t));
    }
    return std::wstring();
}

// The running user's SID as text; the hive of HKEY_CURRENT_USER bears it.
const std::wstring& user_sid() {
    static const std::wstring sid = [] {
        const std::vector<BYTE> user = running_account();
        wchar_t* text = nullptr;
        if (user.empty() || !ConvertSidToStringSidW(account_sid(user), &text)) return std::wstring();
        const local_memory_handle owner(text);
        return std::wstring(text);
    }();
    return sid;
}

// The system's name of a key, also of a predefined handle.
std::wstring own_name(HKEY key) {
    std::wstring name = system_key_name(key);
    if (name.empty()) {
        // A predefined handle has no name of its own: open the key behind it.
        unique_hkey opened;
        if (RegOpenKeyExW(key, nullptr, 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS) return std::wstring();
        name = system_key_name(opened.get());
    }
    return name;
}

}  // namespace

hive_kind key_hive(HKEY key, std::wstring& user) {
    user.clear();
    const std::wstring name = own_name(key);
    const std::wstring users = L"\\REGISTRY\\USER\\";
    if (starts_with_key(name, L"\\REGISTRY\\MACHINE")) return hive_kind::machine;
    if (name.size() <= users.size() || !unicode::starts_with_name(name, users)) return hive_kind::unknown;
    std::wstring hive = name.substr(users.size(), name.find(L'\\', users.size()) - users.size());
    const std::wstring classes = L"_Classes";
    if (hive.size() > classes.size() &&
        unicode::compare_names(hive.substr(hive.size() - classes.size()), classes) == 0) {
        hive.resize(hive.size() - classes.size());
    }
    user = hive;
    return hive_kind::user;
}

std::wstring system_name(HKEY key) { return own_name(key); }

std::wstring running_user_sid() { return user_sid(); }

std::wstring full_key_name(HKEY key) {
    const std::wstring name = own_name(key);
    const std::wstring machine = L"\\REGISTRY\\MACHINE";
    const std::wstring users = L"\\REGISTRY\\USER";
    const std::wstring user = users + L"\\" + user_sid();
    const std::wstring user_classes = user + L"_Classes";
    if (starts_with_key(name, machine)) return L"HKEY_LOCAL_MACHINE" + name.substr(machine.size());
    if (!user_sid().empty() && starts_with_key(name, user_classes)) {
        return L"HKEY_CURRENT_USER\\Software\\Classes" + name.substr(user_classes.size());
    }
    if (!user_sid().empty() && starts_with_key(name, user)) return L"HKEY_CURRENT_USER" + name.substr(user.size());
    if (starts_with_key(name, users)) return L"HKEY_USERS" + name.substr(users.size());
    return std::wstring();
}

}  // namespace replay::registry2
