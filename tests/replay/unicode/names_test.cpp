#include <gtest/gtest.h>

#include <string>

#include "replay/unicode/names.hpp"

namespace {

namespace unicode = replay::unicode;

int sign(int value) { return (value > 0) - (value < 0); }

struct name_case {
    const wchar_t* a;
    const wchar_t* b;
    int order;  // -1: a sorts first, 0: the same name, 1: b sorts first
    const char* what;
};

const name_case name_cases[] = {
    {L"Program Files", L"PROGRAM FILES", 0, "ASCII letters differing only in case"},
    {L"vexars\\tray", L"VEXARS\\Tray", 0, "a path differing only in case"},
    {L"caf\u00E9", L"CAF\u00C9", 0, "accented Latin: e acute"},
    {L"\u00E0\u00E7\u00F6\u00F8\u00FE", L"\u00C0\u00C7\u00D6\u00D8\u00DE", 0, "accented Latin: a grave, c cedilla, o umlaut, o stroke, thorn"},
    {L"\u0436\u0443\u0440\u043D\u0430\u043B", L"\u0416\u0423\u0420\u041D\u0410\u041B", 0, "Cyrillic"},
    {L"\u0451\u0436", L"\u0401\u0416", 0, "Cyrillic io"},
    {L"\u03C9\u03BC\u03B5\u03B3\u03B1", L"\u03A9\u039C\u0395\u0393\u0391", 0, "Greek"},
    {L"caf\u00E9", L"cafe", 1, "an accent is no letter case"},
    {L"stra\u00DFe", L"STRASSE", 1, "no linguistic expansion of sharp s"},
    {L"\u0436", L"\u0437", -1, "different Cyrillic letters"},
    {L"abc", L"abcd", -1, "a shorter name sorts first"},
    {L"ABCD", L"abc", 1, "a longer name sorts last whatever the case"},
    {L"", L"a", -1, "the empty name sorts first"},
    {L"", L"", 0, "two empty names"},
    {L"a", L"[", -1, "upper-cased, not lower-cased: 'A' (41) sorts before '[' (5B)"},
};

TEST(NameComparison, OrdinalIgnoringCaseOverTheTable) {
    for (const name_case& c : name_cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sign(unicode::compare_names(c.a, c.b)), c.order);
        EXPECT_EQ(sign(unicode::compare_names(c.b, c.a)), -c.order);
        EXPECT_EQ(sign(unicode::detail::compare_names_by_upcase(c.a, c.b)), c.order);
        EXPECT_EQ(unicode::same_name(c.a, c.b), c.order == 0);
    }
}

TEST(NameComparison, PrefixAndSearchIgnoreCaseToo) {
    EXPECT_TRUE(unicode::starts_with_name(L"HKEY_LOCAL_MACHINE\\Software", L"hkey_local_machine"));
    EXPECT_TRUE(unicode::starts_with_name(L"\u0416\u0423\u0420", L"\u0436"));
    EXPECT_FALSE(unicode::starts_with_name(L"abc", L"abcd"));
    EXPECT_FALSE(unicode::starts_with_name(L"caf\u00E9", L"cafe"));
    EXPECT_EQ(unicode::find_name(L"Installer\\Products\\VEXARS", L"vexars"), 19u);
    EXPECT_EQ(unicode::find_name(L"\u03A9\u039C\u0395\u0393\u0391", L"\u03B5\u03B3"), 2u);
    EXPECT_EQ(unicode::find_name(L"abc", L"abcd"), std::wstring_view::npos);
    EXPECT_EQ(unicode::find_name(L"abc", L"x"), std::wstring_view::npos);
}

struct path_part_case {
    const wchar_t* text;
    const wchar_t* part;
    bool held;
};

TEST(NameComparison, PathPartsStartTheTextOrFollowABackslash) {
    const path_part_case cases[] = {
        {L"C:\\Program Files\\Vexars\\Tray\\bvhtml.dll", L"Tray\\bvhtml.dll", true},
        {L"C:\\Program Files\\Vexars\\TRAY\\BvHtml.DLL", L"tray\\bvhtml.dll", true},
        {L"Tray\\bvhtml.dll", L"Tray\\bvhtml.dll", true},
        {L"C:\\Other\\SysTray\\bvhtml.dll", L"Tray\\bvhtml.dll", false},
        {L"C:\\Other\\SysTray\\bvhtml.dll;C:\\x\\Tray\\bvhtml.dll", L"Tray\\bvhtml.dll", true},
        {L"C:\\Other/Tray\\bvhtml.dll", L"Tray\\bvhtml.dll", false},
        {L"C:\\Tray\\bvhtml.dll", L"", false},
        {L"C:\\Tr", L"Tray", false},
    };
    for (const path_part_case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<const void*>(c.text));
        EXPECT_EQ(unicode::holds_path_part(c.text, c.part), c.held);
    }
}

TEST(NameComparison, OnlySingleNamesAreJoinedIntoPaths) {
    for (const wchar_t* name : {L"Vexars", L"{A}", L"\uFF3C..\uFF3COther", L"..a", L"a.", L"\u00E9t\u00E9"}) {
        EXPECT_TRUE(unicode::is_single_name(name)) << static_cast<unsigned>(name[0]);
    }
    for (std::wstring_view name : {std::wstring_view(L""), std::wstring_view(L"."), std::wstring_view(L".."),
                                   std::wstring_view(L"{\\..\\Other"), std::wstring_view(L"a/b"),
                                   std::wstring_view(L"C:x"), std::wstring_view(L"a:stream"),
                                   std::wstring_view(L"\0abc", 4)}) {
        EXPECT_FALSE(unicode::is_single_name(name)) << name.size();
    }
}

}  // namespace
