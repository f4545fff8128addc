#include "remover/installer/installer_components.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay/handle.hpp"
#include "support/log_capture.hpp"
#include "support/machine_override.hpp"
#include "support/scratch_key.hpp"

namespace {

using test_support::key_absent;
using test_support::key_exists;

const std::wstring P = L"1234567890ABCDEF1234567890ABCDEF";  // the product's code
const std::wstring K_OWN = L"0000000000000000000000000000000A";
const std::wstring K_SHARED = L"0000000000000000000000000000000B";
const std::wstring K_ONE = L"0000000000000000000000000000000C";
const std::wstring K_OTHER = L"0000000000000000000000000000000F";
const std::wstring CV = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(InstallerDatabaseComponents, ComponentsOfTheSuiteAreRemovedByTheirKeyPath) {
    test_support::machine_override machine;
    ASSERT_EQ(machine.status(), ERROR_SUCCESS);
    test_support::log_capture log;
    // A component key with its key path as the value named by the product.
    const auto plant = [&](const std::wstring& path, const std::wstring& key_path) {
        const replay::unique_hkey key = machine.create(path);
        ASSERT_TRUE(key);
        if (key_path.empty()) return;
        ASSERT_EQ(RegSetValueExW(key.get(), P.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(key_path.c_str()),
                                 static_cast<DWORD>((key_path.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    };
    const std::wstring components = CV + L"\\Installer\\UserData\\S-1-5-18\\Components\\";
    plant(components + K_OWN + L"\\first", L"");
    plant(components + K_OWN, L"C:\\Program Files\\Vexars\\Suite\\VexarLauncher.exe");
    plant(components + K_SHARED + L"\\a", L"");
    plant(components + K_SHARED + L"\\b", L"");
    plant(components + K_SHARED, L"C:\\Suite\\vexarlauncher.exe");
    plant(components + K_OTHER, L"C:\\Other\\other.exe");
    // Another vendor's file whose name merely ends with the text.
    plant(components + K_ONE + L"\\kept", L"");
    plant(components + K_ONE, L"C:\\Other\\OldVexarLauncher.exe");
    ASSERT_FALSE(HasFatalFailure());

    remover::remove_installer_components(L"VexarLauncher.EXE");

    const std::string prefix = "HKEY_LOCAL_MACHINE\\" + narrow(components);
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Search Component VexarLauncher.EXE ");
    EXPECT_EQ(lines[1], "Removed Component  " + prefix + narrow(K_OWN));
    // The component keeps its second subkey, so it cannot go.
    EXPECT_EQ(lines[2].rfind("! ERROR remove component " + narrow(components + K_SHARED) + " failed: ", 0), 0u)
        << lines[2];
    EXPECT_TRUE(key_absent(machine.hive(), components + K_OWN));
    EXPECT_TRUE(key_exists(machine.hive(), components + K_SHARED + L"\\b"));
    EXPECT_TRUE(key_absent(machine.hive(), components + K_SHARED + L"\\a"));
    EXPECT_TRUE(key_exists(machine.hive(), components + K_OTHER));
    EXPECT_TRUE(key_exists(machine.hive(), components + K_ONE + L"\\kept"));
}

}  // namespace
