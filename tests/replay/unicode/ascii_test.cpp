#include "replay/unicode/ascii.hpp"

#include <gtest/gtest.h>

namespace {

// Only "A" to "Z" fold: every other character, letters beyond ASCII
// included, stays as it is.
TEST(AsciiFolding, FoldsOnlyAsciiLetters) {
    using replay::unicode::ascii_lower;
    using replay::unicode::same_ascii_nocase;
    EXPECT_EQ(ascii_lower(std::string("Content-TYPE @[`{ 09")), "content-type @[`{ 09");
    EXPECT_EQ(ascii_lower(std::wstring(L"SysTray\u00C9\u0416.EXE")), L"systray\u00C9\u0416.exe");
    // A C string (a listed file name) folds as a string.
    const wchar_t listed[] = L"MILVA.XML";
    EXPECT_EQ(ascii_lower(listed), L"milva.xml");
    struct row {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    };
    const row rows[] = {
        {L"Installer", L"installer", true}, {L"UserData", L"USERDATA", true}, {L"", L"", true},
        {L"\u00C9", L"\u00E9", false},     {L"\u0416", L"\u0436", false},     {L"@", L"`", false},
        {L"[", L"{", false},               {L"Installer", L"Installers", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.a << " / " << r.b);
        EXPECT_EQ(same_ascii_nocase(std::wstring_view(r.a), std::wstring_view(r.b)), r.same);
    }
    EXPECT_TRUE(same_ascii_nocase(std::string_view("Content-Transfer-Encoding"), "content-transfer-encoding"));
    EXPECT_FALSE(same_ascii_nocase(std::string_view("\xC9"), "\xE9"));
}

}  // namespace
