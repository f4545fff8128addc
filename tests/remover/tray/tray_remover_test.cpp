#include "remover/tray/tray_remover.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_folder.hpp"

namespace {

struct tray_case {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    int products;
};

// Which configuration files count as products that still use the tray.
TEST(TrayProducts, CountedFromTheConfigurationFiles) {
    const tray_case cases[] = {
        {"nothing left but the tray's own file", {"tktray.xml"}, {}, 0},
        {"the tray's own file in capitals", {"TKTRAY.XML"}, {}, 0},
        {"one other product", {"tktray.xml", "backup.xml"}, {}, 1},
        {"MILVA and TORKA count as one", {"tktray.xml", "milva.xml", "TORKA.xml"}, {}, 1},
        {"MILVA alone counts as one", {"milva.xml"}, {}, 1},
        {"MILVA, TORKA and another", {"Milva.xml", "torka.xml", "backup.xml"}, {}, 2},
        {"folders and other extensions are no configurations", {"notes.txt", "old.xml~", "a.xmlx"},
         {"folder.xml"}, 0},
    };
    for (const tray_case& c : cases) {
        SCOPED_TRACE(c.what);
        test_support::temp_folder folder;
        for (const auto& name : c.files) test_support::write_file(folder / name, "<tray/>");
        for (const auto& name : c.folders) std::filesystem::create_directories(folder / name);
        remover::tray_remover tray(L"Vexars", L"Tray", L"ZENQO", L"VexarsTray.exe");
        const std::string path = folder.path() + "\\";
        EXPECT_EQ(tray.count_tray_products(std::wstring(path.begin(), path.end())), c.products);
    }
}

TEST(TrayProducts, AMissingFolderCountsNone) {
    remover::tray_remover tray(L"Vexars", L"Tray", L"ZENQO", L"VexarsTray.exe");
    EXPECT_EQ(tray.count_tray_products(L"C:\\no such folder\\Configurations\\"), 0);
}

}  // namespace
