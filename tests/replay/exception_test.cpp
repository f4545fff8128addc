#include "replay/exception.hpp"

#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "replay/log/exception_report.hpp"
#include "replay/log/log.hpp"
#include "replay/unicode/unicode.hpp"
#include "support/recording_listener.hpp"

namespace {

namespace sample {
REPLAY_DECLARE_EXCEPTION(generic, replay::exception, "registry2");
REPLAY_DECLARE_EXCEPTION(key_error, generic, "key_error");
}  // namespace sample

TEST(Exception, PlainExceptionShowsMessageInBrackets) {
    const replay::exception e("resource string %d is not found", 2001);
    EXPECT_STREQ(e.what(), "[resource string 2001 is not found]");
    EXPECT_EQ(e.message(), "resource string 2001 is not found");
    EXPECT_EQ(e.kind(), "");
}

TEST(Exception, MessageGivenAloneIsNotAFormat) {
    // Run-time text (a path, a server reply) often holds "%".
    const char* reply = "550 %s%n%d rejected";
    EXPECT_EQ(replay::exception(std::string("100% %s done")).message(), "100% %s done");
    EXPECT_EQ(replay::exception(reply).message(), reply);
    EXPECT_EQ(sample::key_error(reply).what(), std::string("registry2.key_error[550 %s%n%d rejected]"));
    EXPECT_EQ(replay::exception_w(L"C:\\100%\\%s%n").message_w(), L"C:\\100%\\%s%n");
}

TEST(Exception, KindPathJoinsOneWordPerLevel) {
    const sample::key_error e(std::string("M"));
    EXPECT_EQ(e.kind(), "registry2.key_error");
    EXPECT_STREQ(e.what(), "registry2.key_error[M]");

    const replay::log::generic log_error("CreateFile failed: %s", "x");
    EXPECT_STREQ(log_error.what(), "log[CreateFile failed: x]");

    const replay::unicode::unmappable_character unmappable("");
    EXPECT_STREQ(unmappable.what(), "unicode.unmappable_character[]");
}

TEST(Exception, CopiesKeepTheirKindPath) {
    sample::key_error original("M");
    sample::key_error copy(original);  // non-const source
    EXPECT_EQ(copy.kind(), "registry2.key_error");
    try {
        throw copy;
    } catch (const sample::generic& caught) {
        EXPECT_STREQ(caught.what(), "registry2.key_error[M]");
    }
}

TEST(Exception, WideExceptionConvertsNarrowTextsOnFirstUse) {
    const replay::exception_w e(L"Failed to initialize suite client library");
    EXPECT_EQ(e.what_w(), L"[Failed to initialize suite client library]");
    EXPECT_EQ(e.message_w(), L"Failed to initialize suite client library");
    EXPECT_EQ(e.kind_w(), L"");
    try {
        throw e;
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "[Failed to initialize suite client library]");
    }
    const replay::exception_w formatted(L"%s %d", L"code", 7);
    EXPECT_EQ(formatted.message(), "code 7");
    // No look-alike becomes a path separator or a quote in the narrow text.
    const replay::exception_w look_alikes(L"C:\\a\uFF3Cb\uFF02");
    EXPECT_EQ(look_alikes.message(), "C:\\a?b?");
}

std::wstring describe(std::function<void()> thrower, const std::wstring& prefix) {
    try {
        thrower();
    } catch (...) {
        return replay::describe_current_exception(prefix);
    }
    return L"nothing thrown";
}

TEST(DescribeCurrentException, EachKindWithItsBlanks) {
    auto plain = [] { throw replay::exception("x"); };
    EXPECT_EQ(describe(plain, L"Step failed"), L"Step failed  exception: [x]");
    EXPECT_EQ(describe(plain, L"Step failed "), L"Step failed  exception: [x]");
    EXPECT_EQ(describe(plain, L""), L" exception: [x]");

    EXPECT_EQ(describe([] { throw replay::exception_w(L"w\u00e9"); }, L"p"), L"p  exception: [w\u00e9]");
    EXPECT_EQ(describe([] { throw std::runtime_error("boom"); }, L"p"), L"p  exception: boom");
    EXPECT_EQ(describe([] { throw 42; }, L"p"), L"p  unknown exception");
}

TEST(DescribeCurrentException, OutsideAHandlerDoesNotEndTheProgram) {
    EXPECT_EQ(replay::describe_current_exception(L"p"), L"p  unknown exception");
}

TEST(DescribeCurrentException, ComError) {
    const _com_error sample_error(E_OUTOFMEMORY);
    const std::string text = sample_error.ErrorMessage();
    const std::wstring expected = L"p  _com_error: " + replay::unicode::to_wide(text, replay::unicode::ansi);
    EXPECT_EQ(describe([] { throw _com_error(E_OUTOFMEMORY); }, L"p"), expected);
}

class LogCurrentException : public ::testing::Test {
protected:
    std::string logged(std::function<void()> thrower, const std::string& context) {
        replay::log::dispatcher target;
        auto journal = std::make_shared<test_support::journal>();
        target.attach(std::make_unique<test_support::recording_listener>(journal, "r"));
        try {
            thrower();
        } catch (...) {
            replay::log_current_exception(context, target);
        }
        if (journal->entries.size() != 1) return "lines: " + std::to_string(journal->entries.size());
        EXPECT_EQ(journal->entries[0].level, 3);
        return journal->entries[0].text;
    }
};

TEST_F(LogCurrentException, EachKindWithoutAddedBlank) {
    EXPECT_EQ(logged([] { throw replay::exception_w(L"Failed to initialize suite client library"); },
                     "unregister_product_from_toolkit_31x()"),
              "unregister_product_from_toolkit_31x() Exception: [Failed to initialize suite client library]");
    EXPECT_EQ(logged([] { throw sample::key_error("M"); }, "ctx"), "ctx exception: registry2.key_error[M]");
    EXPECT_EQ(logged([] { throw 7; }, "can't retrieve product name, "),
              "can't retrieve product name,  unknown exception caught");
}

TEST_F(LogCurrentException, NarrowContextFromAnsiCodePage) {
    // 0xE9 is e-acute in the ANSI code page (1252 here); the log stores UTF-8.
    EXPECT_EQ(logged([] { throw 1; }, "caf\xE9"), "caf\xC3\xA9 unknown exception caught");
}

TEST(SystemErrorText, MatchesTheSystemTextWithoutLineBreak) {
    char* raw = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<char*>(&raw), 0,
                                        nullptr);
    ASSERT_GT(length, 2u);
    std::string expected(raw, length);
    LocalFree(raw);
    expected.resize(expected.size() - 2);

    const std::string text = replay::system_error_text(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, expected);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(SystemErrorText, UnknownCodeGivesEmptyText) {
    EXPECT_EQ(replay::system_error_text(0x2000FFFF), "");
}

}  // namespace
