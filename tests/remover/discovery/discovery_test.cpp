#include "remover/discovery/discovery.hpp"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "remover/files/files.hpp"
#include "support/log_capture.hpp"
#include "support/machine_override.hpp"

namespace {

TEST(VersionCode, RecognisedShapes) {
    EXPECT_EQ(remover::version_code("2.1.5"), 21005);
    EXPECT_EQ(remover::version_code("2.1.05"), 21005);
    EXPECT_EQ(remover::version_code("2.1.15"), 21015);
    EXPECT_EQ(remover::version_code("2.1.123"), 21123);
    EXPECT_EQ(remover::version_code("2.0.9"), 20009);
    // Other characters count by their code, as digits would.
    EXPECT_EQ(remover::version_code("2.1.a"), 21049);
}

TEST(VersionCode, OtherShapes) {
    EXPECT_EQ(remover::version_code("2.2"), -1);
    EXPECT_EQ(remover::version_code("10.1.1"), -1);
    EXPECT_EQ(remover::version_code("2.1.1234"), -1);
    EXPECT_EQ(remover::version_code("2-1-5"), -1);
    EXPECT_EQ(remover::version_code(""), -1);
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(machine.status(), ERROR_SUCCESS); }

    void plant_entry(const std::wstring& name, const wchar_t* display, const wchar_t* version,
                     const wchar_t* location) {
        auto key = machine.create(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + name);
        ASSERT_TRUE(key);
        auto set = [&](const wchar_t* value, const wchar_t* text) {
            if (text == nullptr) return;
            RegSetValueExW(key.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
        };
        set(L"DisplayName", display);
        set(L"DisplayVersion", version);
        set(L"InstallLocation", location);
    }

    test_support::machine_override machine;
    test_support::log_capture log;
    remover::product_remover remover{"Zentrivo"};
};

TEST_F(Discovery, ValuesComeFromTheFirstEntryThatHasBoth) {
    plant_entry(L"{B-second}", L"Zentrivo", L"2.1.5", L"C:\\Program Files\\Vexars\\");
    plant_entry(L"{A-first}", L"ZENTRIVO", L"2.1.3", nullptr);
    plant_entry(L"{C-other}", L"Zentrivo 2", L"9.9.9", L"C:\\Other\\");
    EXPECT_TRUE(remover::search_product_info(remover));
    EXPECT_EQ(remover.uninstall_keys, (std::vector<std::wstring>{L"{A-first}", L"{B-second}"}));
    EXPECT_EQ(remover.version_string, "2.1.5");
    EXPECT_EQ(remover.version, 21005);
    EXPECT_EQ(remover.install_dir, "C:\\Program Files\\Vexars\\");
    const std::string key = ". Product information is found in the key "
                            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "**** Search Zentrivo info ****", "", key + "{A-first}", key + "{B-second}",
                               ". Product version: '2.1.3'", "ATTENTION: could not find InstallLocation in '{A-first}' !",
                               ". Product version: '2.1.5'", ". Installation directory: 'C:\\Program Files\\Vexars\\'"}));
}

TEST_F(Discovery, StrangeVersionCountsAsRead) {
    plant_entry(L"Zentrivo", L"Zentrivo", L"2.2", L"D:\\Z\\");
    EXPECT_TRUE(remover::search_product_info(remover));
    EXPECT_EQ(remover.version, 0);
    EXPECT_EQ(log.texts()[4], "The version '2.2' has strange format, expected 9.9.99 or 9.9.9");
}

TEST_F(Discovery, NothingFound) {
    EXPECT_FALSE(remover::search_product_info(remover));
    EXPECT_EQ(remover.version, -1);
    EXPECT_EQ(log.texts().back(),
              "ATTENTION: could not find keys about 'Zentrivo' in "
              "'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall' !");
}

class ResolveInstallFolder : public Discovery {
protected:
    std::string resolve(int version, const std::string& dir) {
        remover.version = version;
        remover.install_dir = dir;
        remover::resolve_install_folder(remover);
        return remover.install_dir;
    }
    void plant_app_path(const wchar_t* path) {
        auto misc = machine.create(L"Software\\Vexars\\ZENQO\\Misc");
        RegSetValueExW(misc.get(), L"AppPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                       static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
    }
    const std::string default_folder = remover::get_folder_path(CSIDL_PROGRAM_FILES) + "Vexars\\Zentrivo\\";
};

TEST_F(ResolveInstallFolder, NormalisesFromVersion211On) {
    EXPECT_EQ(resolve(21005, "C:\\Program Files\\Vexars\\"), "C:\\Program Files\\Vexars\\Zentrivo\\");
    EXPECT_EQ(resolve(21005, "C:\\Program Files\\Vexars\\Zentrivo\\"), "C:\\Program Files\\Vexars\\Zentrivo\\");
    EXPECT_EQ(resolve(21001, "C:\\Program Files\\Vexars\\Zentrivo"),
              "C:\\Program Files\\Vexars\\ZentrivoZentrivo\\");
    EXPECT_EQ(resolve(20009, "C:\\Program Files\\Vexars\\"), "C:\\Program Files\\Vexars\\");
    const auto lines = log.texts();
    EXPECT_EQ(lines.front(), "Product Version (int): 21005");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(lines[lines.size() - 2], "Zentrivo directory: C:\\Program Files\\Vexars\\");
}

TEST_F(ResolveInstallFolder, NewerVersionIsWarnedAbout) {
    resolve(21006, "C:\\Z\\Zentrivo\\");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Product Version (int): 21006",
                               "This version of ZENQORemover was tested on Zentrivo versions up to 2.1.5. For later "
                               "versions it may not work correctly",
                               "", "Zentrivo directory: C:\\Z\\Zentrivo\\", ""}));
}

TEST_F(ResolveInstallFolder, UnknownVersionCleansPreventivelyInTheDefaultFolder) {
    EXPECT_EQ(resolve(-1, ""), default_folder);
    EXPECT_EQ(remover.version, 21001);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Unable to detect the version of Zentrivo, probably nothing to clean ...",
                               "Making preventive cleaning in assumption that the product was installed before.",
                               "Zentrivo directory: " + default_folder, ""}));
}

TEST_F(ResolveInstallFolder, StoredApplicationPathIsTakenUnchanged) {
    plant_app_path(L"D:\\Apps\\Zentrivo");
    EXPECT_EQ(resolve(0, ""), "D:\\Apps\\Zentrivo");
}

TEST_F(ResolveInstallFolder, RelativeStoredPathGivesTheDefaultFolder) {
    plant_app_path(L"Zentrivo\\");
    EXPECT_EQ(resolve(0, ""), default_folder);
    plant_app_path(L"");
    EXPECT_EQ(resolve(0, ""), default_folder);
}

}  // namespace
