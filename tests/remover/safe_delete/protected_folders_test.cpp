#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remover/files/files.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "support/file_test.hpp"
#include "remover/common/text.hpp"

namespace {

class ProtectedFolders : public test_support::file_test {};

using test_support::present;

TEST_F(ProtectedFolders, AreRefusedInAnyLetterCase) {
    const std::string program_files = remover::get_folder_path(CSIDL_PROGRAM_FILES);
    const std::string profile = remover::get_folder_path(CSIDL_PROFILE);
    const std::string profiles_root = profile.substr(0, profile.rfind('\\', profile.size() - 2) + 1);
    for (const std::string& path :
         {std::string(""), std::string("Zentrivo\\"), std::string("C:"), std::string("C:\\"), std::string("c:/"),
          std::string("\\\\?\\unix\\tmp"), remover::get_folder_path(CSIDL_WINDOWS), program_files,
          program_files.substr(0, program_files.size() - 1), remover::get_folder_path(CSIDL_COMMON_APPDATA),
          profiles_root, profile, remover::get_folder_path(CSIDL_APPDATA), remover::get_folder_path(CSIDL_PROGRAMS),
          remover::get_folder_path(CSIDL_COMMON_DESKTOPDIRECTORY), profile + "AppData",
          program_files + "Vexars\\..\\", remover::ascii_lower(remover::get_folder_path(CSIDL_WINDOWS)),
          remover::ascii_lower(profiles_root)}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(remover::is_protected_folder(path));
    }
    for (const std::string& path : {program_files + "Vexars\\Zentrivo\\", folder.path(),
                                    remover::get_folder_path(CSIDL_APPDATA) + "Vexars"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(remover::is_protected_folder(path));
    }

    const std::string windows = remover::get_folder_path(CSIDL_WINDOWS);
    EXPECT_FALSE(remover::remove_folder_tree(windows));
    EXPECT_TRUE(present(windows + "system32"));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Would not dare to remove '" + windows + "' !"});
}

// Folders from the registry are taken only as local drive-letter paths: a
// share or device form can name this disk's folders (or another computer's)
// another way.
TEST_F(ProtectedFolders, SharesAndDevicePathsAreRefused) {
    const struct {
        const char* path;
        bool local;
    } cases[] = {
        {"C:\\Program Files\\Vexars\\Zentrivo\\", true},
        {"c:/Program Files/Vexars", true},
        {"\\\\localhost\\C$\\Users", false},
        {"\\\\127.0.0.1\\c$\\Windows", false},
        {"\\\\server\\share\\Vexars\\Zentrivo", false},
        {"//localhost/C$/Users", false},
        {"\\\\?\\UNC\\localhost\\C$\\Users", false},
        {"\\\\?\\C:\\Program Files\\Vexars", false},
        {"\\\\.\\C:\\Program Files\\Vexars", false},
        {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", false},
        {"C:Vexars", false},
        {"\\Vexars", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string path(c.path);
        EXPECT_EQ(remover::is_local_drive_path(std::wstring(path.begin(), path.end())), c.local);
        if (!c.local) {
            EXPECT_TRUE(remover::is_protected_folder(path));
        }
    }
    EXPECT_FALSE(remover::remove_folder_tree("\\\\localhost\\C$\\Users"));
    remover::remove_install_folder("\\\\127.0.0.1\\c$\\Windows");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Would not dare to remove '\\\\localhost\\C$\\Users' !",
                                                     "Would not dare to remove '\\\\127.0.0.1\\c$\\Windows' !"}));
}

// Folders built from one the system names keep the protected-folder check
// but may lie on a share or network drive (folder redirection); device and
// namespace forms and share roots stay refused.
TEST_F(ProtectedFolders, FoldersTheSystemNamesMayLieOnShares) {
    using remover::folder_source;
    const std::string appdata = remover::get_folder_path(CSIDL_APPDATA);
    const struct {
        std::string path;
        bool from_registry;  // protected when read from the registry
        bool from_system;    // protected when built from a folder the system names
    } cases[] = {
        {"\\\\server\\share\\Users\\ann\\AppData\\Roaming\\Vexars\\Zentrivo", true, false},
        {"\\\\server\\share\\", true, true},
        {"\\\\server\\share", true, true},
        {"\\\\server", true, true},
        {"\\\\?\\UNC\\server\\share\\Vexars", true, true},
        {"\\\\.\\C:\\Vexars", true, true},
        {"\\\\?\\unix\\tmp\\Vexars", true, true},
        {"C:Vexars", true, true},
        {"Vexars\\Zentrivo", true, true},
        {appdata + "Vexars\\Zentrivo", false, false},
        {appdata, true, true},
        {remover::get_folder_path(CSIDL_WINDOWS), true, true},
        {"C:\\", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(remover::is_protected_folder(c.path, folder_source::registry), c.from_registry);
        EXPECT_EQ(remover::is_protected_folder(c.path, folder_source::system), c.from_system);
    }
}

}  // namespace
