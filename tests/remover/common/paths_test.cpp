#include "remover/common/paths.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PathForms, DriveLetterShareAndAbsolutePaths) {
    struct row {
        const wchar_t* path;
        bool drive_letter;
        bool share;
    };
    const row rows[] = {
        {L"C:\\Program Files", true, false},
        {L"c:/data", true, false},
        {L"C:\\", true, false},
        {L"C:folder", false, false},  // relative to the drive's current folder
        {L"C:", false, false},
        {L"1:\\x", false, false},
        {L"\u00C4:\\x", false, false},  // no drive letter beyond ASCII
        {L"\\\\server\\share\\x", false, true},
        {L"//server/share", false, true},
        {L"\\\\?\\C:\\x", false, false},  // namespace forms name any disk
        {L"\\\\?\\UNC\\server\\share", false, false},
        {L"\\\\.\\PhysicalDrive0", false, false},
        {L"\\\\\\x", false, false},
        {L"\\x", false, false},
        {L"x\\y", false, false},
        {L"", false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.path);
        EXPECT_EQ(remover::is_drive_letter_path(r.path), r.drive_letter);
        EXPECT_EQ(remover::is_share_path(r.path), r.share);
        EXPECT_EQ(remover::is_absolute_path(std::wstring_view(r.path)), r.drive_letter || r.share);
        // The narrow form of an ASCII path is judged alike.
        const std::wstring wide(r.path);
        bool ascii = true;
        for (const wchar_t c : wide) ascii = ascii && c < 0x80;
        if (ascii) {
            EXPECT_EQ(remover::is_absolute_path(std::string(wide.begin(), wide.end())), r.drive_letter || r.share);
        }
    }
}

}  // namespace
