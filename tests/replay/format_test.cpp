#include "replay/format.hpp"

#include <gtest/gtest.h>

#include "replay/exception.hpp"

namespace {

TEST(Format, FollowsMicrosoftStringRules) {
    // Narrow format: %s narrow, %S wide. Wide format: %s wide, %S narrow.
    EXPECT_EQ(replay::format("%s|%S", "narrow", L"wide"), "narrow|wide");
    EXPECT_EQ(replay::wformat(L"%s|%S", L"wide", "narrow"), L"wide|narrow");
}

TEST(Format, NumbersAndPadding) {
    EXPECT_EQ(replay::format("%.4d/%.2d %c %i %u 0x%08x", 7, 3, '!', -5, 42u, 0x1Fu),
              "0007/03 ! -5 42 0x0000001f");
    EXPECT_EQ(replay::wformat(L"%d%%", 100), L"100%");
}

TEST(Format, HasNoLengthLimit) {
    const std::string long_text(100000, 'x');
    const std::string narrow = replay::format("<%s>", long_text.c_str());
    EXPECT_EQ(narrow.size(), long_text.size() + 2);
    EXPECT_EQ(narrow, "<" + long_text + ">");

    const std::wstring long_wide(70000, L'\u00e9');
    EXPECT_EQ(replay::wformat(L"%s!", long_wide.c_str()), long_wide + L"!");
}

TEST(Format, RejectedFormatOrArgumentRaisesWithTheFormat) {
    try {
        replay::format("path %S", L"a\xD800" L"b");
        FAIL() << "no exception";
    } catch (const replay::exception& e) {
        EXPECT_EQ(e.message(), "invalid format or argument: \"path %S\"");
    }
    try {
        replay::wformat(L"%.2147483647d", 1);
        FAIL() << "no exception";
    } catch (const replay::exception_w& e) {
        EXPECT_EQ(e.message_w(), L"invalid format or argument: \"%.2147483647d\"");
    }
}

TEST(Format, EmptyResults) {
    EXPECT_EQ(replay::format(""), "");
    EXPECT_EQ(replay::format("%s", ""), "");
    EXPECT_EQ(replay::wformat(L"%s", L""), L"");
}

}  // namespace
