#include "remover/files.hpp"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "remover/product_remover.hpp"
#include "replay/format.hpp"
#include "replay/unicode/unicode.hpp"
#include "support/emulation.hpp"
#include "support/log_capture.hpp"
#include "support/machine_override.hpp"
#include "support/temp_folder.hpp"

namespace {

using test_support::write_file;

bool present(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void make_folder(const std::string& path) { std::filesystem::create_directories(path); }

std::vector<std::string> lines_containing(const std::vector<std::string>& lines, const std::string& part) {
    std::vector<std::string> result;
    for (const auto& line : lines) {
        if (line.find(part) != std::string::npos) result.push_back(line);
    }
    return result;
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                            "scenarios run the same file code");
    }
    void TearDown() override { remover::test_seams() = remover::tree_removal_seams(); }

    test_support::temp_folder folder;
    test_support::log_capture log;
};

// Through handles, and by path as on systems without handle-based checks.
TEST_F(Files, RemoveTreeCountsEveryEntry) {
    for (const bool by_path : {false, true}) {
        SCOPED_TRACE(by_path ? "by path" : "through handles");
        remover::test_seams().by_path = by_path;
        const std::string root = folder / "tree";
        make_folder(root + "\\sub\\deeper");
        write_file(root + "\\a.txt", "a");
        write_file(root + "\\sub\\b.txt", "b");
        write_file(root + "\\sub\\deeper\\c.txt", "c");
        SetFileAttributesA((root + "\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesA((root + "\\sub").c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(remover::remove_tree(root), 6u);
        EXPECT_FALSE(present(root));
        EXPECT_EQ(remover::remove_tree(root), 0u);

        const std::string two = folder / "two";
        make_folder(two);
        write_file(two + "\\1", "1");
        write_file(two + "\\2", "2");
        EXPECT_EQ(remover::remove_tree(two + "\\"), 3u);

        const std::string file = folder / "lone.txt";
        write_file(file, "f");
        EXPECT_EQ(remover::remove_tree(file), 1u);
        EXPECT_FALSE(present(file));
    }
}

TEST_F(Files, RemoveFolderTreeLogsEachOutcome) {
    const std::string root = folder / "product";
    make_folder(root);
    write_file(root + "\\x.dll", "x");
    EXPECT_TRUE(remover::remove_folder_tree(root));
    EXPECT_FALSE(present(root));
    EXPECT_FALSE(remover::remove_folder_tree(root));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{". Folder '" + root + "' was removed",
                                                     "Folder to remove '" + root + "' does NOT EXIST !"}));
}

TEST_F(Files, RemoveFolderTreeReportsAFileItCannotDelete) {
    const std::string root = folder / "locked";
    make_folder(root);
    write_file(root + "\\busy.txt", "x");
    HANDLE busy = CreateFileA((root + "\\busy.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(remover::remove_folder_tree(root));
    CloseHandle(busy);
    EXPECT_TRUE(present(root + "\\busy.txt"));
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("remove_all: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" exception: filesystem[remove_all: "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "! Failed to remove folder '" + root + "' !");
}

TEST_F(Files, ProtectedFoldersAreRefused) {
    const std::string program_files = remover::get_folder_path(CSIDL_PROGRAM_FILES);
    const std::string profile = remover::get_folder_path(CSIDL_PROFILE);
    const std::string profiles_root = profile.substr(0, profile.rfind('\\', profile.size() - 2) + 1);
    for (const std::string& path :
         {std::string(""), std::string("Zentrivo\\"), std::string("C:"), std::string("C:\\"), std::string("c:/"),
          std::string("\\\\?\\unix\\tmp"), remover::get_folder_path(CSIDL_WINDOWS), program_files,
          program_files.substr(0, program_files.size() - 1), remover::get_folder_path(CSIDL_COMMON_APPDATA),
          profiles_root, profile, remover::get_folder_path(CSIDL_APPDATA), remover::get_folder_path(CSIDL_PROGRAMS),
          remover::get_folder_path(CSIDL_COMMON_DESKTOPDIRECTORY), profile + "AppData",
          program_files + "Vexars\\..\\"}) {
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

TEST_F(Files, RemoveEmptyFolderOnlyWhenEmpty) {
    const std::string full = folder / "full";
    const std::string empty = folder / "empty";
    make_folder(full);
    make_folder(empty);
    write_file(full + "\\keep.txt", "k");
    remover::remove_empty_folder(full);
    remover::remove_empty_folder(empty);
    remover::remove_empty_folder(empty);
    EXPECT_TRUE(present(full + "\\keep.txt"));
    EXPECT_FALSE(present(empty));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Do NOT removing folder '" + full + "', as it is not empty !",
                                                     "Removed empty folder '" + empty + "' !",
                                                     "Folder to remove '" + empty + "' does NOT EXIST !"}));
}

TEST_F(Files, RemoveFileLogsTheErrorCode) {
    const std::string file = folder / "a.lnk";
    write_file(file, "x");
    EXPECT_TRUE(remover::remove_file(file));
    EXPECT_FALSE(remover::remove_file(file));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"   " + file + " removed",
                                                     "FAILED TO remove '" + file + "'; error 2 !"}));
}

// A path the ANSI code page cannot decode is the operation's own failure,
// never an exception out of it. Code page 1252 decodes every byte, so ctest
// runs this test alone under code page 932, where a lead byte without its
// trail byte cannot be decoded.
TEST_F(Files, DISABLED_UndecodablePathUnderCodePage932) {
    ASSERT_EQ(GetACP(), 932u);
    const std::string bad = folder / "bad-\x81";
    EXPECT_THROW(replay::unicode::to_wide(bad, replay::unicode::ansi), replay::exception);
    EXPECT_NO_THROW(EXPECT_FALSE(remover::remove_file(bad)));
    EXPECT_NO_THROW(EXPECT_FALSE(remover::remove_folder_tree(bad)));
    // The log shows the byte it cannot decode as U+FFFD (UTF-8 below).
    const std::string shown = folder / "bad-\xEF\xBF\xBD";
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], replay::format("FAILED TO remove '%s'; error %d !", shown.c_str(), ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(lines[2], "! Failed to remove folder '" + shown + "' !");
}

TEST_F(Files, ReadOnlyFoldersAreRemovedLikeReadOnlyFiles) {
    const std::string root = folder / "ro";
    make_folder(root + "\\inner");
    write_file(root + "\\inner\\f.txt", "f");
    SetFileAttributesA((root + "\\inner").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(root.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(remover::remove_tree(root), 3u);
    EXPECT_FALSE(present(root));
}

// Paths far beyond 260 characters: created through their extended-length
// form, removed whole and counted right, read-only entries included.
TEST_F(Files, TreesDeeperThanMaxPathAreRemovedAndCounted) {
    const std::wstring root = std::wstring(L"\\\\?\\") + std::wstring(folder.path().begin(), folder.path().end()) +
                              L"\\deep";
    std::wstring path = root;
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    for (int level = 0; level < 12; ++level) {
        path += L"\\cache-level-" + std::to_wstring(level) + L"-abcdefghijklmnopqrstuvwxyz";
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }
    ASSERT_GT(path.size(), 400u);
    for (const wchar_t* name : {L"\\a.bin", L"\\b.bin"}) {
        const HANDLE file = CreateFileW((path + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    ASSERT_TRUE(CreateDirectoryW((path + L"\\last").c_str(), nullptr));
    SetFileAttributesW((path + L"\\a.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((path + L"\\last").c_str(), FILE_ATTRIBUTE_READONLY);

    const std::string shown = folder / "deep";
    EXPECT_TRUE(remover::remove_folder_tree(shown));
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(log.texts(), std::vector<std::string>{". Folder '" + shown + "' was removed"});

    // 1 root + 12 levels + 2 files + 1 folder.
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    std::wstring again = root;
    for (int level = 0; level < 12; ++level) {
        again += L"\\level-" + std::to_wstring(level) + L"-abcdefghijklmnopqrstuvwxyz0123456789";
        ASSERT_TRUE(CreateDirectoryW(again.c_str(), nullptr));
    }
    EXPECT_EQ(remover::remove_tree(shown), 13u);
}

#ifdef _WIN64
// Links inside a tree. Windows code cannot create links under Wine, but a Unix
// program started through its \\?\unix\ path can; its symbolic links are what
// Windows code sees as links. Only the test's temporary folder is touched.
// Built for 64 bits only: the 32-bit program under qemu cannot start others.

// The Unix path of a Windows path under Wine; empty elsewhere.
std::string unix_path(const std::string& path) {
    using function = char*(CDECL*)(LPCWSTR);
    const auto to_unix = reinterpret_cast<function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (to_unix == nullptr) return std::string();
    char* name = to_unix(std::wstring(path.begin(), path.end()).c_str());
    if (name == nullptr) return std::string();
    const std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a shell script with /bin/sh under Wine and waits until done() holds.
// Wine gives no handle of a Unix process, hence the wait for its effect.
template <typename Done>
::testing::AssertionResult run_shell(const std::string& script, Done done) {
    std::wstring command = L"sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"\\\\?\\unix\\bin\\sh", command.data(), nullptr, nullptr, /*inherit=*/FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return ::testing::AssertionFailure() << "cannot start /bin/sh: error " << GetLastError();
    }
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    for (int wait = 0; wait < 1000; ++wait) {
        if (done()) return ::testing::AssertionSuccess();
        Sleep(10);
    }
    return ::testing::AssertionFailure() << "no effect of: " << script;
}

bool is_folder_link(const std::string& path) {
    return GetFileAttributesA(path.c_str()) == (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
}

// A folder of files that are not the product's, and its content.
const std::vector<std::pair<std::string, std::string>> victim_files = {
    {"a.dat", "victim a"}, {"b.dat", "victim b"}, {"c.dat", "victim c"}, {"inner\\d.dat", "victim d"}};

class TreeLinks : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        if (IsSkipped()) return;
        root_unix = unix_path(folder.path());
        if (root_unix.empty()) GTEST_SKIP() << "links are planted with a Unix program, which only Wine starts";
        victim = folder / "victim";
        make_folder(victim + "\\inner");
        for (const auto& [name, content] : victim_files) write_file(victim + "\\" + name, content);
        tree = folder / "tree";
    }

    // The product's tree: its files have the victim's names.
    void build_tree() {
        make_folder(tree + "\\sub\\inner");
        for (const char* name : {"\\sub\\a.dat", "\\sub\\b.dat", "\\sub\\inner\\d.dat"}) {
            write_file(tree + name, "product");
        }
    }

    // The Unix path of a path in the temporary folder, quoted for the shell.
    std::string shell_path(const std::string& path) {
        const std::string unix = unix_path(path);
        EXPECT_EQ(unix.compare(0, root_unix.size() + 1, root_unix + "/"), 0) << unix;
        return "'" + unix + "'";
    }

    void expect_victim_intact() {
        for (const auto& [name, content] : victim_files) {
            SCOPED_TRACE(name);
            EXPECT_EQ(test_support::read_file(victim + "\\" + name), content);
        }
        EXPECT_EQ(remover::list_files(victim + "\\", "*").size(), 3u);
    }

    std::string root_unix, victim, tree;
};

// A link planted before the removal: one to a folder shows as a link in a
// listing, one to a file looks like a plain file and only its handle's name
// tells.
TEST_F(TreeLinks, LinksInTheTreeAreNotFollowed) {
    struct planted {
        const char* link;    // below the tree
        const char* target;  // below the victim
    };
    for (const planted& row : {planted{"\\sub\\folder-link", ""}, planted{"\\sub\\file-link.dat", "\\a.dat"}}) {
        SCOPED_TRACE(row.link);
        const std::string link = tree + row.link;
        build_tree();
        ASSERT_TRUE(run_shell("ln -s -T " + shell_path(victim + row.target) + " " + shell_path(link),
                              [&] { return present(link); }));
        try {
            remover::remove_tree(tree);
            ADD_FAILURE() << "the link that stays is not reported";
        } catch (const remover::filesystem_error& e) {
            EXPECT_EQ(e.message(), "remove_all: a link is not followed and stays: \"" + link + "\"");
        }
        expect_victim_intact();
        EXPECT_TRUE(present(link));
        // The product's own entries beside the link went.
        auto left = remover::list_files(tree + "\\sub\\", "*");
        for (const auto& name : remover::list_subfolders(tree + "\\sub\\")) left.push_back(name);
        EXPECT_EQ(left, std::vector<std::string>{row.link + 5});
        ASSERT_TRUE(run_shell("rm -f " + shell_path(link), [&] { return !present(link); }));
        EXPECT_EQ(remover::remove_tree(tree), 2u);
    }
}

// A folder replaced by a link after the removal has opened and checked it, or
// one of its files: what the removal holds is not the link, and what it has
// not opened yet is looked up in the folder it holds, so the link's target
// keeps every file.
TEST_F(TreeLinks, AFolderReplacedByALinkAfterItsCheckIsNotFollowed) {
    const std::string sub = tree + "\\sub";
    struct swap {
        std::wstring trigger;
        std::string sub, script;
        bool tried = false, planted = false;
    };
    for (const char* moment : {"\\sub", "\\sub\\a.dat", "\\sub\\inner"}) {
        SCOPED_TRACE(moment);
        build_tree();
        swap state{std::wstring(tree.begin(), tree.end()) + std::wstring(moment, moment + strlen(moment)), sub,
                   "mv -T " + shell_path(sub) + " " + shell_path(sub + ".moved") + " && ln -s -T " +
                       shell_path(victim) + " " + shell_path(sub)};
        remover::test_seams().context = &state;
        remover::test_seams().entry_checked = [](const std::wstring& path, void* context) {
            auto& swap = *static_cast<struct swap*>(context);
            if (swap.tried || path != swap.trigger) return;
            swap.tried = true;
            swap.planted = run_shell(swap.script, [&] { return is_folder_link(swap.sub); });
        };
        EXPECT_THROW(remover::remove_tree(tree), remover::filesystem_error);
        EXPECT_TRUE(state.planted);
        expect_victim_intact();
        remover::test_seams() = remover::tree_removal_seams();
        ASSERT_TRUE(run_shell("rm -f " + shell_path(sub), [&] { return !present(sub); }));
        EXPECT_GT(remover::remove_tree(tree), 0u);
    }
}
#endif

TEST(RelativePath, BelowTheBaseIgnoringCase) {
    EXPECT_EQ(remover::relative_path("C:\\Users\\Ann\\AppData\\Roaming\\Vexars\\Suite", "C:\\Users\\Ann\\"),
              "AppData\\Roaming\\Vexars\\Suite");
    EXPECT_EQ(remover::relative_path("C:\\USERS\\ann\\AppData", "c:\\users\\Ann"), "AppData");
    EXPECT_EQ(remover::relative_path("D:\\Other\\Place", "C:\\Users\\Ann\\"), "");
    EXPECT_EQ(remover::relative_path("C:\\Us", "C:\\Users\\Ann\\"), "");
}

TEST_F(Files, ListingsKeepFilesOrFolders) {
    make_folder(folder / "sub");
    make_folder(folder / ".hidden");
    write_file(folder / "Zentrivo.dat", "z");
    write_file(folder / "other.txt", "o");
    const std::string base = folder.path() + "\\";
    EXPECT_EQ(remover::list_files(base, "Zentrivo.*"), std::vector<std::string>{"Zentrivo.dat"});
    auto files = remover::list_files(base, "*");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Zentrivo.dat", "other.txt"}));
    EXPECT_EQ(remover::list_subfolders(base), std::vector<std::string>{"sub"});
    EXPECT_TRUE(remover::list_files(base + "missing\\", "*").empty());
}

class InstallFolder : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(machine.status(), ERROR_SUCCESS);
        folders = machine.create(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders");
        ASSERT_TRUE(folders);
    }
    void do_register(const std::string& path) {
        const std::wstring name(path.begin(), path.end());
        RegSetValueExW(folders.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
    }
    bool registered(const std::string& path) {
        const std::wstring name(path.begin(), path.end());
        return RegQueryValueExW(folders.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    test_support::machine_override machine;
    replay::unique_hkey folders;
};

TEST_F(InstallFolder, RegisteredEmptyParentsGoUntilOneIsNot) {
    const std::string maker = folder / "Vexars";
    const std::string product = maker + "\\Zentrivo";
    make_folder(product);
    do_register(product + "\\");
    do_register(maker + "\\");
    remover::remove_install_folder(product);
    EXPECT_FALSE(present(maker));
    EXPECT_FALSE(registered(product + "\\"));
    EXPECT_FALSE(registered(maker + "\\"));
    EXPECT_TRUE(present(folder.path()));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Install Folder '" + product + "' was removed also.",
                               "Install Folder '" + maker + "\\' was removed also.",
                               "Can't remove Install Folder '" + folder.path() +
                                   "\\' (not found, nonempty, or locked).",
                           }));
}

TEST_F(InstallFolder, UnregisteredOrNonEmptyFoldersStay) {
    const std::string maker = folder / "Vexars";
    make_folder(maker + "\\Zentrivo");
    make_folder(maker + "\\OtherProduct");
    do_register(maker + "\\Zentrivo\\");
    remover::remove_install_folder(maker + "\\Zentrivo");
    EXPECT_FALSE(present(maker + "\\Zentrivo"));
    EXPECT_TRUE(present(maker + "\\OtherProduct"));
    // The walk ends silently at the parent that still holds another product.
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Install Folder '" + maker + "\\Zentrivo' was removed also."});

    log.clear();
    const std::string unregistered = folder / "Unregistered";
    make_folder(unregistered);
    remover::remove_install_folder(unregistered);
    EXPECT_TRUE(present(unregistered));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Can't remove Install Folder '" + unregistered +
                                                    "' (not found, nonempty, or locked)."});
}

TEST_F(Files, ToolsShortcutGoesOnlyWhenItIsTheLastOne) {
    const std::string group = "ZqGroup" + std::to_string(GetCurrentProcessId());
    const std::string root = remover::get_folder_path(CSIDL_COMMON_PROGRAMS) + group;
    make_folder(root);
    write_file(root + "\\Zentrivo.lnk", "l");
    write_file(root + "\\VEXARtools.lnk", "t");
    remover::remove_shortcuts(group, "Zentrivo");
    EXPECT_FALSE(present(root));

    make_folder(root);
    write_file(root + "\\Zentrivo.lnk", "l");
    write_file(root + "\\VEXARtools.lnk", "t");
    write_file(root + "\\Other.lnk", "o");
    remover::remove_shortcuts(group, "Zentrivo");
    EXPECT_FALSE(present(root + "\\Zentrivo.lnk"));
    EXPECT_TRUE(present(root + "\\VEXARtools.lnk"));
    EXPECT_TRUE(present(root + "\\Other.lnk"));
    std::filesystem::remove_all(root);
}

TEST_F(Files, VirtualStoreCopiesOfEveryProfileAreCounted) {
    const std::string profile = remover::get_folder_path(CSIDL_PROFILE);
    const std::string profiles = profile.substr(0, profile.rfind('\\', profile.size() - 2) + 1);
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string store = "\\AppData\\Local\\VirtualStore\\ProgramData\\Vexars";
    const std::string first = profiles + "zq-a-" + tag, second = profiles + "zq-b-" + tag;
    make_folder(first + store);
    write_file(first + store + "\\1.dat", "1");
    write_file(first + store + "\\2.dat", "2");
    make_folder(second + store + "\\sub");
    write_file(second + store + "\\sub\\3.dat", "3");
    EXPECT_EQ(remover::rmove_virtual_store(), 3 + 3);
    EXPECT_FALSE(present(first + store));
    EXPECT_TRUE(present(first + "\\AppData\\Local\\VirtualStore\\ProgramData"));
    std::filesystem::remove_all(first);
    std::filesystem::remove_all(second);
}

TEST_F(Files, FolderInEveryProfile) {
    remover::remove_dir_in_userappdata_for_allprofiles("");
    EXPECT_EQ(log.texts(), std::vector<std::string>{
                               "empty parameter is not allowed for remove_dir_in_userappdata_for_allprofiles()"});
    const std::string profile = remover::get_folder_path(CSIDL_PROFILE);
    const std::string profiles = profile.substr(0, profile.rfind('\\', profile.size() - 2) + 1);
    const std::string other = profiles + "zq-c-" + std::to_string(GetCurrentProcessId());
    const std::string relative = "AppData\\Roaming\\Vexars\\ZqSuite";
    make_folder(other + "\\" + relative + "\\cfg");
    write_file(other + "\\" + relative + "\\cfg\\a.xml", "a");
    log.clear();
    remover::remove_dir_in_userappdata_for_allprofiles(relative);
    EXPECT_FALSE(present(other + "\\" + relative));
    EXPECT_EQ(lines_containing(log.texts(), "zq-c-"),
              std::vector<std::string>{"removing " + other + "\\" + relative});
    std::filesystem::remove_all(other);
}

TEST_F(Files, BraceFoldersGoOnlyWithAMatchingFile) {
    const std::string common = remover::get_folder_path(CSIDL_COMMON_APPDATA);
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string cache = "{zq-cache-" + tag + "}", other = "{zq-other-" + tag + "}", plain = "zq-plain-" + tag;
    make_folder(common + cache);
    write_file(common + cache + "\\Zentrivo.msi", "m");
    make_folder(common + other);
    write_file(common + other + "\\Other.msi", "o");
    make_folder(common + plain);
    write_file(common + plain + "\\Zentrivo.msi", "p");
    remover::remove_common_appdata_folders("Zentrivo.*");
    EXPECT_FALSE(present(common + cache));
    EXPECT_TRUE(present(common + other + "\\Other.msi"));
    EXPECT_TRUE(present(common + plain + "\\Zentrivo.msi"));
    EXPECT_EQ(lines_containing(log.texts(), "zq-"),
              (std::vector<std::string>{". Folder '" + common + cache + "' was removed",
                                        common + "\\" + other + " - ignore folder"}));
    std::filesystem::remove_all(common + other);
    std::filesystem::remove_all(common + plain);
}

}  // namespace
