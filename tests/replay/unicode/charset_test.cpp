#include <gtest/gtest.h>

#include "replay/unicode/unicode.hpp"

namespace {

using replay::unicode::codepage_from_name;

TEST(CodepageFromName, TableNamesIgnoreCaseDashesAndUnderscores) {
    EXPECT_EQ(codepage_from_name("UTF-8"), 65001);
    EXPECT_EQ(codepage_from_name("utf_8"), 65001);
    EXPECT_EQ(codepage_from_name("Shift_JIS"), 932);
    EXPECT_EQ(codepage_from_name("x-sjis"), 932);
    EXPECT_EQ(codepage_from_name("EUC-KR"), 51949);
    EXPECT_EQ(codepage_from_name("KOI8-R"), 20866);
    EXPECT_EQ(codepage_from_name("ISO-2022-JP"), 50221);
    EXPECT_EQ(codepage_from_name("GB2312"), 936);
    EXPECT_EQ(codepage_from_name("x-mac-korean"), 10003);
    EXPECT_EQ(codepage_from_name("iso-8859-8-i"), 38598);
}

TEST(CodepageFromName, FirstEntryOfARepeatedNameStays) {
    // iso-ir-100 is Latin-1 by its standard, but the table names it 1252
    // first.
    EXPECT_EQ(codepage_from_name("iso-ir-100"), 1252);
    EXPECT_EQ(codepage_from_name("ISO_IR_100"), 1252);
}

TEST(CodepageFromName, AsciiNamesSelectTheDirectMapping) {
    // Present in the table, with the library's own Latin-1 mapping.
    EXPECT_EQ(codepage_from_name("us-ascii"), replay::unicode::latin1);
    EXPECT_EQ(codepage_from_name("ASCII"), -1);
    // Other ASCII aliases are in the 1252 group.
    EXPECT_EQ(codepage_from_name("iso-ir-6"), 1252);
    EXPECT_EQ(codepage_from_name("ISO646-US"), 1252);
}

TEST(CodepageFromName, PrefixRulesReadTheNumberAfterThePrefix) {
    EXPECT_EQ(codepage_from_name("ISO-8859-1"), 28591);
    EXPECT_EQ(codepage_from_name("iso-8859-15"), 28605);
    EXPECT_EQ(codepage_from_name("latin2"), 28592);
    EXPECT_EQ(codepage_from_name("csISOLatin5"), 28595);
    EXPECT_EQ(codepage_from_name("Windows-1252"), 1252);
    EXPECT_EQ(codepage_from_name("windows_1251"), 1251);
    EXPECT_EQ(codepage_from_name("dos-862"), 862);
    EXPECT_EQ(codepage_from_name("ibm437"), 437);
    EXPECT_EQ(codepage_from_name("cp850"), 850);
    EXPECT_EQ(codepage_from_name("CP-1250"), 1250);
}

TEST(CodepageFromName, PrefixRulesReadLikeStrtol) {
    // No digits: 0, plus the offset of the ISO 8859 prefixes.
    EXPECT_EQ(codepage_from_name("windowsxyz"), 0);
    EXPECT_EQ(codepage_from_name("latin"), 28590);
    // Digits up to the first other character.
    EXPECT_EQ(codepage_from_name("latin1x"), 28591);
    EXPECT_EQ(codepage_from_name("cp1252.txt"), 1252);
    // Leading blanks and a plus sign are part of the number.
    EXPECT_EQ(codepage_from_name("cp 437"), 437);
    EXPECT_EQ(codepage_from_name("ibm+850"), 850);
    // A dash is removed before the number is read, so there is no minus.
    EXPECT_EQ(codepage_from_name("cp-5"), 5);
    // The prefixes are plain prefixes, not words.
    EXPECT_EQ(codepage_from_name("cpx"), 0);
    EXPECT_EQ(codepage_from_name("dossier"), 0);
}

TEST(CodepageFromName, TableIsCheckedBeforeThePrefixes) {
    // "iso88598i" would read as 28598 through the "iso8859" prefix.
    EXPECT_EQ(codepage_from_name("ISO-8859-8-I"), 38598);
    // "csisolatincyrillic" would read as 28590.
    EXPECT_EQ(codepage_from_name("csISOLatinCyrillic"), 28595);
    EXPECT_EQ(codepage_from_name("csISOLatinGreek"), 28597);
}

TEST(CodepageFromName, UnknownNamesGiveMinusOne) {
    EXPECT_EQ(codepage_from_name("unknown"), -1);
    EXPECT_EQ(codepage_from_name(""), -1);
    EXPECT_EQ(codepage_from_name("utf-16"), -1);
    // Only "-" and "_" are removed; dots and blanks stay.
    EXPECT_EQ(codepage_from_name("utf.8"), -1);
    EXPECT_EQ(codepage_from_name(" utf-8"), -1);
    // Only ASCII letters are lower-cased.
    EXPECT_EQ(codepage_from_name("\xC4scii"), -1);
}

}  // namespace
