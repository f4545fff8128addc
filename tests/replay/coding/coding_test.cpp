#include "replay/coding/coding.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

namespace coding = replay::coding;

using case_t = std::pair<std::string, std::string>;  // input, expected

TEST(CodingBase64, EncodesWithFill) {
    const case_t cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {std::string("\xFF\xFE\x00\xFB", 4), "//4A+w=="},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(coding::base64::encode(c.first), c.second);
    }
}

TEST(CodingBase64, DecodingSkipsForeignCharactersAndDropsLeftOverBits) {
    const case_t cases[] = {
        {"Zm9vYg==", "foob"},
        {"Zm\r\n9v Ym=F-y", "foobar"},  // "=" in the middle is skipped too
        {"Zg", "f"},                    // 12 bits: one byte, four dropped
        {"Z", ""},
        {"//4A+w==", std::string("\xFF\xFE\x00\xFB", 4)},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(coding::base64::decode(c.first), c.second);
    }
}

TEST(CodingHexadecimal, EncodesLowerCaseAndDecodesEitherCase) {
    EXPECT_EQ(coding::hexadecimal::encode(std::string("\x00\xAB\xFF\x7F", 4)), "00abff7f");
    EXPECT_EQ(coding::hexadecimal::decode("00aBFf7F"), std::string("\x00\xAB\xFF\x7F", 4));
    EXPECT_EQ(coding::hexadecimal::decode("abc"), "\xAB");  // a final lone digit makes no byte
}

TEST(CodingQuotedPrintable, EncodesSpecialBytesInUpperCase) {
    EXPECT_EQ(coding::quoted_printable::encode("a b=c_d?e\"f\tg\x7Fh\x80~\xFF"),
              "a b=3Dc=5Fd=3Fe=22f=09g=7Fh=80~=FF");
}

TEST(CodingQuotedPrintable, DecodesEscapesAndCopiesShortTails) {
    const case_t cases[] = {
        {"a=3Db_c", "a=b_c"}, {"=e9=E9", "\xE9\xE9"}, {"ab=", "ab="}, {"ab=4", "ab=4"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(coding::quoted_printable::decode(c.first), c.second);
    }
}

TEST(CodingInvalidCodeword, WhatNamesTheOffendingByte) {
    struct {
        std::string (*decode)(const std::string&);
        std::string input;
        const char* what;
    } const cases[] = {
        {coding::hexadecimal::decode, "0g", "translate.invalid_codeword[Invalid Codeword 0x67]"},
        {coding::hexadecimal::decode, "\xE9" "0", "translate.invalid_codeword[Invalid Codeword 0xE9]"},
        {coding::hexadecimal::decode, "abz", "translate.invalid_codeword[Invalid Codeword 0x7A]"},
        {coding::quoted_printable::decode, "x=4g", "translate.invalid_codeword[Invalid Codeword 0x67]"},
        {coding::quoted_printable::decode, "soft=\r\nbreak", "translate.invalid_codeword[Invalid Codeword 0x0D]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        try {
            c.decode(c.input);
            ADD_FAILURE() << "nothing raised";
        } catch (const coding::translate::generic& e) {
            EXPECT_STREQ(e.what(), c.what);
            EXPECT_EQ(e.kind(), "translate.invalid_codeword");
        }
    }
}

}  // namespace
