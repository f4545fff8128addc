#include "replay/files/links.hpp"

#include <gtest/gtest.h>

#include <string>

#include "replay/handle.hpp"
#include "support/emulation.hpp"
#include "support/temp_folder.hpp"

namespace {

using test_support::temp_folder;

TEST(FileLinks, AnEntryIsNamedBelowItsFolderOnlyByItsOwnName) {
    struct row {
        const wchar_t* reached;
        const wchar_t* folder;
        const wchar_t* name;
        bool below;
    };
    const row rows[] = {
        {L"1A2B3C4D:\\users\\x\\log.txt", L"1A2B3C4D:\\users\\x", L"log.txt", true},
        {L"1A2B3C4D:\\USERS\\X\\LOG.TXT", L"1a2b3c4d:\\users\\x", L"log.txt", true},  // case ignored
        {L"1A2B3C4D:\\log.txt", L"1A2B3C4D:", L"log.txt", true},                     // a volume's root
        {L"1A2B3C4D:\\users\\x\\other.txt", L"1A2B3C4D:\\users\\x", L"log.txt", false},
        {L"1A2B3C4D:\\users\\xlog.txt", L"1A2B3C4D:\\users\\x", L"log.txt", false},
        {L"1A2B3C4D:\\users\\x\\sub\\log.txt", L"1A2B3C4D:\\users\\x", L"log.txt", false},
        {L"1A2B3C4D:\\users\\x\\log.txt", L"99999999:\\users\\x", L"log.txt", false},  // another volume
        {L"1A2B3C4D:\\users\\x", L"1A2B3C4D:\\users\\x", L"", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.reached << " / " << r.folder << " / " << r.name);
        EXPECT_EQ(replay::files::is_named_below(r.reached, r.folder, r.name), r.below);
    }
}

// A plain file is no link; one with a second hard link is, and so is a
// handle judged against another name than the one it was opened by (as when
// the system followed a link to another file).
TEST(FileLinks, AFileIsALinkWhenItHasASecondNameOrLeadsElsewhere) {
    SKIP_WHERE_EMULATED("its file calls were seen to hang there; the rule does not depend on the bitness");
    const temp_folder folder;
    const std::wstring base(folder.path().begin(), folder.path().end());
    const std::wstring plain = base + L"\\plain.txt";
    const std::wstring linked = base + L"\\linked.txt";
    for (const std::wstring& path : {plain, linked}) {
        const replay::file_handle made(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(made) << GetLastError();
    }
    ASSERT_TRUE(CreateHardLinkW((base + L"\\second.txt").c_str(), linked.c_str(), nullptr)) << GetLastError();

    const auto open = [](const std::wstring& path) {
        return replay::file_handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    const replay::file_handle plain_file = open(plain);
    const replay::file_handle linked_file = open(linked);
    ASSERT_TRUE(plain_file);
    ASSERT_TRUE(linked_file);
    EXPECT_FALSE(replay::files::is_reparse_or_linked(plain_file.get()));
    EXPECT_TRUE(replay::files::is_reparse_or_linked(linked_file.get()));
    EXPECT_FALSE(replay::files::is_link(plain_file.get(), plain));
    EXPECT_TRUE(replay::files::is_link(linked_file.get(), linked));

    ASSERT_TRUE(replay::files::can_resolve());
    EXPECT_TRUE(replay::files::reached_by_own_name(plain_file.get(), plain));
    EXPECT_FALSE(replay::files::reached_by_own_name(plain_file.get(), base + L"\\elsewhere.txt"));
    EXPECT_TRUE(replay::files::is_link(plain_file.get(), base + L"\\elsewhere.txt"));
}

}  // namespace
