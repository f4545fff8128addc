#include <windows.h>

#include <gtest/gtest.h>

#include "replay/unicode/unicode.hpp"

namespace {

namespace unicode = replay::unicode;
using unicode::to_narrow;
using unicode::to_wide;

TEST(UnicodeErrors, WhatShowsTheKindPathAndEmptyBrackets) {
    EXPECT_STREQ(unicode::generic("").what(), "unicode[]");
    EXPECT_STREQ(unicode::out_of_memory("").what(), "unicode.out_of_memory[]");
    EXPECT_STREQ(unicode::invalid_codepage("").what(), "unicode.invalid_codepage[]");
    EXPECT_STREQ(unicode::unmappable_character("").what(), "unicode.unmappable_character[]");
    EXPECT_EQ(unicode::unmappable_character("").kind(), "unicode.unmappable_character");
    EXPECT_EQ(unicode::unmappable_character("").message(), "");
}

TEST(UnicodeErrors, RaisedErrorsAreCaughtAsTheFamilyBase) {
    try {
        to_narrow(L"\u20AC", unicode::latin1, /*strict=*/false);
        FAIL() << "nothing raised";
    } catch (const unicode::generic& e) {
        EXPECT_STREQ(e.what(), "unicode.unmappable_character[]");
    }
}

TEST(LatinOneMapping, BytesAreCodeUnitsBothWays) {
    EXPECT_EQ(to_wide("\x41\x80\xE9\xFF", unicode::latin1), std::wstring(L"\x41\x80\xE9\xFF"));
    EXPECT_EQ(to_narrow(L"\x41\x80\xE9\xFF", unicode::latin1, /*strict=*/true),
              std::string("\x41\x80\xE9\xFF"));
    // A null byte is a character like any other.
    EXPECT_EQ(to_wide(std::string("a\0b", 3), unicode::latin1), std::wstring(L"a\0b", 3));
}

TEST(LatinOneMapping, UnitsAboveFFRaiseEvenWhenLenient) {
    EXPECT_THROW(to_narrow(L"a\u20AC", unicode::latin1, /*strict=*/true),
                 unicode::unmappable_character);
    EXPECT_THROW(to_narrow(L"a\u20AC", unicode::latin1, /*strict=*/false),
                 unicode::unmappable_character);
    EXPECT_THROW(to_narrow(L"\u0100", unicode::latin1, /*strict=*/false),
                 unicode::unmappable_character);
}

TEST(ToNarrow, EuroSignIsByte80InCodePage1252) {
    EXPECT_EQ(to_narrow(L"\u20AC", 1252, /*strict=*/true), "\x80");
    EXPECT_EQ(to_wide("\x80", 1252), L"\u20AC");
}

TEST(ToNarrow, StrictRaisesWhereLenientUsesTheDefaultCharacter) {
    EXPECT_THROW(to_narrow(L"a\u4E2Db", 1252, /*strict=*/true), unicode::unmappable_character);

    CPINFO info{};
    ASSERT_TRUE(GetCPInfo(1252, &info));
    const std::string expected = std::string("a") + static_cast<char>(info.DefaultChar[0]) + "b";
    EXPECT_EQ(to_narrow(L"a\u4E2Db", 1252, /*strict=*/false), expected);
}

TEST(ToNarrow, LookAlikesAreNeverMappedToWhatTheyResemble) {
    CPINFO info{};
    ASSERT_TRUE(GetCPInfo(1252, &info));
    const char unknown = static_cast<char>(info.DefaultChar[0]);
    // FULLWIDTH REVERSE SOLIDUS, SOLIDUS, FULL STOP, COLON and LATIN A, and
    // a letter with a ring that the code page lacks.
    for (const wchar_t* look_alike : {L"\uFF3C", L"\uFF0F", L"\uFF0E", L"\uFF1A", L"\uFF21", L"\u0100"}) {
        SCOPED_TRACE(static_cast<unsigned>(look_alike[0]));
        const std::wstring name = std::wstring(L"{") + look_alike + L"..";
        EXPECT_THROW(to_narrow(name, 1252, /*strict=*/true), unicode::unmappable_character);
        EXPECT_EQ(to_narrow(name, 1252, /*strict=*/false), std::string("{") + unknown + "..");
        EXPECT_THROW(unicode::to_ansi_strict(name), unicode::unmappable_character);
    }
}

TEST(ToNarrow, MultiByteOutputFitsItsBuffer) {
    // Four bytes for one character written as a surrogate pair.
    EXPECT_EQ(to_narrow(L"\U0001F600", unicode::utf8, /*strict=*/true), "\xF0\x9F\x98\x80");
    EXPECT_EQ(to_narrow(L"\u4E2D\u6587", unicode::utf8, /*strict=*/true),
              "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(to_narrow(L"\u4E2D", 932, /*strict=*/true), "\x92\x86");
}

TEST(ToNarrow, UnknownCodePageRaisesInvalidCodepage) {
    EXPECT_THROW(to_narrow(L"a", 99999, /*strict=*/false), unicode::invalid_codepage);
}

TEST(ToWide, InvalidUtf8DoesNotRaise) {
    std::wstring result;
    ASSERT_NO_THROW(result = to_wide("a\xFF\xC3(b", unicode::utf8));
    EXPECT_EQ(result.front(), L'a');
    EXPECT_EQ(result.back(), L'b');
    EXPECT_NE(result.find(L'\xFFFD'), std::wstring::npos);
}

TEST(ToWide, InvalidBytesInCodePage932Raise) {
    // A lead byte without its trail byte, and a lead byte before a blank.
    EXPECT_THROW(to_wide("a\x81", 932), unicode::unmappable_character);
    EXPECT_THROW(to_wide("\x81\x20", 932), unicode::unmappable_character);
    EXPECT_EQ(to_wide("\x92\x86", 932), L"\u4E2D");
}

TEST(ToWide, UnknownCodePageRaisesInvalidCodepage) {
    EXPECT_THROW(to_wide("a", 99999), unicode::invalid_codepage);
}

TEST(ToWide, Utf8RoundTrip) {
    const std::wstring text = L"Zentrivo \u00E9\u20AC\u4E2D\U0001F600";
    EXPECT_EQ(to_wide(to_narrow(text, unicode::utf8, /*strict=*/true), unicode::utf8), text);
}

TEST(Conversions, EmptyTextNeedsNoValidCodePage) {
    EXPECT_EQ(to_wide("", 99999), L"");
    EXPECT_EQ(to_narrow(L"", 99999, /*strict=*/true), "");
}

}  // namespace
