#include "remover/common/profiles.hpp"

#include <gtest/gtest.h>

#include "replay/unicode/names.hpp"
#include "replay/unicode/unicode.hpp"
#include "support/scratch_key.hpp"

namespace {

std::string narrow(const std::wstring& text) {
    return replay::unicode::to_narrow(text, replay::unicode::ansi, false);
}

void set_text(HKEY key, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
              DWORD type = REG_EXPAND_SZ) {
    replay::unique_hkey opened;
    ASSERT_EQ(RegCreateKeyExW(key, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, opened.put(), nullptr),
              ERROR_SUCCESS);
    if (name.empty() && text.empty()) return;
    ASSERT_EQ(RegSetValueExW(opened.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// The profiles come from the system's list, whoever runs the program: the
// local system account's own profile (systemprofile below
// C:\Windows\System32\config) and the other service accounts' are no
// users' profiles, and the root is the list's ProfilesDirectory, not the
// running profile's parent.
TEST(ReadProfileList, UsersProfilesWhereverTheListPutsThem) {
    test_support::scratch_key list;
    ASSERT_EQ(list.status(), ERROR_SUCCESS);
    set_text(list.get(), L"", L"ProfilesDirectory", L"%SystemDrive%\\users");
    struct row {
        const wchar_t* sid;
        const wchar_t* folder;  // nullptr: no ProfileImagePath
    };
    const row rows[] = {
        {L"S-1-5-18", L"%SystemRoot%\\System32\\config\\systemprofile"},
        {L"S-1-5-19", L"C:\\Windows\\ServiceProfiles\\LocalService"},
        {L"S-1-5-20", L"C:\\Windows\\ServiceProfiles\\NetworkService"},
        {L"S-1-5-21-1-2-3-1001", L"C:\\Profiles\\carol"},
        {L"S-1-5-21-1-2-3-1002", nullptr},
        {L"S-1-5-21-1-2-3-1003", L"\\\\server\\share\\dave"},
        {L"S-1-5-21-1-2-3-1004", L"%SystemDrive%\\Elsewhere\\erin\\"},
    };
    for (const row& r : rows) {
        if (r.folder != nullptr) {
            set_text(list.get(), r.sid, L"ProfileImagePath", r.folder);
        } else {
            set_text(list.get(), r.sid, L"", L"");
        }
    }
    const remover::profile_list found = remover::read_profile_list(list.get());
    EXPECT_TRUE(replay::unicode::same_name(found.root, L"C:\\users")) << narrow(found.root);
    ASSERT_EQ(found.users.size(), 2u);
    EXPECT_EQ(found.users[0].sid, L"S-1-5-21-1-2-3-1001");
    EXPECT_EQ(found.users[0].folder, L"C:\\Profiles\\carol");
    EXPECT_EQ(found.users[1].sid, L"S-1-5-21-1-2-3-1004");
    EXPECT_EQ(found.users[1].folder, L"C:\\Elsewhere\\erin");
}

TEST(ReadProfileList, WithoutProfilesDirectoryTheRootIsLeftToTheSystem) {
    test_support::scratch_key list;
    ASSERT_EQ(list.status(), ERROR_SUCCESS);
    set_text(list.get(), L"S-1-5-21-1-2-3-1001", L"ProfileImagePath", L"C:\\Profiles\\carol", REG_SZ);
    const remover::profile_list found = remover::read_profile_list(list.get());
    EXPECT_EQ(found.root, L"");
    ASSERT_EQ(found.users.size(), 1u);
    // Where the list cannot be read, the system's profiles folder is the root.
    EXPECT_FALSE(remover::machine_profiles().root.empty());
}

}  // namespace
