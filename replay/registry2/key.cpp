#include "replay/registry2/key.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>
#include <utility>
#include <vector>

#include "replay/registry2/backup.hpp"
#include "replay/registry2/links.hpp"
#include "replay/system_function.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::registry2 {

namespace {

std::atomic<std::uint64_t> calls_made{0};

constexpr char open_handle_failed[] = "RegOpenKeyEx() failed: handle %i (%i)";
constexpr char open_key_failed[] = "RegOpenKeyEx() failed: key \"%s\" (%i)";
constexpr char create_key_failed[] = "RegCreateKeyEx() failed: key \"%s\" (%i)";
constexpr char delete_key_failed[] = "RegDeleteKey() failed: key \"%s\" (%i)";
constexpr char value_not_found[] = "Not found: value \"%s\"";
constexpr char type_differs[] = "Type mismatch: value \"%s\" expected %i found %i";
constexpr char size_differs[] = "Size mismatch: value \"%s\" expected %i found %i";
constexpr char query_value_failed[] = "RegQueryValueEx() failed: value \"%s\" (%i)";
constexpr char set_value_failed[] = "RegSetValueEx() failed: value \"%s\" (%i)";
constexpr char delete_value_failed[] = "RegDeleteValue() failed: value \"%s\" (%i)";
constexpr char enum_values_failed[] = "RegEnumValue() failed: handle %i (%i)";
constexpr char enum_keys_failed[] = "RegEnumKeyEx() failed: handle %i (%i)";

// First result buffer for expanding REG_EXPAND_SZ text, in characters.
constexpr DWORD expand_buffer_chars = 32768;
// The environment may change between a call that asks for more room and the
// next one; give up after a few rounds rather than loop.
constexpr int expand_attempts = 4;

// Names in messages are in the ANSI code page, converted strictly.
std::string ansi_name(const std::wstring& name) {
    return unicode::to_narrow(name, unicode::ansi, /*strict=*/true);
}

// Handles appear in messages as signed 32-bit numbers, so that
// HKEY_LOCAL_MACHINE shows as -2147483646 in both builds.
int handle_number(HKEY handle) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
}

template <typename Error, typename... Numbers>
[[noreturn]] void raise(const char* format, const std::wstring& name, Numbers... numbers) {
    throw Error(format, ansi_name(name).c_str(), static_cast<int>(numbers)...);
}

template <typename Error>
void throw_if_failed(LSTATUS result, const char* format, const std::wstring& name) {
    if (result != ERROR_SUCCESS) raise<Error>(format, name, result);
}

template <typename Error>
void throw_if_failed(LSTATUS result, const char* format, HKEY handle) {
    if (result != ERROR_SUCCESS) throw Error(format, handle_number(handle), static_cast<int>(result));
}

// Read and write access first; read-only access when that is refused.
LSTATUS open_key(HKEY parent, const wchar_t* name, unique_hkey& opened, REGSAM view = 0, DWORD options = 0) {
    calls_made.fetch_add(1, std::memory_order_relaxed);
    LSTATUS result = RegOpenKeyExW(parent, name, options, read_write | view, opened.put());
    if (result == ERROR_ACCESS_DENIED) {
        calls_made.fetch_add(1, std::memory_order_relaxed);
        result = RegOpenKeyExW(parent, name, options, read_only | view, opened.put());
    }
    return result;
}

// The expanded text, or `text` itself when the expansion fails.
std::wstring expand(const std::wstring& text) {
    DWORD capacity = expand_buffer_chars;
    for (int attempt = 0; attempt < expand_attempts; ++attempt) {
        std::vector<wchar_t> buffer(capacity);
        // The count includes the terminator; a count above the capacity is
        // the room the result needs, and nothing of it is in the buffer.
        const DWORD count = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), capacity);
        if (count == 0) break;
        if (count > capacity) {
            capacity = count;
            continue;
        }
        // A result that the system cut short at its own length limit has its
        // terminator earlier than the count says; do not pass it off as text.
        if (wcsnlen(buffer.data(), capacity) != count - 1) break;
        return std::wstring(buffer.data(), count - 1);
    }
    return text;
}

// The longest subkey name (`values` false) or value name (`values` true) of
// the key, in characters, from RegQueryInfoKeyW; 0 when it does not tell.
DWORD longest_name(HKEY handle, bool values) {
    DWORD subkey_chars = 0;
    DWORD value_chars = 0;
    calls_made.fetch_add(1, std::memory_order_relaxed);
    if (RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, &subkey_chars, nullptr, nullptr, &value_chars,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return 0;
    }
    return values ? value_chars : subkey_chars;
}

// Names longer than the system's own limits do not exist: a buffer that
// still does not hold one after growing to these ends the listing.
constexpr DWORD longest_value_name = 16383;
// A name that grew since the key was asked: asked again at most this often.
constexpr int listing_attempts = 4;

// Calls `enumerate(index, buffer, &length)` for index 0, 1, ... until
// ERROR_NO_MORE_ITEMS and collects the names. The buffer is sized from the
// key's own longest name and grown when a name added meanwhile does not fit.
template <typename Enumerate>
std::set<std::wstring> enumerate_names(HKEY handle, const char* failure, bool values, Enumerate enumerate) {
    std::set<std::wstring> names;
    std::vector<wchar_t> buffer(std::max(longest_name(handle, values), max_name_length) + 1);
    int attempts = 0;
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        calls_made.fetch_add(1, std::memory_order_relaxed);
        const LSTATUS result = enumerate(index, buffer.data(), &length);
        if (result == ERROR_NO_MORE_ITEMS) return names;
        if (result == ERROR_MORE_DATA && ++attempts < listing_attempts && buffer.size() <= longest_value_name) {
            const DWORD wanted = std::max(longest_name(handle, values) + 1, static_cast<DWORD>(buffer.size()) * 2);
            buffer.resize(std::min<DWORD>(wanted, longest_value_name + 1));
            continue;
        }
        throw_if_failed<key_error>(result, failure, handle);
        const DWORD size = static_cast<DWORD>(buffer.size());
        std::wstring name(buffer.data(), std::min(length, size));
        if (!name.empty() && name.back() == L'\0') name.pop_back();
        names.insert(std::move(name));
        attempts = 0;
        ++index;
    }
}

}  // namespace

key::key(HKEY handle, REGSAM view) : view_(view) {
    throw_if_failed<key_error>(open_key(handle, /*name=*/nullptr, handle_, view_), open_handle_failed, handle);
}

// Reopened in the view it was reached in: without the flag a 32-bit program
// may get the other view's key of the same name.
key::key(const key& other) : view_(other.view_) {
    throw_if_failed<key_error>(open_key(other.handle(), L"", handle_, view_), open_handle_failed,
                               other.handle());
}

key::key(key&& other) noexcept : handle_(std::move(other.handle_)), view_(other.view_) {}

key::key(const key& parent, const std::wstring& name, bool create, REGSAM view_flags, DWORD options)
    : view_(parent.view_ | view_flags) {
    const REGSAM view = view_;
    if (create) {
        calls_made.fetch_add(1, std::memory_order_relaxed);
        DWORD disposition = 0;
        const LSTATUS result = RegCreateKeyExW(
            parent.handle(), name.c_str(), /*reserved=*/0, /*class=*/nullptr,
            REG_OPTION_NON_VOLATILE, read_write | view, /*security=*/nullptr, handle_.put(),
            &disposition);
        throw_if_failed<key_error>(result, create_key_failed, name);
        // Nothing was there to lose; restoring means deleting it again.
        if (disposition == REG_CREATED_NEW_KEY) back_up_created_key(handle());
    } else {
        throw_if_failed<key_error>(open_key(parent.handle(), name.c_str(), handle_, view, options),
                                   open_key_failed, name);
    }
}

bool key::value_type(const std::wstring& name, DWORD& type, DWORD& size) const {
    DWORD found_type = 0;
    DWORD found_size = 0;
    const LSTATUS result = RegQueryValueExW(handle(), name.c_str(), /*reserved=*/nullptr,
                                            &found_type, /*data=*/nullptr, &found_size);
    if (result != ERROR_SUCCESS) {
        type = 0;
        size = 0;
        return false;
    }
    type = found_type;
    size = found_size;
    return true;
}

void key::check_type(const std::wstring& name, DWORD expected, DWORD found) {
    if (found == 0) raise<value_error>(value_not_found, name);
    if (found == expected) return;
    if (expected == REG_SZ && found == REG_EXPAND_SZ) return;
    raise<type_mismatch>(type_differs, name, expected, found);
}

void key::read(const std::wstring& name, void* buffer, DWORD size) const {
    DWORD found = size;
    const LSTATUS result = RegQueryValueExW(handle(), name.c_str(), /*reserved=*/nullptr,
                                            /*type=*/nullptr, static_cast<BYTE*>(buffer), &found);
    if (found != size) raise<size_mismatch>(size_differs, name, size, found);
    throw_if_failed<value_error>(result, query_value_failed, name);
}

template <>
std::wstring key::get_string<std::wstring>(const std::wstring& name) const {
    DWORD type = 0;
    DWORD size = 0;
    value_type(name, type, size);
    check_type(name, REG_SZ, type);
    // Rounded up: a value written with an odd byte count must not make the
    // read run past the buffer. Zero-filled, so the last half character is
    // completed with a zero byte.
    std::wstring text((size + 1) / 2, L'\0');
    read(name, text.data(), size);
    // Values stored with and without a terminator give the same text.
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    if (type == REG_EXPAND_SZ) return expand(text);
    return text;
}

template <>
std::string key::get_string<std::string>(const std::wstring& name) const {
    return unicode::to_narrow(get_string<std::wstring>(name), unicode::ansi, /*strict=*/true);
}

DWORD key::get_dword(const std::wstring& name) const {
    DWORD type = 0;
    DWORD size = 0;
    value_type(name, type, size);
    check_type(name, REG_DWORD, type);
    DWORD value = 0;
    read(name, &value, sizeof value);
    return value;
}

void key::set_value(const std::wstring& name, DWORD type, const void* data, DWORD size) const {
    back_up_value(handle(), name, /*deleting=*/false);
    const LSTATUS result = RegSetValueExW(handle(), name.c_str(), /*reserved=*/0, type,
                                          static_cast<const BYTE*>(data), size);
    throw_if_failed<value_error>(result, set_value_failed, name);
}

void key::set_string(const std::wstring& name, const std::wstring& text) const {
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    set_value(name, REG_SZ, text.c_str(), size);
}

void key::set_dword(const std::wstring& name, DWORD value) const {
    set_value(name, REG_DWORD, &value, sizeof value);
}

void key::delete_value(const std::wstring& name) const {
    throw_if_failed<key_error>(registry2::delete_value(handle(), name), delete_value_failed, name);
}

std::set<std::wstring> key::value_names() const {
    return enumerate_names(handle(), enum_values_failed, /*values=*/true,
                           [this](DWORD index, wchar_t* buffer, DWORD* length) {
                               return RegEnumValueW(handle(), index, buffer, length,
                                                    /*reserved=*/nullptr, /*type=*/nullptr,
                                                    /*data=*/nullptr, /*data_size=*/nullptr);
                           });
}

std::set<std::wstring> key::subkey_names() const {
    return enumerate_names(handle(), enum_keys_failed, /*values=*/false,
                           [this](DWORD index, wchar_t* buffer, DWORD* length) {
                               return RegEnumKeyExW(handle(), index, buffer, length,
                                                    /*reserved=*/nullptr, /*class=*/nullptr,
                                                    /*class_size=*/nullptr,
                                                    /*last_write=*/nullptr);
                           });
}

namespace {

// Deletes the key behind a handle opened on the link itself. RegDeleteKey
// would open the name anew and delete the target; NtDeleteKey takes the
// handle. Bound at run time: ntdll has no import library entry here.
LSTATUS delete_by_handle(HKEY handle) {
    using nt_delete_key = LONG(NTAPI*)(HANDLE);
    using nt_status_to_error = ULONG(NTAPI*)(LONG);
    static const auto remove = system_function<nt_delete_key>(L"ntdll.dll", "NtDeleteKey");
    static const auto to_error = system_function<nt_status_to_error>(L"ntdll.dll", "RtlNtStatusToDosError");
    if (remove == nullptr || to_error == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    const LONG status = remove(handle);
    return status == 0 ? ERROR_SUCCESS : static_cast<LSTATUS>(to_error(status));
}

// The access a deletion opens each key with: its subkeys listed, the link
// value read, and the key itself deleted through the same handle.
constexpr REGSAM delete_access = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | DELETE;

// The first failure of a deletion: the Windows result, the message it
// raises and the key that stayed, by its path below the deletion's parent.
struct tree_failure {
    LSTATUS result = ERROR_SUCCESS;
    const char* format = nullptr;
    std::wstring name;
};

void note_failure(tree_failure& failure, LSTATUS result, const char* format, const std::wstring& path) {
    if (failure.result == ERROR_SUCCESS) failure = {result, format, path};
}

// Below its first level for delete_key (the backup already holds the
// subtree), its only level for delete_subkey. Each key is opened once, as the
// link itself where it is one, and checked, listed and deleted through that
// handle: a key swapped for a link meanwhile goes as the link, and its target
// stays. Goes on past a key it cannot open, list or delete, depth first: its
// siblings still go, and only its ancestors stay with it. `path` is the key's
// path below the deletion's parent; the first failure is noted. Returns
// whether the key went.
bool delete_tree(HKEY parent, const std::wstring& name, const std::wstring& path, bool recursive, REGSAM view,
                 tree_failure& failure) {
    unique_hkey opened;
    calls_made.fetch_add(1, std::memory_order_relaxed);
    LSTATUS result = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, delete_access | view, opened.put());
    // A key below the first that went meanwhile is no failure.
    if (result == ERROR_FILE_NOT_FOUND && path.size() > name.size()) return true;
    if (result != ERROR_SUCCESS) {
        // A key deleted alone is reported as its deletion.
        note_failure(failure, result, recursive ? open_key_failed : delete_key_failed, path);
        return false;
    }
    if (recursive && !holds_link_value(opened.get())) {
        std::set<std::wstring> children;
        try {
            children = enumerate_names(opened.get(), enum_keys_failed, /*values=*/false,
                                       [&opened](DWORD index, wchar_t* buffer, DWORD* length) {
                                           return RegEnumKeyExW(opened.get(), index, buffer, length, nullptr,
                                                                nullptr, nullptr, nullptr);
                                       });
        } catch (const key_error&) {
            note_failure(failure, ERROR_CANTREAD, open_key_failed, path);
            return false;
        }
        bool emptied = true;
        for (const std::wstring& child : children) {
            if (!delete_tree(opened.get(), child, path + L"\\" + child, true, view, failure)) emptied = false;
        }
        // A key that keeps a subkey cannot go; its failure is the subkey's.
        if (!emptied) return false;
    }
    result = delete_by_handle(opened.get());
    if (result != ERROR_SUCCESS) {
        note_failure(failure, result, delete_key_failed, path);
        return false;
    }
    return true;
}

}  // namespace

std::uint64_t registry_calls() { return calls_made.load(std::memory_order_relaxed); }

LSTATUS delete_subkey(HKEY parent, const std::wstring& name, REGSAM view) {
    // With an empty name the open would reach the parent itself.
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    back_up_key(parent, name, view, /*recursive=*/false);
    tree_failure failure;
    delete_tree(parent, name, name, /*recursive=*/false, view, failure);
    return failure.result;
}

LSTATUS delete_value(HKEY key, const std::wstring& name) {
    back_up_value(key, name, /*deleting=*/true);
    return RegDeleteValueW(key, name.c_str());
}

void delete_key(const key& parent, const std::wstring& name, bool recursive, REGSAM view, std::wstring* stayed) {
    view |= parent.view();
    // With an empty name Windows deletes the key behind the parent handle.
    if (name.empty()) raise<key_error>(delete_key_failed, name, ERROR_INVALID_PARAMETER);
    back_up_key(parent.handle(), name, view, recursive);
    tree_failure failure;
    if (!delete_tree(parent.handle(), name, name, recursive, view, failure)) {
        // A key that was not there left nothing behind.
        const bool missing = failure.result == ERROR_FILE_NOT_FOUND && failure.name == name;
        if (stayed != nullptr && !missing) *stayed = failure.name;
        raise<key_error>(failure.format, failure.name, failure.result);
    }
}

}  // namespace replay::registry2
