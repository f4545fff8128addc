#pragma once
// Registry isolation for tests: a unique scratch key per test, below a fixed
// parent key, deleted with everything in it when the test ends. Scratch keys
// of runs that crashed are swept when the next one is made.
//
// Everything here uses the raw Windows functions, so that a test of the
// registry layer does not lean on the layer itself.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "replay/handle.hpp"

namespace test_support {

// Owner of a security descriptor made by ConvertStringSecurityDescriptorToSecurityDescriptorW.
struct local_memory_traits {
    using pointer = PSECURITY_DESCRIPTOR;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { LocalFree(p); }
};
using security_descriptor = replay::unique_handle<local_memory_traits>;

// Replaces the DACL of an open key (the handle needs WRITE_DAC).
inline LSTATUS set_key_dacl(HKEY key, const wchar_t* sddl) {
    security_descriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        return static_cast<LSTATUS>(GetLastError());
    }
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.get());
}

constexpr wchar_t full_access_for_everyone[] = L"D:P(A;;KA;;;WD)";

// Gives every key of a tree full access, so that a tree that a test (or a
// crashed run) left locked can be deleted. The owner of a key may always
// change its DACL.
inline void unlock_tree(HKEY parent, const std::wstring& name, REGSAM view) {
    replay::unique_hkey key;
    if (RegOpenKeyExW(parent, name.c_str(), 0, WRITE_DAC | view, key.put()) == ERROR_SUCCESS) {
        set_key_dacl(key.get(), full_access_for_everyone);
    }
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        wchar_t child[MAX_PATH + 1];
        DWORD length = MAX_PATH + 1;
        if (RegEnumKeyExW(key.get(), index, child, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        unlock_tree(key.get(), std::wstring(child, length), view);
    }
}

inline LSTATUS delete_tree(HKEY parent, const std::wstring& name, REGSAM view) {
    unlock_tree(parent, name, view);
    replay::unique_hkey key;
    LSTATUS result = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS | view, key.put());
    if (result != ERROR_SUCCESS) return result;
    result = RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    if (result != ERROR_SUCCESS) return result;
    return RegDeleteKeyExW(parent, name.c_str(), view, 0);
}

// "<process id>-<process start time>": tells a live run's keys from stale ones.
inline std::wstring process_tag(DWORD process_id) {
    replay::process_handle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*inherit=*/FALSE, process_id));
    if (!process) return std::wstring();
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::wstring();
    const unsigned long long start =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return std::to_wstring(process_id) + L"-" + std::to_wstring(start);
}

// True when `name` (tag, "-", counter) belongs to a process that still runs.
inline bool owner_is_running(const std::wstring& name) {
    const DWORD process_id = static_cast<DWORD>(std::wcstoul(name.c_str(), nullptr, 10));
    const std::wstring tag = process_tag(process_id);
    return !tag.empty() && name.compare(0, tag.size() + 1, tag + L"-") == 0;
}

class scratch_key {
public:
    // A new key below root\parent_path, seen through `view` (0 for the
    // program's own view, or KEY_WOW64_32KEY / KEY_WOW64_64KEY).
    explicit scratch_key(HKEY root = HKEY_CURRENT_USER,
                         std::wstring parent_path = L"Software\\ZENQOUnitTests",
                         REGSAM view = 0)
        : root_(root), parent_path_(std::move(parent_path)), view_(view) {
        static unsigned counter = 0;
        name_ = process_tag(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        path_ = parent_path_ + L"\\" + name_;
        replay::unique_hkey parent;
        create_status_ = RegCreateKeyExW(root_, parent_path_.c_str(), 0, nullptr,
                                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view_, nullptr,
                                         parent.put(), nullptr);
        if (create_status_ != ERROR_SUCCESS) return;
        sweep(parent.get());
        create_status_ = RegCreateKeyExW(parent.get(), name_.c_str(), 0, nullptr,
                                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view_, nullptr,
                                         key_.put(), nullptr);
    }
    scratch_key(const scratch_key&) = delete;
    scratch_key& operator=(const scratch_key&) = delete;

    ~scratch_key() {
        key_.reset();
        replay::unique_hkey parent;
        if (RegOpenKeyExW(root_, parent_path_.c_str(), 0, KEY_ALL_ACCESS | view_, parent.put()) !=
            ERROR_SUCCESS) {
            return;
        }
        delete_tree(parent.get(), name_, view_);
        parent.reset();
        // Fails while other runs still have keys there, which is fine.
        RegDeleteKeyExW(root_, parent_path_.c_str(), view_, 0);
    }

    // ERROR_SUCCESS when the key was made; check it in SetUp.
    LSTATUS status() const { return create_status_; }
    // Open with KEY_ALL_ACCESS.
    HKEY get() const { return key_.get(); }
    HKEY root() const { return root_; }
    REGSAM view() const { return view_; }
    // From the root, without a trailing backslash.
    const std::wstring& path() const { return path_; }

private:
    void sweep(HKEY parent) {
        std::vector<std::wstring> stale;
        for (DWORD index = 0;; ++index) {
            wchar_t child[MAX_PATH + 1];
            DWORD length = MAX_PATH + 1;
            if (RegEnumKeyExW(parent, index, child, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            const std::wstring name(child, length);
            if (!owner_is_running(name)) stale.push_back(name);
        }
        for (const std::wstring& name : stale) delete_tree(parent, name, view_);
    }

    HKEY root_;
    std::wstring parent_path_;
    REGSAM view_;
    std::wstring name_;
    std::wstring path_;
    replay::unique_hkey key_;
    LSTATUS create_status_ = ERROR_SUCCESS;
};

// Gives a key another DACL for the lifetime of the object and puts the
// original one back afterwards. The handle that restores it is opened
// before the DACL changes, so it keeps its rights.
class key_dacl_override {
public:
    key_dacl_override(HKEY parent, const std::wstring& name, const wchar_t* sddl) {
        status_ = RegOpenKeyExW(parent, name.c_str(), 0, READ_CONTROL | WRITE_DAC, key_.put());
        if (status_ != ERROR_SUCCESS) return;
        DWORD size = 0;
        status_ = RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
        if (status_ != ERROR_INSUFFICIENT_BUFFER) return;
        original_.resize(size);
        status_ = RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, original_.data(), &size);
        if (status_ != ERROR_SUCCESS) return;
        status_ = set_key_dacl(key_.get(), sddl);
    }
    key_dacl_override(const key_dacl_override&) = delete;
    key_dacl_override& operator=(const key_dacl_override&) = delete;
    ~key_dacl_override() {
        if (key_ && !original_.empty()) {
            RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, original_.data());
        }
    }

    // ERROR_SUCCESS when the new DACL is in place.
    LSTATUS status() const { return status_; }

private:
    replay::unique_hkey key_;
    std::vector<BYTE> original_;
    LSTATUS status_ = ERROR_SUCCESS;
};

inline ::testing::AssertionResult key_exists(HKEY parent, const std::wstring& path,
                                             REGSAM view = 0) {
    replay::unique_hkey key;
    const LSTATUS result = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key.put());
    if (result == ERROR_SUCCESS) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "key cannot be opened (" << result << ")";
}

inline ::testing::AssertionResult key_absent(HKEY parent, const std::wstring& path,
                                             REGSAM view = 0) {
    replay::unique_hkey key;
    const LSTATUS result = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key.put());
    if (result == ERROR_FILE_NOT_FOUND) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "opening the key gives " << result << ", not 2";
}

inline ::testing::AssertionResult value_absent(HKEY key, const std::wstring& name) {
    const LSTATUS result =
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_FILE_NOT_FOUND) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "querying the value gives " << result << ", not 2";
}

// Writes a value with the raw function; the data is taken as it is, so a
// string may be stored with or without its terminator.
inline ::testing::AssertionResult raw_value_set(HKEY key, const std::wstring& name, DWORD type,
                                                const void* data, DWORD size) {
    const LSTATUS result =
        RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    if (result == ERROR_SUCCESS) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "RegSetValueExW gives " << result;
}

// The raw data of a value, or an empty vector when it cannot be read.
inline std::vector<BYTE> raw_value(HKEY key, const std::wstring& name, DWORD* type = nullptr) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key, name.c_str(), nullptr, type, data.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    data.resize(size);
    return data;
}

}  // namespace test_support
