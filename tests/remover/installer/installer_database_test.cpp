#include "remover/installer/installer_database.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "remover/installer/packed_guid.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/key_names.hpp"
#include "support/log_capture.hpp"
#include "support/registry_link.hpp"
#include "support/scratch_key.hpp"

namespace {

using test_support::key_absent;
using test_support::key_exists;

constexpr wchar_t upgrade_code[] = L"{6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}";
const std::wstring U = L"E2C3F1A6D4B970E45A8CD3E2170F9BA4";  // the upgrade code, packed
const std::wstring P = L"1234567890ABCDEF1234567890ABCDEF";  // the product's code
const std::wstring OTHER_U = L"11111111222233334444555555555555";
const std::wstring OTHER_P = L"AAAAAAAABBBBCCCCDDDDEEEEEEEEEEEE";
const std::wstring K_OWN = L"0000000000000000000000000000000A";
const std::wstring K_SHARED = L"0000000000000000000000000000000B";
const std::wstring K_ONE = L"0000000000000000000000000000000C";
const std::wstring K_ZERO = L"0000000000000000000000000000000D";
const std::wstring K_NO_COUNTER = L"0000000000000000000000000000000E";
const std::wstring K_OTHER = L"0000000000000000000000000000000F";
const std::wstring CV = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const std::wstring SYSTEM_STORE = CV + L"\\Installer\\UserData\\S-1-5-18";
const std::wstring DIR = L"C:\\Program Files\\Vexars\\Zentrivo\\";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS and HKEY_LOCAL_MACHINE
// each redirected into a scratch key of its own while the object lives.
class hives {
public:
    hives() {
        for (auto& [root, scratch] : scratches_) {
            if (scratch->status() != ERROR_SUCCESS) status_ = scratch->status();
        }
        if (status_ != ERROR_SUCCESS) return;
        for (auto& [root, scratch] : scratches_) {
            const LSTATUS result = RegOverridePredefKey(root, scratch->get());
            if (result != ERROR_SUCCESS) status_ = result;
        }
    }
    hives(const hives&) = delete;
    hives& operator=(const hives&) = delete;
    ~hives() {
        for (auto& [root, scratch] : scratches_) RegOverridePredefKey(root, nullptr);
    }

    LSTATUS status() const { return status_; }
    HKEY operator[](HKEY root) const { return scratches_.at(root)->get(); }

    // Creates path below the redirected root with the given values (text
    // values as REG_SZ, numbers as REG_DWORD).
    void plant(HKEY root, const std::wstring& path, const std::map<std::wstring, std::wstring>& texts = {},
               const std::map<std::wstring, DWORD>& numbers = {}) const {
        replay::unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW((*this)[root], path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, text] : texts) {
            RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
        for (const auto& [name, number] : numbers) {
            RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
        }
    }

    bool has_value(HKEY root, const std::wstring& path, const std::wstring& name) const {
        return RegGetValueW((*this)[root], path.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }

    DWORD dword(HKEY root, const std::wstring& path, const std::wstring& name) const {
        DWORD value = 0xDEADBEEF;
        DWORD size = sizeof(value);
        RegGetValueW((*this)[root], path.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size);
        return value;
    }

private:
    std::map<HKEY, std::unique_ptr<test_support::scratch_key>> scratches_ = [] {
        std::map<HKEY, std::unique_ptr<test_support::scratch_key>> made;
        for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS, HKEY_LOCAL_MACHINE}) {
            // The machine's roots in the machine's hive: the cleaner tells a
            // key's hive by the key's own name.
            const bool machine = root == HKEY_LOCAL_MACHINE || root == HKEY_CLASSES_ROOT;
            made[root] = std::make_unique<test_support::scratch_key>(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
        }
        return made;
    }();
    LSTATUS status_ = ERROR_SUCCESS;
};

class InstallerDatabase : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(registry.status(), ERROR_SUCCESS); }

    hives registry;
    test_support::log_capture log;
};

// A machine registration below HKLM (Classes and CurrentVersion, system
// store), a per-user store, HKCR's own copy, and what must stay: another
// product's entries, a VirtualStore copy and the inside of an Installer key
// without UpgradeCodes.
TEST_F(InstallerDatabase, CleansEveryStoreAndKeepsWhatIsNotTheProducts) {
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const HKEY hkcu = HKEY_CURRENT_USER;
    for (const std::wstring& root : {std::wstring(L"SOFTWARE\\Classes"), CV}) {
        registry.plant(hklm, root + L"\\Installer\\UpgradeCodes\\" + U, {{P, L""}});
        registry.plant(hklm, root + L"\\Installer\\UpgradeCodes\\" + OTHER_U, {{OTHER_P, L""}});
    }
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Products\\" + P + L"\\SourceList", {{L"PackageName", L"z.msi"}});
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P, {{L"ProductName", L"Other"}});
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Features\\" + P, {{L"Main", L""}});
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Features\\" + OTHER_P, {{L"Main", L""}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Products\\" + P + L"\\InstallProperties", {{L"DisplayName", L"Zentrivo"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_OWN, {{P, DIR + L"Zentrivo.exe"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_SHARED,
                   {{P, L"C?\\Program Files\\Vexars\\bvhtml.dll"}, {OTHER_P, L"C?\\Program Files\\Vexars\\bvhtml.dll"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_ONE, {{P, DIR + L"one.dll"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_ZERO, {{P, DIR + L"zero.dll"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_NO_COUNTER, {{P, DIR + L"none.dll"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_OTHER, {{OTHER_P, L"C:\\Other\\o.dll"}});
    registry.plant(hklm, CV + L"\\Installer\\UserData\\S-1-5-21-7\\Products\\" + P, {{L"x", L"y"}});
    registry.plant(hklm, CV + L"\\SharedDlls", {},
                   {{DIR + L"Zentrivo.exe", 3}, {L"C:\\Program Files\\Vexars\\bvhtml.dll", 2}, {DIR + L"one.dll", 1},
                    {DIR + L"zero.dll", 0}, {L"C:\\Other\\o.dll", 1}});
    registry.plant(HKEY_CLASSES_ROOT, L"Installer\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(HKEY_CLASSES_ROOT, L"Installer\\Products\\" + P, {{L"ProductName", L"Zentrivo"}});
    registry.plant(hkcu, L"Software\\Maker\\INSTALLER\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(hkcu, L"Software\\Classes\\VirtualStore\\MACHINE\\Installer\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(hkcu, L"Software\\NoCodes\\Installer\\Inner\\Installer\\UpgradeCodes\\" + U, {{P, L""}});
    ASSERT_FALSE(HasFatalFailure());

    remover::clean_installer_database(upgrade_code);

    const std::string u = narrow(remover::unpack_guid(U));
    const std::string p = narrow(remover::unpack_guid(P));
    const std::string dir = narrow(DIR);
    const std::string eq50(50, '='), eq49(49, '=');
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
        "**** Cleaning Installation Database (32) ****", "", "Locating Windows Installer Root Stores", eq50,
        "Root: 1  HKCR",
        "Root: 2  HKCU\\Software\\Maker",
        "Root: 3  HKLM\\SOFTWARE\\Classes",
        "Root: 4  HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
        "UserData: 1  5  Installer",
        "UserData: 2  6  Installer",
        "UserData: 3  7  Installer",
        "UserData: 4  8  Installer",
        "UserData: 4  9  Installer\\UserData\\S-1-5-18",
        "UserData: 4  10  Installer\\UserData\\S-1-5-21-7",
        "", "Upgrade Codes Removed", eq50, "1  " + u, "2  " + u, "3  " + u, "4  " + u,
        "", "Product Codes Removed", eq49, "5  " + p, "7  " + p, "9  " + p, "10  " + p,
        "", "Component Codes Removed", eq49,
        "9  " + narrow(remover::unpack_guid(K_OWN)), "9  " + narrow(remover::unpack_guid(K_ONE)),
        "9  " + narrow(remover::unpack_guid(K_ZERO)), "9  " + narrow(remover::unpack_guid(K_NO_COUNTER)),
        "", "Key Files Removed", eq49,
        "  C:\\Program Files\\Vexars\\Zentrivo\\Zentrivo.exe      is decremented to 2",
        "  C:\\Program Files\\Vexars\\Zentrivo\\one.dll",
        "  C:\\Program Files\\Vexars\\Zentrivo\\zero.dll",
        "  C:\\Program Files\\Vexars\\bvhtml.dll      is decremented to 1",
        ""}));

    EXPECT_TRUE(key_absent(registry[hklm], L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" + U));
    EXPECT_TRUE(key_absent(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Products\\" + P));
    EXPECT_TRUE(key_absent(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Features\\" + P));
    EXPECT_TRUE(key_exists(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Features\\" + OTHER_P));
    EXPECT_TRUE(key_absent(registry[hklm], SYSTEM_STORE + L"\\Products\\" + P));
    EXPECT_TRUE(key_absent(registry[hklm], SYSTEM_STORE + L"\\Components\\" + K_OWN));
    EXPECT_TRUE(key_absent(registry[HKEY_CLASSES_ROOT], L"Installer\\Products\\" + P));
    // Another product's registrations, and its value in the shared component.
    EXPECT_TRUE(key_exists(registry[hklm], L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" + OTHER_U));
    EXPECT_TRUE(key_exists(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P));
    EXPECT_TRUE(key_exists(registry[hklm], SYSTEM_STORE + L"\\Components\\" + K_OTHER));
    EXPECT_TRUE(registry.has_value(hklm, SYSTEM_STORE + L"\\Components\\" + K_SHARED, OTHER_P));
    EXPECT_FALSE(registry.has_value(hklm, SYSTEM_STORE + L"\\Components\\" + K_SHARED, P));
    EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", L"C:\\Other\\o.dll"), 1u);
    EXPECT_FALSE(registry.has_value(hklm, CV + L"\\SharedDlls", DIR + L"zero.dll"));
    // Never visited.
    EXPECT_TRUE(key_exists(registry[hkcu], L"Software\\Classes\\VirtualStore\\MACHINE\\Installer\\UpgradeCodes\\" + U));
    EXPECT_TRUE(key_exists(registry[hkcu], L"Software\\NoCodes\\Installer\\Inner\\Installer\\UpgradeCodes\\" + U));
}

// Codes found in a user's hive speak only for that user's stores: another
// product that the user names under the product's upgrade code keeps its
// machine registration and counters; the user's own copy of it goes. Key
// paths from a user's store never lower the machine's counters.
TEST_F(InstallerDatabase, CodesFromAUsersHiveStayInThatUsersStores) {
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const HKEY hkcu = HKEY_CURRENT_USER;
    registry.plant(hklm, CV + L"\\Installer\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(hkcu, L"Software\\X\\Installer\\UpgradeCodes\\" + U, {{OTHER_P, L""}});
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P, {{L"ProductName", L"Other"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Products\\" + OTHER_P, {{L"x", L"y"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_OTHER, {{OTHER_P, L"C:\\Other\\o.dll"}});
    registry.plant(hkcu, L"Software\\X\\Installer\\Products\\" + OTHER_P, {{L"x", L"y"}});
    registry.plant(hkcu, L"Software\\X\\Installer\\Components\\" + K_OWN, {{P, DIR + L"Zentrivo.exe"}});
    registry.plant(hklm, CV + L"\\SharedDlls", {}, {{L"C:\\Other\\o.dll", 1}, {DIR + L"Zentrivo.exe", 2}});
    ASSERT_FALSE(HasFatalFailure());

    remover::clean_installer_database(upgrade_code);

    EXPECT_TRUE(key_exists(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P));
    EXPECT_TRUE(key_exists(registry[hklm], SYSTEM_STORE + L"\\Products\\" + OTHER_P));
    EXPECT_TRUE(registry.has_value(hklm, SYSTEM_STORE + L"\\Components\\" + K_OTHER, OTHER_P));
    EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", L"C:\\Other\\o.dll"), 1u);
    EXPECT_TRUE(key_absent(registry[hkcu], L"Software\\X\\Installer\\UpgradeCodes\\" + U));
    EXPECT_TRUE(key_absent(registry[hkcu], L"Software\\X\\Installer\\Products\\" + OTHER_P));
    // The machine's code reaches the user's store, but not the counters.
    EXPECT_TRUE(key_absent(registry[hkcu], L"Software\\X\\Installer\\Components\\" + K_OWN));
    EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", DIR + L"Zentrivo.exe"), 2u);
}

// Whoever writes a hive may put registry links there into the machine's
// Installer keys: one at the product's upgrade code, to another product's,
// and one named as the user's UserData store, to the machine's S-1-5-18
// store. Nothing is reached through them: the other product keeps its
// registration, its components and its counter; the first link goes as the
// link itself.
TEST_F(InstallerDatabase, LinksInAUsersHiveAreNotFollowed) {
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const HKEY hkcu = HKEY_CURRENT_USER;
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" + OTHER_U, {{OTHER_P, L""}});
    registry.plant(hklm, L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P, {{L"ProductName", L"Other"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Products\\" + OTHER_P, {{L"x", L"y"}});
    registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_OTHER, {{OTHER_P, L"C:\\Other\\o.dll"}});
    registry.plant(hklm, CV + L"\\SharedDlls", {}, {{L"C:\\Other\\o.dll", 2}});
    registry.plant(hkcu, L"Software\\L1\\Installer\\UpgradeCodes", {});
    registry.plant(hkcu, L"Software\\L2\\Installer\\UpgradeCodes\\" + U, {{OTHER_P, L""}});
    registry.plant(hkcu, L"Software\\L2\\Installer\\UserData", {});
    ASSERT_FALSE(HasFatalFailure());
    std::wstring sid;
    ASSERT_EQ(replay::registry2::key_hive(registry[hkcu], sid), replay::registry2::hive_kind::user);
    replay::unique_hkey other_upgrade, system_store;
    ASSERT_EQ(RegOpenKeyExW(registry[hklm], (L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" + OTHER_U).c_str(), 0,
                            KEY_READ, other_upgrade.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(registry[hklm], SYSTEM_STORE.c_str(), 0, KEY_READ, system_store.put()), ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(test_support::make_link(registry[hkcu], L"Software\\L1\\Installer\\UpgradeCodes\\" + U,
                                                    other_upgrade.get()));
    ASSERT_NO_FATAL_FAILURE(
        test_support::make_link(registry[hkcu], L"Software\\L2\\Installer\\UserData\\" + sid, system_store.get()));

    remover::clean_installer_database(upgrade_code);

    EXPECT_TRUE(registry.has_value(hklm, L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\" + OTHER_U, OTHER_P));
    EXPECT_TRUE(key_exists(registry[hklm], L"SOFTWARE\\Classes\\Installer\\Products\\" + OTHER_P));
    EXPECT_TRUE(key_exists(registry[hklm], SYSTEM_STORE + L"\\Products\\" + OTHER_P));
    EXPECT_TRUE(registry.has_value(hklm, SYSTEM_STORE + L"\\Components\\" + K_OTHER, OTHER_P));
    EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", L"C:\\Other\\o.dll"), 2u);
    EXPECT_TRUE(key_absent(registry[hkcu], L"Software\\L1\\Installer\\UpgradeCodes\\" + U));
    // The scratch keys' clean-up would follow the link that is left: it goes first.
    EXPECT_EQ(replay::registry2::delete_subkey(registry[hkcu], L"Software\\L2\\Installer\\UserData\\" + sid, 0),
              ERROR_SUCCESS);
}

// Where the registrations lie decides which key files count: a store in the
// machine's hive (only administrators write there) lowers the machine's
// counters whichever user it names, and so does the machine's own store,
// also when the system cannot name a key's hive: then a root found below
// HKEY_LOCAL_MACHINE is the machine's and one below a user's hive that
// user's. A code from a user's hive still speaks only for that user.
TEST(InstallerDatabaseStores, KeyFilesCountByTheHiveTheirStoreLiesIn) {
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const HKEY hkcu = HKEY_CURRENT_USER;
    const std::wstring user_store = CV + L"\\Installer\\UserData\\S-1-5-21-7";
    for (const bool names_unknown : {false, true}) {
        SCOPED_TRACE(names_unknown ? "hive names unknown" : "hive names known");
        hives registry;
        test_support::log_capture log;
        ASSERT_EQ(registry.status(), ERROR_SUCCESS);
        registry.plant(hklm, CV + L"\\Installer\\UpgradeCodes\\" + U, {{P, L""}});
        registry.plant(hklm, SYSTEM_STORE + L"\\Products\\" + P, {{L"x", L"y"}});
        registry.plant(hklm, SYSTEM_STORE + L"\\Components\\" + K_OWN, {{P, DIR + L"Zentrivo.exe"}});
        registry.plant(hklm, user_store + L"\\Products\\" + P, {{L"x", L"y"}});
        registry.plant(hklm, user_store + L"\\Components\\" + K_ONE, {{P, DIR + L"one.dll"}});
        registry.plant(hkcu, L"Software\\X\\Installer\\UpgradeCodes\\" + U, {{OTHER_P, L""}});
        registry.plant(hklm, SYSTEM_STORE + L"\\Products\\" + OTHER_P, {{L"x", L"y"}});
        registry.plant(hkcu, L"Software\\X\\Installer\\Products\\" + OTHER_P, {{L"x", L"y"}});
        registry.plant(hklm, CV + L"\\SharedDlls", {}, {{DIR + L"Zentrivo.exe", 2}, {DIR + L"one.dll", 3}});
        ASSERT_FALSE(HasFatalFailure());

        remover::installer_test_seams().hive_names_unknown = names_unknown;
        remover::clean_installer_database(upgrade_code);
        remover::installer_test_seams().hive_names_unknown = false;

        EXPECT_TRUE(key_absent(registry[hklm], SYSTEM_STORE + L"\\Products\\" + P));
        EXPECT_TRUE(key_absent(registry[hklm], user_store + L"\\Products\\" + P));
        EXPECT_TRUE(key_absent(registry[hklm], user_store + L"\\Components\\" + K_ONE));
        EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", DIR + L"Zentrivo.exe"), 1u);
        EXPECT_EQ(registry.dword(hklm, CV + L"\\SharedDlls", DIR + L"one.dll"), 2u);
        EXPECT_TRUE(key_exists(registry[hklm], SYSTEM_STORE + L"\\Products\\" + OTHER_P));
        EXPECT_TRUE(key_absent(registry[hkcu], L"Software\\X\\Installer\\Products\\" + OTHER_P));
    }
}

// When the walk cannot list a hive, two fixed roots take its place.
TEST_F(InstallerDatabase, FixedRootsWhenTheSearchFails) {
    registry.plant(HKEY_CLASSES_ROOT, L"Installer\\Products\\" + P, {{L"ProductName", L"Zentrivo"}});
    registry.plant(HKEY_LOCAL_MACHINE, CV + L"\\Installer\\UserData\\S-1-5-18\\Products\\" + P, {{L"x", L"y"}});
    ASSERT_FALSE(HasFatalFailure());
    // HKEY_USERS through a handle that may not list its subkeys.
    replay::unique_hkey unlistable;
    ASSERT_EQ(RegOpenKeyExW(registry[HKEY_USERS], L"", 0, KEY_QUERY_VALUE, unlistable.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_USERS, unlistable.get()), ERROR_SUCCESS);

    remover::clean_installer_database(upgrade_code);

    const auto lines = log.texts();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 9),
              (std::vector<std::string>{"Root hc: 1  HKCR", "Root hc: 2  HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                        "UserData: 1  3  Installer", "UserData: 2  4  Installer",
                                        "UserData: 2  5  Installer\\UserData\\S-1-5-18"}));
}

// One item that fails in an unexpected way costs that item only: a refused
// key whose name the ANSI code page cannot hold, a component key whose name
// is no packed code, and a key file of such a name without a counter. The
// store is the machine's, whose key files count in SharedDlls.
TEST_F(InstallerDatabase, AnItemThatFailsEndsNothingButItself) {
    const std::wstring refused = L"\u0411\u0443\u0445";  // Cyrillic
    const std::wstring store = L"Software\\Maker\\Installer";
    registry.plant(HKEY_CLASSES_ROOT, L"Installer\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(HKEY_CLASSES_ROOT, refused + L"\\Inside", {});
    registry.plant(HKEY_LOCAL_MACHINE, store + L"\\UpgradeCodes\\" + U, {{P, L""}});
    registry.plant(HKEY_LOCAL_MACHINE, store + L"\\Products\\" + P, {{L"ProductName", L"Zentrivo"}});
    registry.plant(HKEY_LOCAL_MACHINE, store + L"\\Components\\" + K_OWN, {{P, L"C:\\B\\x.dll"}});
    registry.plant(HKEY_LOCAL_MACHINE, store + L"\\Components\\FOO", {{P, L"C:\\A\\" + refused + L".dll"}});
    registry.plant(HKEY_LOCAL_MACHINE, CV + L"\\SharedDlls", {}, {{L"C:\\B\\x.dll", 2}});
    ASSERT_FALSE(HasFatalFailure());
    {
        // Neither read-write nor read-only opens are granted.
        test_support::key_dacl_override lock(registry[HKEY_CLASSES_ROOT], refused, L"D:P(A;;WD;;;WD)");
        ASSERT_EQ(lock.status(), ERROR_SUCCESS);

        remover::clean_installer_database(upgrade_code);
    }

    const std::string u = narrow(remover::unpack_guid(U));
    const std::string eq50(50, '='), eq49(49, '=');
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
        "**** Cleaning Installation Database (32) ****", "", "Locating Windows Installer Root Stores", eq50,
        "Root: 1  HKCR", "Root: 2  HKLM\\Software\\Maker",
        "UserData: 1  3  Installer", "UserData: 2  4  Installer",
        "", "Upgrade Codes Removed", eq50, "1  " + u, "2  " + u,
        "", "Product Codes Removed", eq49, "4  " + narrow(remover::unpack_guid(P)),
        "", "Component Codes Removed", eq49, "4  " + narrow(remover::unpack_guid(K_OWN)), "4  FOO",
        "", "Key Files Removed", eq49, "  C:\\B\\x.dll      is decremented to 1", ""}));
    EXPECT_TRUE(key_absent(registry[HKEY_LOCAL_MACHINE], store + L"\\Products\\" + P));
    EXPECT_TRUE(key_absent(registry[HKEY_LOCAL_MACHINE], store + L"\\Components\\FOO"));
}

// Without a SharedDlls key the block ends with its heading, as when the
// cleaner stops there.
TEST_F(InstallerDatabase, NoSharedDllsKeyNoClosingLine) {
    registry.plant(HKEY_CLASSES_ROOT, L"Installer\\UpgradeCodes\\" + U, {{P, L""}});
    ASSERT_FALSE(HasFatalFailure());

    remover::clean_installer_database(upgrade_code);

    const auto lines = log.texts();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"Key Files Removed", std::string(49, '=')}));
}

}  // namespace
