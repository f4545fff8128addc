#include "replay/log/log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include "replay/format.hpp"
#include "support/emulation.hpp"
#include "support/recording_listener.hpp"
#include "support/temp_folder.hpp"

namespace {

using test_support::journal;
using test_support::read_file;
using test_support::recording_listener;
using test_support::temp_folder;
using test_support::write_file;

const std::string bom = "\xEF\xBB\xBF";
const std::regex prefixed_line(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} [# +!>@]  .*)");

std::vector<std::string> lines_of(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(LogPrefix, TwentyThreeCharactersWithTheLevelMarker) {
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 7;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 1;
    EXPECT_EQ(replay::log::make_prefix(t, 1), "2026/03/07 09:05:01    ");
    EXPECT_EQ(replay::log::make_prefix(t, 3), "2026/03/07 09:05:01 !  ");
    EXPECT_EQ(replay::log::make_prefix(t, 0), "2026/03/07 09:05:01 #  ");
    EXPECT_EQ(replay::log::make_prefix(t, 5), "2026/03/07 09:05:01 @  ");
    EXPECT_EQ(replay::log::make_prefix(t, 1).size(), 23u);
}

TEST(Dispatcher, HighestMinimumLevelFirstThenNewestFirst) {
    auto got = std::make_shared<journal>();
    replay::log::dispatcher d;
    d.attach(std::make_unique<recording_listener>(got, "a"));
    d.attach(std::make_unique<recording_listener>(got, "b"));
    d.attach(std::make_unique<recording_listener>(got, "errors"), 3);
    d.attach(std::make_unique<recording_listener>(got, "c"));

    d.write(1, L"progress");
    ASSERT_EQ(got->entries.size(), 3u);
    EXPECT_EQ(got->entries[0].listener, "c");
    EXPECT_EQ(got->entries[1].listener, "b");
    EXPECT_EQ(got->entries[2].listener, "a");

    got->entries.clear();
    d.write(3, L"failure");
    ASSERT_EQ(got->entries.size(), 4u);
    EXPECT_EQ(got->entries[0].listener, "errors");
    EXPECT_EQ(got->entries[3].listener, "a");
    EXPECT_EQ(got->entries[0].prefix.substr(19), " !  ");
}

// A listener whose writes fail: it reports its failure once, as the log file does.
class failing_listener : public recording_listener {
public:
    using recording_listener::recording_listener;
    std::string take_failure() override {
        if (reported_) return {};
        reported_ = true;
        return "The log file 'X:\\ZENQORemover.log.txt' could not be written completely: disk full";
    }

private:
    bool reported_ = false;
};

TEST(Dispatcher, AFailedListenerIsSaidOnceInTheOthersNotInItself) {
    auto got = std::make_shared<journal>();
    replay::log::dispatcher d;
    d.attach(std::make_unique<recording_listener>(got, "console"));
    d.attach(std::make_unique<failing_listener>(got, "cut"));
    d.attach(std::make_unique<recording_listener>(got, "errors only"), 3);
    d.attach(std::make_unique<recording_listener>(got, "whole"));

    d.write(1, L"first");
    d.write(1, L"second");
    std::vector<std::string> notes;
    for (const auto& entry : got->entries) {
        if (entry.text.find("could not be written completely") != std::string::npos) notes.push_back(entry.listener);
    }
    std::sort(notes.begin(), notes.end());
    EXPECT_EQ(notes, (std::vector<std::string>{"console", "whole"}));
    // The note follows the line whose write failed.
    EXPECT_EQ(got->entries.back().text, "second");
}

TEST(Dispatcher, LevelFiveAppendsTheCurrentExceptionAsAnError) {
    auto got = std::make_shared<journal>();
    replay::log::dispatcher d;
    d.attach(std::make_unique<recording_listener>(got, "r"));
    d.attach(std::make_unique<recording_listener>(got, "errors only"), 3);
    try {
        throw replay::exception("x");
    } catch (...) {
        d.write(5, L"Step failed");
    }
    ASSERT_EQ(got->entries.size(), 2u);
    EXPECT_EQ(got->entries[1].level, 3);
    EXPECT_EQ(got->entries[1].text, "Step failed  exception: [x]");
    EXPECT_EQ(got->entries[1].prefix.substr(19), " @  ");
}

TEST(Dispatcher, NarrowTextFromAnsiCodePageAndWideTextStoredAsUtf8) {
    auto got = std::make_shared<journal>();
    replay::log::dispatcher d;
    d.attach(std::make_unique<recording_listener>(got, "r"));
    d.write(1, std::string("caf\xE9"));
    d.write(1, std::wstring(L"\u4e2d\u00e9"));
    d.printf(3, L"%s=%d", L"n", 5);
    ASSERT_EQ(got->entries.size(), 3u);
    EXPECT_EQ(got->entries[0].text, "caf\xC3\xA9");
    EXPECT_EQ(got->entries[1].text, "\xE4\xB8\xAD\xC3\xA9");
    EXPECT_EQ(got->entries[2].text, "n=5");
    EXPECT_EQ(got->entries[2].level, 3);
}

TEST(Dispatcher, ClearDeletesListeners) {
    auto got = std::make_shared<journal>();
    {
        replay::log::dispatcher d;
        d.attach(std::make_unique<recording_listener>(got, "r"));
        d.clear();
        EXPECT_EQ(got->destroyed.size(), 1u);
        d.write(1, L"lost");
        d.attach(std::make_unique<recording_listener>(got, "s"));
    }
    EXPECT_EQ(got->destroyed.size(), 2u);
    EXPECT_TRUE(got->entries.empty());
}

TEST(Proxy, ForwardsTaggedTextToAnotherDispatcher) {
    auto got = std::make_shared<journal>();
    replay::log::dispatcher target;
    target.attach(std::make_unique<recording_listener>(got, "target"));
    replay::log::dispatcher source;
    source.attach(std::make_unique<replay::log::proxy>(&target, "[tag] "));
    source.write(3, L"h\u00e9");
    ASSERT_EQ(got->entries.size(), 1u);
    EXPECT_EQ(got->entries[0].text, "[tag] h\xC3\xA9");
    EXPECT_EQ(got->entries[0].level, 3);
}

TEST(ProcessWideLog, ShutdownDeletesListenersAndLaterMessagesGoNowhere) {
    auto got = std::make_shared<journal>();
    replay::log::attach(std::make_unique<recording_listener>(got, "r"));
    replay::log::message("%s %d", "narrow", 1);
    replay::log::error(L"%s %d", L"wide", 2);
    replay::log::shutdown();
    EXPECT_EQ(got->destroyed, std::vector<std::string>{"r"});
    replay::log::message("after shutdown");
    replay::log::shutdown();
    ASSERT_EQ(got->entries.size(), 2u);
    EXPECT_EQ(got->entries[0].text, "narrow 1");
    EXPECT_EQ(got->entries[0].level, 1);
    EXPECT_EQ(got->entries[1].text, "wide 2");
    EXPECT_EQ(got->entries[1].level, 3);
}

// The program's own lines each get a line of their own; a text from outside
// keeps its line breaks inside one message.
TEST(ProcessWideLog, OwnTextOfSeveralLinesIsOneMessagePerLine) {
    const struct {
        const char* text;
        std::vector<std::string> messages;
    } cases[] = {
        {"The program is running without Administrative rights.\nRelogin as Administrator and run it again !",
         {"The program is running without Administrative rights.", "Relogin as Administrator and run it again !"}},
        {"one line", {"one line"}},
        {"", {""}},
        {"a\n\nb\n", {"a", "", "b", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto got = std::make_shared<journal>();
        replay::log::attach(std::make_unique<recording_listener>(got, "r"));
        replay::log::message_lines(c.text);
        replay::log::shutdown();
        std::vector<std::string> texts;
        for (const auto& entry : got->entries) texts.push_back(entry.text);
        EXPECT_EQ(texts, c.messages);
    }
}

TEST(Console, ShowsUnmappableCharactersAsQuestionMarks) {
    // The OEM code page is 437 here: e-acute is 0x82, the CJK character has no form.
    replay::log::console console;
    ::testing::internal::CaptureStdout();
    console.write(1, "PREFIX  ", "caf\xC3\xA9 \xE4\xB8\xAD!");
    console.write(1, "PREFIX  ", "plain");
    const std::string shown = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(shown, "PREFIX  caf\x82 ?!\nPREFIX  plain\n");
}

class LogFile : public ::testing::Test {
protected:
    temp_folder folder;
    std::string base = folder / "run";
    std::string path = base + ".log.txt";

    void write_lines(replay::log::file& f, std::initializer_list<const char*> texts) {
        for (const char* text : texts) f.write(1, "P ", text);
    }
};

TEST_F(LogFile, NewFileStartsWithByteOrderMarkAndLaterRunsAppend) {
    {
        replay::log::file f(base);
        write_lines(f, {"first", ""});
    }
    EXPECT_EQ(read_file(path), bom + "P first\r\nP \r\n");
    {
        replay::log::file f(base);
        write_lines(f, {"second"});
    }
    EXPECT_EQ(read_file(path), bom + "P first\r\nP \r\nP second\r\n");
}

TEST_F(LogFile, EmptyExistingFileGetsTheMark) {
    write_file(path, "");
    replay::log::file f(base);
    EXPECT_EQ(read_file(path), bom);
}

TEST_F(LogFile, DispatchedLinesCarryThePrefix) {
    replay::log::dispatcher d;
    d.attach(std::make_unique<replay::log::file>(base));
    d.write(1, L"");
    d.write(3, L"caf\u00e9");
    const std::string content = read_file(path);
    ASSERT_EQ(content.substr(0, 3), bom);
    const auto lines = lines_of(content.substr(3));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 23u);
    EXPECT_TRUE(std::regex_match(lines[0], prefixed_line));
    EXPECT_EQ(lines[1].substr(19), " !  caf\xC3\xA9");
}

// Text from outside (a registry value, the suite, a server's reply) never
// starts a line of its own: CR and LF are written as "\r" and "\n", in the
// files and on the console; other text is unchanged.
TEST_F(LogFile, LineBreaksInAMessageAreWrittenEscaped) {
    struct row {
        const char* name;
        std::wstring message;
        std::string written;
    };
    const row rows[] = {
        {"ordinary", L"C:\\Program Files\\Vexars\\", "C:\\Program Files\\Vexars\\"},
        {"forged header", L"Email set to ivy@example.org>\r\nBcc: <victim@example.net",
         "Email set to ivy@example.org>\\r\\nBcc: <victim@example.net"},
        {"lone LF and CR", L"a\nb\rc\n", "a\\nb\\rc\\n"},
        {"literal backslash r", L"a\\r", "a\\r"},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        DeleteFileA(path.c_str());
        {
            replay::log::dispatcher d;
            d.attach(std::make_unique<replay::log::file>(base));
            d.attach(std::make_unique<replay::log::console>());
            ::testing::internal::CaptureStdout();
            d.write(1, each.message);
            const std::string shown = ::testing::internal::GetCapturedStdout();
            ASSERT_EQ(shown.size(), 23 + each.written.size() + 1);
            EXPECT_EQ(shown.substr(23), each.written + "\n");
        }
        const auto lines = lines_of(read_file(path).substr(3));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], prefixed_line));
        EXPECT_EQ(lines[0].substr(23), each.written);
    }
}

TEST_F(LogFile, CannotBeCreatedRaisesWithTheSystemText) {
    try {
        replay::log::file f(folder / "missing\\sub\\run");
        FAIL() << "no exception";
    } catch (const replay::log::generic& e) {
        EXPECT_EQ(e.kind(), "log");
        const std::string message = e.message();
        EXPECT_EQ(message.rfind("CreateFile failed: ", 0), 0u) << message;
        const std::string expected_3 = "CreateFile failed: " + replay::system_error_text(ERROR_PATH_NOT_FOUND);
        const std::string expected_2 = "CreateFile failed: " + replay::system_error_text(ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(message == expected_3 || message == expected_2) << message;
    }
}

// A file with a second hard link at the log's name is another file's name
// too: it is refused as a log that cannot be created, and left unchanged.
TEST_F(LogFile, HardLinkAtTheNameIsRefusedAndLeftUnchanged) {
    temp_folder elsewhere;
    const std::string victim = elsewhere / "startup.cmd";
    write_file(victim, "@echo off\r\n");
    ASSERT_TRUE(CreateHardLinkA(path.c_str(), victim.c_str(), nullptr));
    try {
        replay::log::file f(base);
        FAIL() << "no exception";
    } catch (const replay::log::generic& e) {
        EXPECT_EQ(e.message(), "CreateFile failed: " + path + " is a link");
    }
    EXPECT_EQ(read_file(victim), "@echo off\r\n");
}

// The log cannot be deleted or renamed while it is open, so it cannot be
// swapped for a link; its identity names it.
TEST_F(LogFile, OpenFileCannotBeSwappedAndKnowsItsIdentity) {
    replay::log::file f(base);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(MoveFileA(path.c_str(), (folder / "moved.txt").c_str()));
    replay::file_handle reader(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.valid());
    EXPECT_TRUE(f.identity().known());
    EXPECT_TRUE(replay::log::identity_of(reader.get()) == f.identity());
    write_file(folder / "other.txt", "x");
    replay::file_handle other(CreateFileA((folder / "other.txt").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(replay::log::identity_of(other.get()) == f.identity());
}

TEST_F(LogFile, SizeLimitWithoutBackupsTruncatesToTheMark) {
    replay::log::file f(base);
    f.set_max_size(12);
    write_lines(f, {"first line"});   // 3 bytes: below the limit
    write_lines(f, {"second line"});  // 17 bytes: truncated before writing
    EXPECT_EQ(read_file(path), bom + "P second line\r\n");
}

TEST_F(LogFile, RotationTakesTheFirstFreeNumber) {
    replay::log::file f(base);
    f.set_backups(2);
    f.set_max_size(10);
    write_lines(f, {"one"});
    write_lines(f, {"two"});
    EXPECT_EQ(read_file(base + ".1.log.txt"), bom + "P one\r\n");
    write_lines(f, {"three"});
    EXPECT_EQ(read_file(base + ".2.log.txt"), bom + "P two\r\n");
    EXPECT_EQ(read_file(path), bom + "P three\r\n");
}

TEST_F(LogFile, RotationWithAllNumbersTakenDropsTheOldest) {
    write_file(base + ".1.log.txt", "backup 1");
    write_file(base + ".2.log.txt", "backup 2");
    write_file(base + ".3.log.txt", "backup 3");
    replay::log::file f(base);
    write_lines(f, {"current"});
    f.set_backups(3);
    f.set_max_size(5);
    write_lines(f, {"next"});
    EXPECT_EQ(read_file(base + ".1.log.txt"), "backup 2");
    EXPECT_EQ(read_file(base + ".2.log.txt"), "backup 3");
    EXPECT_EQ(read_file(base + ".3.log.txt"), bom + "P current\r\n");
    EXPECT_EQ(read_file(path), bom + "P next\r\n");
}

TEST_F(LogFile, SingleBackupIsReplaced) {
    write_file(base + ".1.log.txt", "old backup");
    replay::log::file f(base);
    write_lines(f, {"current"});
    f.set_backups(1);
    f.set_max_size(5);
    write_lines(f, {"next"});
    EXPECT_EQ(read_file(base + ".1.log.txt"), bom + "P current\r\n");
    EXPECT_EQ(read_file(path), bom + "P next\r\n");
}

TEST_F(LogFile, RotationThatCannotCopyGivesUpAndKeepsTheLog) {
    // Folders in place of the backups: every copy and move fails.
    CreateDirectoryA((base + ".1.log.txt").c_str(), nullptr);
    CreateDirectoryA((base + ".2.log.txt").c_str(), nullptr);
    replay::log::file f(base);
    write_lines(f, {"kept"});
    f.set_backups(2);
    f.set_max_size(5);
    write_lines(f, {"still written"});
    EXPECT_EQ(read_file(path), bom + "P kept\r\nP still written\r\n");
}

TEST_F(LogFile, WritersOfTheSameFileNeverInterleaveInsideALine) {
    SKIP_THREADS_WHERE_EMULATED();
    constexpr int lines_per_writer = 150;
    auto writer = [&](const char* tag) {
        replay::log::dispatcher d;
        d.attach(std::make_unique<replay::log::file>(base));
        for (int i = 0; i < lines_per_writer; ++i) {
            d.write(1, replay::wformat(L"%S line %d of a text long enough to need more than one piece", tag, i));
        }
    };
    std::thread a(writer, "A");
    std::thread b(writer, "B");
    a.join();
    b.join();
    const std::string content = read_file(path);
    ASSERT_EQ(content.substr(0, 3), bom);
    EXPECT_EQ(content.find(bom, 3), std::string::npos);
    const auto lines = lines_of(content.substr(3));
    ASSERT_EQ(lines.size(), 2u * lines_per_writer);
    const std::regex whole(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}    [AB] line \d+ of a text long enough to need more than one piece)");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

}  // namespace
