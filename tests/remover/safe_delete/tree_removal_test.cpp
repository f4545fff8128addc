#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remover/files/files.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "support/file_test.hpp"

namespace {

class TreeRemoval : public test_support::file_test {};

using test_support::make_folder;
using test_support::present;
using test_support::write_file;

// Through handles, and by path as on systems without handle-based checks.
TEST_F(TreeRemoval, RemoveTreeCountsEveryEntry) {
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

// One entry that cannot go keeps only itself and the folders that hold it:
// everything listed after it goes too, and remove_tree names it.
TEST_F(TreeRemoval, GoesOnPastAnEntryItCannotDelete) {
    for (const bool by_path : {false, true}) {
        SCOPED_TRACE(by_path ? "by path" : "through handles");
        remover::test_seams().by_path = by_path;
        const std::string root = folder / (by_path ? "paths" : "handles");
        make_folder(root + "\\a\\inner");
        make_folder(root + "\\z");
        write_file(root + "\\a\\busy.dll", "b");
        write_file(root + "\\a\\later.txt", "l");
        write_file(root + "\\a\\inner\\x.txt", "x");
        write_file(root + "\\b.txt", "b");
        write_file(root + "\\z\\y.txt", "y");
        HANDLE busy = CreateFileA((root + "\\a\\busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(busy, INVALID_HANDLE_VALUE);
        const remover::tree_outcome outcome = remover::remove_tree_reporting(root);
        EXPECT_EQ(outcome.removed, 6u);
        for (const char* gone : {"\\a\\later.txt", "\\a\\inner", "\\b.txt", "\\z"}) {
            EXPECT_FALSE(present(root + gone)) << gone;
        }
        ASSERT_EQ(outcome.kept.size(), 3u);
        const std::wstring wide(root.begin(), root.end());
        EXPECT_EQ(outcome.kept[0].path, wide + L"\\a\\busy.dll");
        EXPECT_EQ(outcome.kept[0].error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(outcome.kept[0].holds_kept);
        EXPECT_EQ(outcome.kept[0].message.rfind("remove_all: ", 0), 0u);
        EXPECT_NE(outcome.kept[0].message.find("busy.dll\""), std::string::npos) << outcome.kept[0].message;
        EXPECT_EQ(outcome.kept[1].path, wide + L"\\a");
        EXPECT_EQ(outcome.kept[2].path, wide);
        for (size_t i = 1; i < 3; ++i) {
            EXPECT_TRUE(outcome.kept[i].holds_kept && outcome.kept[i].folder);
            EXPECT_EQ(outcome.kept[i].error, static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
        }
        // remove_tree goes as far and names the entry that stayed.
        write_file(root + "\\b.txt", "b");
        try {
            remover::remove_tree(root);
            ADD_FAILURE() << "no failure raised";
        } catch (const remover::filesystem_error& e) {
            EXPECT_EQ(e.message(), outcome.kept[0].message);
        }
        EXPECT_FALSE(present(root + "\\b.txt"));
        CloseHandle(busy);
        EXPECT_EQ(remover::remove_tree(root), 3u);
    }
}

TEST_F(TreeRemoval, ReadOnlyFoldersAreRemovedLikeReadOnlyFiles) {
    const std::string root = folder / "ro";
    make_folder(root + "\\inner");
    write_file(root + "\\inner\\f.txt", "f");
    SetFileAttributesA((root + "\\inner").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(root.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(remover::remove_tree(root), 3u);
    EXPECT_FALSE(present(root));
}

// A tree removal run on a thread of its own.
struct deep_removal {
    std::string root;
    std::uintmax_t removed = 0;
    std::string failure;
};

DWORD WINAPI remove_on_thread(void* context) {
    auto& work = *static_cast<deep_removal*>(context);
    try {
        work.removed = remover::remove_tree(work.root);
    } catch (const std::exception& e) {
        work.failure = e.what();
    }
    return 0;
}

// A deep tree removed on a thread with a small stack reservation (64 KiB,
// where one call per level would take about half a kilobyte a level): every
// level goes. Wine may give the thread more stack than it asked for.
TEST_F(TreeRemoval, DepthCostsNoStack) {
    constexpr int levels = 600;
    constexpr SIZE_T small_stack = 64 * 1024;
    deep_removal work{folder / "deep", 0, {}};
    std::wstring path = L"\\\\?\\" + std::wstring(work.root.begin(), work.root.end());
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    for (int level = 1; level < levels; ++level) {
        path += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << level << ": " << GetLastError();
    }
    const HANDLE file = CreateFileW((path + L"\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    const HANDLE thread =
        CreateThread(nullptr, small_stack, remove_on_thread, &work, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 300 * 1000), WAIT_OBJECT_0);  // a generous bound
    CloseHandle(thread);
    EXPECT_EQ(work.failure, "");
    EXPECT_EQ(work.removed, static_cast<std::uintmax_t>(levels + 1));
    EXPECT_FALSE(present(work.root));
}

// Paths far beyond 260 characters: created through their extended-length
// form, removed whole and counted right, read-only entries included.
TEST_F(TreeRemoval, TreesDeeperThanMaxPathAreRemovedAndCounted) {
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

}  // namespace
