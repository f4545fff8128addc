#pragma once
// Redirects HKEY_LOCAL_MACHINE into a scratch key for the lifetime of the
// object, so that code working on fixed machine paths can be tested without
// touching the real hive.
#include <windows.h>

#include <string>

#include "support/scratch_key.hpp"

namespace test_support {

class machine_override {
public:
    machine_override() { status_ = RegOverridePredefKey(HKEY_LOCAL_MACHINE, hive_.get()); }
    machine_override(const machine_override&) = delete;
    machine_override& operator=(const machine_override&) = delete;
    ~machine_override() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

    LSTATUS status() const { return hive_.status() != ERROR_SUCCESS ? hive_.status() : status_; }
    // The key that stands for HKEY_LOCAL_MACHINE.
    HKEY hive() const { return hive_.get(); }

    // Creates path (below the redirected hive) and returns it open.
    replay::unique_hkey create(const std::wstring& path) const {
        replay::unique_hkey key;
        RegCreateKeyExW(hive_.get(), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr);
        return key;
    }

private:
    scratch_key hive_;
    LSTATUS status_ = ERROR_SUCCESS;
};

}  // namespace test_support
