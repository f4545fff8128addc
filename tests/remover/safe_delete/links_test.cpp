#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remover/files/files.hpp"
#include "remover/files/take_over.hpp"
#include "remover/safe_delete/safe_delete.hpp"
#include "replay/system_function.hpp"
#include "support/file_test.hpp"

namespace {

using test_support::make_folder;
using test_support::present;
using test_support::write_file;

#ifdef _WIN64
// Links inside a tree. Windows code cannot create links under Wine, but a Unix
// program started through its \\?\unix\ path can; its symbolic links are what
// Windows code sees as links. Only the test's temporary folder is touched.
// Built for 64 bits only: the 32-bit program under qemu cannot start others.

// The Unix path of a Windows path under Wine; empty elsewhere.
std::string unix_path(const std::string& path) {
    using function = char*(CDECL*)(LPCWSTR);
    static const auto to_unix = replay::system_function<function>(L"kernel32.dll", "wine_get_unix_file_name");
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

class TreeLinks : public test_support::file_test {
protected:
    void SetUp() override {
        file_test::SetUp();
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

// The same swap between the take-over's check of a path and its open: the
// file behind the link is not the product's and is neither taken over nor
// said to be; the product's own file is, once the link is gone.
TEST_F(TreeLinks, AFolderReplacedByALinkAfterTheTakeOversCheckIsNotFollowed) {
    build_tree();
    const std::string sub = tree + "\\sub", file = sub + "\\a.dat";
    const std::wstring wide(file.begin(), file.end());
    struct swap {
        std::string sub, script;
        bool planted = false;
    } state{sub, "mv -T " + shell_path(sub) + " " + shell_path(sub + ".moved") + " && ln -s -T " +
                     shell_path(victim) + " " + shell_path(sub)};
    remover::test_seams().context = &state;
    remover::test_seams().entry_checked = [](const std::wstring&, void* context) {
        auto& swap = *static_cast<struct swap*>(context);
        if (!swap.planted) swap.planted = run_shell(swap.script, [&] { return is_folder_link(swap.sub); });
    };
    EXPECT_EQ(remover::take_over_file(wide), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    remover::test_seams() = remover::tree_removal_seams();
    EXPECT_TRUE(state.planted);
    EXPECT_EQ(log.texts(), std::vector<std::string>{});
    expect_victim_intact();

    ASSERT_TRUE(run_shell("rm -f " + shell_path(sub) + " && mv -T " + shell_path(sub + ".moved") + " " +
                              shell_path(sub),
                          [&] { return !is_folder_link(sub) && present(file); }));
    EXPECT_EQ(remover::take_over_file(wide), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Taken over: '" + file +
                                                    "' (its access list refused the administrators)"});
}

// A folder on the way to a path is a link to another folder (a user replaced
// the maker's folder by one): nothing in that other folder is the product's,
// whichever deletion reaches it.
TEST_F(TreeLinks, NothingBehindALinkAboveThePathIsRemoved) {
    make_folder(victim + "\\empty");
    const std::string group = folder / "group";
    ASSERT_TRUE(run_shell("ln -s -T " + shell_path(victim) + " " + shell_path(group),
                          [&] { return is_folder_link(group); }));
    EXPECT_EQ(remover::delete_file_safely(group + "\\a.dat"), remover::link_not_removed);
    EXPECT_EQ(remover::remove_empty_folder_safely(group + "\\empty"), remover::link_not_removed);
    for (const char* below : {"\\empty", "\\inner", "\\b.dat"}) {
        SCOPED_TRACE(below);
        try {
            remover::remove_tree(group + below);
            ADD_FAILURE() << "the path behind the link is not reported";
        } catch (const remover::filesystem_error& e) {
            EXPECT_EQ(e.message(), "remove_all: a link is not followed and stays: \"" + group + below + "\"");
        }
    }
    EXPECT_FALSE(remover::remove_file(group + "\\c.dat"));
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"FAILED TO remove '" + group + "\\c.dat'; it is a link, which is not followed !"});
    expect_victim_intact();
    EXPECT_TRUE(present(victim + "\\empty"));
    // The temporary folder's clean-up would follow the link: it goes first.
    ASSERT_TRUE(run_shell("rm -f " + shell_path(group), [&] { return !is_folder_link(group); }));
}

// A file whose attributes cannot be read (here a link whose target is
// missing) is not deleted by its path: the error is returned and it stays.
TEST_F(TreeLinks, AFileWhoseAttributesCannotBeReadStays) {
    const std::string dangling = folder / "dangling.dat";
    const std::string made = folder / "made", kept = folder / "kept";
    // Windows code neither lists nor reads such a link: the shell says when
    // it is there.
    ASSERT_TRUE(run_shell("ln -s -T " + shell_path(folder / "missing") + " " + shell_path(dangling) +
                              " && touch " + shell_path(made),
                          [&] { return present(made); }));
    EXPECT_EQ(remover::delete_file_safely(dangling), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(run_shell("test -L " + shell_path(dangling) + " && touch " + shell_path(kept),
                          [&] { return present(kept); }));
    ASSERT_TRUE(run_shell("rm -f " + shell_path(dangling) + " " + shell_path(made),
                          [&] { return !present(made); }));
}
#endif

}  // namespace
