#include "remover/files/forced_removal.hpp"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "remover/common/run_outcome.hpp"
#include "remover/common/trust.hpp"
#include "remover/files/files.hpp"
#include "replay/handle.hpp"
#include "support/file_test.hpp"

namespace {

using test_support::make_folder;
using test_support::present;
using test_support::write_file;

// Only administrators and SYSTEM may change it, and Administrators own it.
constexpr wchar_t admin_only[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)";
// What Wine gives every folder: the running account owns it and may write.
constexpr wchar_t runner_default[] =
    L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)";

// The descriptors the folders of a case have, by path: Wine reports every
// file as owned by the running account and builds its access list from the
// Unix mode, whatever is set, so the decision is tested on descriptors the
// way Windows would give them back. A folder not in the table has the
// running account's default (it may write).
std::map<std::wstring, std::wstring>* folder_descriptors = nullptr;

std::string refusal_from_table(const std::wstring& folder) {
    const auto found = folder_descriptors->find(folder);
    const std::wstring sddl = found == folder_descriptors->end() ? runner_default : found->second;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return "bad descriptor";
    const replay::local_memory_handle owner(descriptor);
    std::string refusal = remover::write_refusal(descriptor, remover::writers::administrators, nullptr);
    if (refusal.empty()) refusal = remover::owner_refusal(descriptor);
    return refusal;
}

std::wstring wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

const wchar_t pending_key[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t pending_value[] = L"PendingFileRenameOperations";

// The queued operations, read raw; empty when there are none.
std::wstring pending() {
    std::vector<wchar_t> data(65536);
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, pending_key, pending_value, RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                     &size) != ERROR_SUCCESS)
        return {};
    return std::wstring(data.data(), size / sizeof(wchar_t));
}

void restore_pending(const std::wstring& before) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, pending_key, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    if (before.empty()) {
        RegDeleteValueW(key, pending_value);
    } else {
        RegSetValueExW(key, pending_value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(before.data()),
                       static_cast<DWORD>(before.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

bool queued(const std::wstring& operations, const std::string& path) {
    return operations.find(L"\\??\\" + std::wstring(path.begin(), path.end()) + L'\0') != std::wstring::npos;
}

class ForcedRemoval : public test_support::file_test {
protected:
    void SetUp() override {
        file_test::SetUp();
        if (IsSkipped()) return;
        before_ = pending();
        saved_ = true;
        remover::outcome::clear();
        folder_descriptors = &descriptors;
        remover::restart_test_seams().folder_refusal = refusal_from_table;
    }
    void TearDown() override {
        remover::restart_test_seams() = remover::restart_seams();
        if (saved_) restore_pending(before_);
        remover::outcome::clear();
        file_test::TearDown();
    }

    // A file of folder\bin held open without delete sharing, beside another.
    HANDLE hold(const std::string& root) {
        make_folder(root + "\\bin");
        write_file(root + "\\bin\\Shell.dll", "x");
        write_file(root + "\\Zentrivo.cfg", "c");
        return CreateFileA((root + "\\bin\\Shell.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }

    std::map<std::wstring, std::wstring> descriptors;
    std::wstring before_;
    bool saved_ = false;
};

// What a tree removal reports of an entry that stayed tells both whether it
// is in use (queued for deletion at the next start) and whether its access
// list refused the administrators (taken over). Under Wine a file's access
// list is not enforced (opens succeed whatever it says), so this is decided
// on the reported entries: only what could not even be opened for its
// deletion is taken over.
TEST(KeptEntryDecisions, InUseOrTakenOver) {
    struct row {
        const char* name;
        DWORD error;
        bool opened;
        bool folder;
        bool holds_kept;
        bool in_use;
        bool taken_over;
    };
    const row rows[] = {
        {"a file another program holds", ERROR_SHARING_VIOLATION, false, false, false, true, false},
        {"a file held, opened first", ERROR_SHARING_VIOLATION, true, false, false, true, false},
        {"a locked range", ERROR_LOCK_VIOLATION, false, false, false, true, false},
        {"a mapped file", ERROR_USER_MAPPED_FILE, true, false, false, true, false},
        {"a loaded image: opened, then refused", ERROR_ACCESS_DENIED, true, false, false, true, false},
        {"its access list refuses the deletion", ERROR_ACCESS_DENIED, false, false, false, false, true},
        {"a folder another program holds", ERROR_SHARING_VIOLATION, false, true, false, false, false},
        {"a folder kept by what it holds", ERROR_DIR_NOT_EMPTY, true, true, true, false, false},
        {"a link that is not followed", remover::link_not_removed, false, false, false, false, false},
        {"gone meanwhile, opened", ERROR_FILE_NOT_FOUND, true, false, false, false, false},
        {"gone meanwhile", ERROR_FILE_NOT_FOUND, false, false, false, false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        remover::kept_entry entry;
        entry.error = r.error;
        entry.opened = r.opened;
        entry.folder = r.folder;
        entry.holds_kept = r.holds_kept;
        EXPECT_EQ(remover::is_in_use(entry), r.in_use);
        EXPECT_EQ(remover::refuses_administrators(entry), r.taken_over);
    }
}

// Every folder from the entry's own up to the one that holds the removed tree
// must be closed to others, owner included; folders above are not judged.
TEST_F(ForcedRemoval, OnlyFoldersThatNobodyElseMayChangeAllowAQueuedDeletion) {
    const std::string top = folder / "Vendor";
    const std::string root = top + "\\Product";
    make_folder(root + "\\bin");
    write_file(root + "\\bin\\x.dll", "x");
    const std::wstring file = wide(root + "\\bin\\x.dll");
    const wchar_t* users_write = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    const wchar_t* user_owned = L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    struct row {
        const char* name;
        const wchar_t* top;
        const wchar_t* root;
        const wchar_t* bin;
        const char* refusal;  // a part of it; empty when the deletion may be queued
    };
    const row rows[] = {
        {"all closed", admin_only, admin_only, admin_only, ""},
        {"the running account's defaults", nullptr, nullptr, nullptr,
         "S-1-5-21-0-0-0-1000 may write to the folder ('"},
        {"the file's own folder open to users", admin_only, admin_only, users_write,
         "S-1-5-32-545 may write to the folder ('"},
        {"a folder between open to users", admin_only, users_write, admin_only, "S-1-5-32-545 may write"},
        {"the tree's parent open to users", users_write, admin_only, admin_only, "S-1-5-32-545 may write"},
        {"a folder owned by a user", admin_only, user_owned, admin_only,
         "its owner S-1-5-21-1-2-3-1001 is not an administrator"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        descriptors.clear();
        if (r.top) descriptors[wide(top)] = r.top;
        if (r.root) descriptors[wide(root)] = r.root;
        if (r.bin) descriptors[wide(root + "\\bin")] = r.bin;
        // Above the tree's parent, the running account's defaults do not count.
        const std::string refusal = remover::restart_refusal(file, wide(top));
        if (*r.refusal == 0) {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(r.refusal), std::string::npos) << refusal;
        }
    }
}

TEST_F(ForcedRemoval, AFileInUseInAnAdministratorsFolderGoesAtTheRestartWithItsFolders) {
    const std::string top = folder / "Vendor";
    const std::string root = top + "\\Product";
    HANDLE busy = hold(root);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    for (const std::string& f : {top, root, root + "\\bin"}) descriptors[wide(f)] = admin_only;
    EXPECT_TRUE(remover::remove_folder_tree(root));
    CloseHandle(busy);
    EXPECT_FALSE(present(root + "\\Zentrivo.cfg"));
    EXPECT_TRUE(present(root + "\\bin\\Shell.dll"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Scheduled for removal at the next restart: '" + root + "\\bin\\Shell.dll'",
                               "Scheduled for removal at the next restart: '" + root + "\\bin'",
                               "Scheduled for removal at the next restart: '" + root + "'"}));
    const std::wstring operations = pending();
    for (const std::string& path : {root + "\\bin\\Shell.dll", root + "\\bin", root}) {
        EXPECT_TRUE(queued(operations, path)) << path;
    }
    // The file before its folder, the folder before its parent.
    EXPECT_LT(operations.find(L"Shell.dll"), operations.find(L"\\bin\0", 0, 5));
    EXPECT_EQ(remover::outcome::entries(remover::outcome::kind::scheduled).size(), 3u);
    EXPECT_TRUE(remover::outcome::entries(remover::outcome::kind::failed).empty());
}

TEST_F(ForcedRemoval, AFileInUseWhereOthersMayWriteStaysAndIsSaid) {
    const std::string root = folder / "Data";
    HANDLE busy = hold(root);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(remover::remove_folder_tree(root));
    CloseHandle(busy);
    EXPECT_FALSE(present(root + "\\Zentrivo.cfg"));
    EXPECT_TRUE(present(root + "\\bin\\Shell.dll"));
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("Not scheduled for removal at the next restart: '" + root + "\\bin\\Shell.dll': ", 0),
              0u)
        << lines[0];
    EXPECT_NE(lines[0].find("may write to the folder"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("remove_all: ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("\\bin\\Shell.dll\""), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "! Failed to remove folder '" + root + "' !");
    EXPECT_FALSE(queued(pending(), root + "\\bin\\Shell.dll"));
    EXPECT_TRUE(remover::outcome::entries(remover::outcome::kind::scheduled).empty());
    // The file that stayed, then its folder tree, each with the file's error.
    const auto failed = remover::outcome::entries(remover::outcome::kind::failed);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(failed[1].name, std::wstring(root.begin(), root.end()));
    EXPECT_EQ(failed[1].error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

}  // namespace
