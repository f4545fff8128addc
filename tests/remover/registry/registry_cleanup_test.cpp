#include "remover/registry/registry_cleanup.hpp"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "replay/format.hpp"
#include "replay/unicode/unicode.hpp"
#include "support/log_capture.hpp"
#include "support/machine_override.hpp"
#include "support/registry_link.hpp"
#include "support/scratch_key.hpp"

namespace {

using test_support::key_absent;
using test_support::key_exists;
using test_support::raw_value;
using test_support::raw_value_set;
using test_support::value_absent;

std::string narrow(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::ansi, false);
}

TEST(RootKeyName, PredefinedRootsAndOthers) {
    EXPECT_EQ(remover::root_key_name(HKEY_USERS), L"HKEY_USERS");
    EXPECT_EQ(remover::root_key_name(HKEY_CURRENT_CONFIG), L"HKEY_CURRENT_CONFIG");
    EXPECT_EQ(remover::root_key_name(HKEY_CLASSES_ROOT), L"HKEY_CLASSES_ROOT");
    EXPECT_EQ(remover::root_key_name(HKEY_PERFORMANCE_DATA), L"HKEY_!unidentified!");
}

class RemoveRegistryKey : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
        replay::unique_hkey child;
        ASSERT_EQ(RegCreateKeyExW(scratch.get(), L"Product\\Child\\Grandchild", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, child.put(), nullptr),
                  ERROR_SUCCESS);
        path = narrow(scratch.path());
    }
    test_support::scratch_key scratch;
    test_support::log_capture log;
    std::string path;
};

// Nothing needed to be deleted: not a failure.
TEST_F(RemoveRegistryKey, MissingParentRemovesNothing) {
    EXPECT_TRUE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path() + L"\\Missing", L"Product", true));
    EXPECT_EQ(log.texts(), std::vector<std::string>{replay::format(
                               "!  Subkey Product NOT removed as HKEY_CURRENT_USER\\%s\\Missing not FOUND !",
                               path.c_str())});
}

TEST_F(RemoveRegistryKey, MissingSubkeyFails) {
    EXPECT_FALSE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Other", true));
    EXPECT_EQ(log.texts(), std::vector<std::string>{replay::format(
                               "!  Failed to remove regkey 'HKEY_CURRENT_USER\\%s\\Other' !", path.c_str())});
}

TEST_F(RemoveRegistryKey, KeyWithChildrenNeedsTheRecursiveFlag) {
    EXPECT_FALSE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Product", false));
    EXPECT_TRUE(key_exists(scratch.get(), L"Product\\Child\\Grandchild"));

    EXPECT_TRUE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Product", true));
    EXPECT_TRUE(key_absent(scratch.get(), L"Product"));
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], replay::format("!  Failed to remove regkey 'HKEY_CURRENT_USER\\%s\\Product' !", path.c_str()));
    EXPECT_EQ(lines[1], replay::format("  Removed regkey 'HKEY_CURRENT_USER\\%s\\Product'", path.c_str()));
}

TEST_F(RemoveRegistryKey, EmptyKeyWithoutTheFlag) {
    EXPECT_TRUE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path() + L"\\Product\\Child", L"Grandchild",
                                             false));
    EXPECT_TRUE(key_absent(scratch.get(), L"Product\\Child\\Grandchild"));
    EXPECT_TRUE(key_exists(scratch.get(), L"Product\\Child"));
}

// A key whose access list grants nobody anything, below the scratch key; the
// platform enforces it (checked), so the administrator can neither read nor
// delete it.
::testing::AssertionResult lock(HKEY scratch, const std::wstring& path) {
    replay::unique_hkey key;
    if (RegOpenKeyExW(scratch, path.c_str(), 0, WRITE_DAC, key.put()) != ERROR_SUCCESS ||
        test_support::set_key_dacl(key.get(), L"D:P") != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "cannot lock " << narrow(path);
    }
    if (RegOpenKeyExW(scratch, path.c_str(), 0, KEY_READ, key.put()) != ERROR_ACCESS_DENIED) {
        return ::testing::AssertionFailure() << "the lock on " << narrow(path) << " is not enforced";
    }
    return ::testing::AssertionSuccess();
}

// The access list of a key, in SDDL; empty when it cannot be read.
std::wstring access_list(HKEY scratch, const std::wstring& path) {
    replay::unique_hkey key;
    if (RegOpenKeyExW(scratch, path.c_str(), REG_OPTION_OPEN_LINK, READ_CONTROL, key.put()) != ERROR_SUCCESS) return L"";
    DWORD size = 0;
    RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    wchar_t* text = nullptr;
    if (size == 0 || RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"";
    }
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

class RemoveLockedKey : public RemoveRegistryKey {
protected:
    void SetUp() override {
        RemoveRegistryKey::SetUp();
        replay::unique_hkey made;
        for (const wchar_t* key : {L"Product\\Locked\\Inner", L"Product\\Locked\\Beside", L"Product\\Other",
                                   L"Victim", L"Maker\\Product"}) {
            ASSERT_EQ(RegCreateKeyExW(scratch.get(), key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, made.put(), nullptr),
                      ERROR_SUCCESS);
        }
        ASSERT_TRUE(lock(scratch.get(), L"Product\\Locked\\Inner"));
        shown = "HKEY_CURRENT_USER\\" + path;
    }
    std::string shown;
};

TEST_F(RemoveLockedKey, WithoutTakingOverEverythingElseGoesAndWhatStayedIsNamed) {
    EXPECT_FALSE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Product", true));
    EXPECT_TRUE(key_absent(scratch.get(), L"Product\\Other"));
    EXPECT_TRUE(key_absent(scratch.get(), L"Product\\Locked\\Beside"));
    EXPECT_TRUE(key_exists(scratch.get(), L"Product\\Locked"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "!  Failed to remove regkey '" + shown + "\\Product' !",
                               "!  Left in place: '" + shown +
                                   "\\Product\\Locked\\Inner' (RegOpenKeyEx() failed: key \"Product\\Locked\\Inner\" (5)) !"}));
}

TEST_F(RemoveLockedKey, ProductKeyTakesOverWhatRefusesItAndGoesWhole) {
    EXPECT_TRUE(remover::remove_product_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Product"));
    EXPECT_TRUE(key_absent(scratch.get(), L"Product"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Taken over: '" + shown + "\\Product\\Locked\\Inner' (its access list refused the administrators)",
                               "  Removed regkey '" + shown + "\\Product'"}));
}

TEST_F(RemoveLockedKey, ParentsAndLinkTargetsAreNeverTakenOver) {
    ASSERT_TRUE(lock(scratch.get(), L"Victim"));
    replay::unique_hkey victim;
    ASSERT_EQ(RegOpenKeyExW(scratch.get(), L"Victim", 0, READ_CONTROL, victim.put()), ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(scratch.get(), L"Product\\Link", victim.get()));
    ASSERT_TRUE(lock(scratch.get(), L"Maker"));

    EXPECT_TRUE(remover::remove_product_registry_key(HKEY_CURRENT_USER, scratch.path(), L"Product"));
    EXPECT_FALSE(remover::remove_product_registry_key(HKEY_CURRENT_USER, scratch.path() + L"\\Maker", L"Product"));

    EXPECT_TRUE(key_absent(scratch.get(), L"Product"));
    for (const wchar_t* kept : {L"Victim", L"Maker"}) {
        SCOPED_TRACE(narrow(kept));
        EXPECT_EQ(access_list(scratch.get(), kept), L"D:P");
    }
    EXPECT_TRUE(key_exists(scratch.get(), L"Maker\\Product"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Taken over: '" + shown + "\\Product\\Locked\\Inner' (its access list refused the administrators)",
                               "  Removed regkey '" + shown + "\\Product'",
                               "!  Subkey Product NOT removed as " + shown + "\\Maker not FOUND !"}));
}

// A user's hive is that user's to write: a link on the way to the parent key
// would make the deletion take a key of the link's target.
TEST_F(RemoveRegistryKey, ParentReachedThroughALinkIsNotGoneThrough) {
    replay::unique_hkey elsewhere;
    ASSERT_EQ(RegCreateKeyExW(scratch.get(), L"Elsewhere\\Product", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              elsewhere.put(), nullptr),
              ERROR_SUCCESS);
    replay::unique_hkey target;
    ASSERT_EQ(RegOpenKeyExW(scratch.get(), L"Elsewhere", 0, KEY_READ, target.put()), ERROR_SUCCESS);
    test_support::make_link(scratch.get(), L"Linked", target.get());
    EXPECT_FALSE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path() + L"\\Linked", L"Product", true));
    EXPECT_EQ(log.texts(), std::vector<std::string>{replay::format(
                               "!  Subkey Product NOT removed as HKEY_CURRENT_USER\\%s\\Linked not FOUND !",
                               path.c_str())});
    EXPECT_TRUE(key_exists(scratch.get(), L"Elsewhere\\Product"));
    // Keys that are no links are opened one by one as before.
    EXPECT_TRUE(remover::remove_registry_key(HKEY_CURRENT_USER, scratch.path() + L"\\Elsewhere", L"Product", true));
    EXPECT_TRUE(key_absent(scratch.get(), L"Elsewhere\\Product"));
}

class FixSharedDllsCounters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(machine.status(), ERROR_SUCCESS);
        counters = machine.create(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
        ASSERT_TRUE(counters);
        set_count(launcher_exe, 2);
        set_count(launcher_dll, 5);
        set_count(other, 7);
        const std::wstring text = L"1";
        ASSERT_TRUE(raw_value_set(counters.get(), launcher_cfg, REG_SZ, text.c_str(), 4));
        const ULONGLONG wide_count = 3;
        ASSERT_TRUE(raw_value_set(counters.get(), launcher_bin, REG_DWORD, &wide_count, 8));
    }
    void set_count(const std::wstring& name, DWORD count) {
        ASSERT_TRUE(raw_value_set(counters.get(), name, REG_DWORD, &count, sizeof(count)));
    }
    DWORD count(const std::wstring& name) {
        DWORD type = 0;
        const auto data = raw_value(counters.get(), name, &type);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_GE(data.size(), 4u);
        return data.size() >= 4 ? *reinterpret_cast<const DWORD*>(data.data()) : 0xFFFFFFFF;
    }

    const std::wstring launcher_exe = L"C:\\Program Files\\Vexars\\Suite\\VexarLauncher.exe";
    const std::wstring launcher_dll = L"C:\\PROGRAM FILES\\VEXARS\\SUITE\\VEXARLAUNCHER.DLL";
    const std::wstring launcher_cfg = L"C:\\Program Files\\Vexars\\Suite\\VexarLauncher.cfg";
    const std::wstring launcher_bin = L"C:\\Program Files\\Vexars\\Suite\\VexarLauncher.bin";
    const std::wstring other = L"C:\\Program Files\\Common Files\\other.dll";
    const std::wstring pattern = L"c:\\program files\\vexars\\suite\\vexarlauncher";
    test_support::machine_override machine;
    replay::unique_hkey counters;
    test_support::log_capture log;
};

TEST_F(FixSharedDllsCounters, SetsCountersThatDifferAndListsAllMatches) {
    remover::fix_shareddlls_counters(pattern, 2);
    EXPECT_EQ(count(launcher_exe), 2u);
    EXPECT_EQ(count(launcher_dll), 2u);
    EXPECT_EQ(count(other), 7u);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Counters for c:\\program files\\vexars\\suite\\vexarlauncher pattern in SharedDLLs key:",
                  "   C:\\PROGRAM FILES\\VEXARS\\SUITE\\VEXARLAUNCHER.DLL - 5",
                  "   C:\\Program Files\\Vexars\\Suite\\VexarLauncher.exe - 2",
                  "C:\\PROGRAM FILES\\VEXARS\\SUITE\\VEXARLAUNCHER.DLL is set to 2",
              }));
    // Values that are not 4-byte counters stay as they were.
    EXPECT_EQ(raw_value(counters.get(), launcher_cfg).size(), 4u);
    EXPECT_EQ(raw_value(counters.get(), launcher_bin).size(), 8u);
}

TEST_F(FixSharedDllsCounters, NoUsersLeftDeletesTheCounters) {
    remover::fix_shareddlls_counters(pattern, 0);
    EXPECT_TRUE(value_absent(counters.get(), launcher_exe));
    EXPECT_TRUE(value_absent(counters.get(), launcher_dll));
    EXPECT_EQ(count(other), 7u);
    EXPECT_FALSE(raw_value(counters.get(), launcher_cfg).empty());
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "Removed registry value C:\\PROGRAM FILES\\VEXARS\\SUITE\\VEXARLAUNCHER.DLL");
    EXPECT_EQ(lines[4], "Removed registry value C:\\Program Files\\Vexars\\Suite\\VexarLauncher.exe");
}

TEST_F(FixSharedDllsCounters, NoMatchOnlyLogsTheHeading) {
    remover::fix_shareddlls_counters(L"\\NoSuchComponent", 1);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Counters for \\NoSuchComponent pattern in SharedDLLs key:"});
    EXPECT_EQ(count(launcher_dll), 5u);
}

TEST(FixSharedDllsCountersWithoutKey, DoesNothing) {
    test_support::machine_override machine;
    ASSERT_EQ(machine.status(), ERROR_SUCCESS);
    test_support::log_capture log;
    remover::fix_shareddlls_counters(L"x", 0);
    EXPECT_TRUE(log.texts().empty());
}

}  // namespace
