#include "replay/registry2/backup.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay/log/log.hpp"
#include "replay/registry2/key.hpp"
#include "replay/registry2/regedit_format.hpp"
#include "support/recording_listener.hpp"
#include "support/scratch_key.hpp"
#include "support/temp_folder.hpp"

namespace {

namespace registry2 = replay::registry2;
using test_support::raw_value;

std::vector<BYTE> bytes_of(const std::wstring& text, std::size_t extra_bytes = 0) {
    const auto* p = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(p, p + text.size() * sizeof(wchar_t) + extra_bytes);
}

struct value_case {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
    const wchar_t* line;  // as written to the file
    // Text without its terminator, or with half a character: the importers
    // (Wine's reg and regedit) complete hex(1) data with a terminator.
    bool imports_exactly = true;
};

const std::vector<value_case>& value_cases() {
    static const std::vector<value_case> cases = {
        {L"", REG_SZ, bytes_of(std::wstring(L"default", 8)), LR"(@="default")"},
        {L"back\\slash \"quoted\"", REG_SZ, bytes_of(std::wstring(L"C:\\x \"y\"", 9)),
         LR"("back\\slash \"quoted\""="C:\\x \"y\"")"},
        {L"Z\u00e4hler \u65e5\u672c", REG_SZ, bytes_of(std::wstring(L"\u00fc\u20ac", 3)),
         L"\"Z\u00e4hler \u65e5\u672c\"=\"\u00fc\u20ac\""},
        {L"unterminated", REG_SZ, bytes_of(L"ab"), LR"("unterminated"=hex(1):61,00,62,00)", false},
        {L"empty text", REG_SZ, {}, LR"("empty text"=hex(1):)"},
        {L"odd text", REG_SZ, {0x61, 0x00, 0x62}, LR"("odd text"=hex(1):61,00,62)", false},
        {L"two lines", REG_SZ, bytes_of(std::wstring(L"a\nb", 4)), LR"("two lines"=hex(1):61,00,0a,00,62,00,00,00)"},
        {L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, LR"("dword"=dword:12345678)"},
        {L"line\r\nbreak", REG_DWORD, {1, 0, 0, 0}, LR"("line\r\nbreak"=dword:00000001)"},
        {L"short dword", REG_DWORD, {0x01, 0x02, 0x03}, LR"("short dword"=hex(4):01,02,03)"},
        {L"expand", REG_EXPAND_SZ, bytes_of(std::wstring(L"%T%", 4)), LR"("expand"=hex(2):25,00,54,00,25,00,00,00)"},
        {L"multi", REG_MULTI_SZ, bytes_of(std::wstring(L"a\0b\0\0", 5)), LR"("multi"=hex(7):61,00,00,00,62,00,00,00,00,00)"},
        {L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, LR"("qword"=hex(b):01,02,03,04,05,06,07,08)"},
        {L"binary", REG_BINARY, {0x00, 0xff}, LR"("binary"=hex:00,ff)"},
        {L"empty binary", REG_BINARY, {}, LR"("empty binary"=hex:)"},
        {L"odd binary", REG_BINARY, {1, 2, 3}, LR"("odd binary"=hex:01,02,03)"},
        {L"none", REG_NONE, {0x2a}, LR"("none"=hex(0):2a)"},
        {L"other type", 0x12345, {0x01}, LR"("other type"=hex(12345):01)"},
    };
    return cases;
}

TEST(RegistryBackup, WritesEachValueTypeAsRegeditDoes) {
    for (const value_case& c : value_cases()) {
        SCOPED_TRACE(testing::Message() << "value " << testing::PrintToString(std::wstring(c.name)));
        EXPECT_EQ(registry2::reg_value_line(c.name, c.type, c.data.data(), c.data.size()), c.line);
    }
}

TEST(RegistryBackup, WrapsLongHexDataWithATrailingBackslash) {
    const std::vector<BYTE> data(100, 0xab);
    const std::wstring text = registry2::reg_value_line(L"long", REG_BINARY, data.data(), data.size());
    std::size_t start = 0, lines = 1;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2, ++lines) {
        EXPECT_LE(end - start, 80u);
    }
    EXPECT_GE(lines, 3u);
    // Each line but the last ends with a backslash; the next goes on after two blanks.
    std::wstring joined = text;
    for (std::size_t at; (at = joined.find(L"\\\r\n  ")) != std::wstring::npos;) joined.erase(at, 5);
    std::wstring expected = L"\"long\"=hex:ab";
    for (int i = 1; i < 100; ++i) expected += L",ab";
    EXPECT_EQ(joined, expected);
}

// No line of an entry may start anything but a comment once a key name is one
// that regedit cannot read back; an ordinary name keeps its usual entry.
TEST(RegistryBackup, KeyNamesRegeditCannotReadBackAreOnlyComments) {
    struct key_case {
        std::wstring name;
        bool deleting;
        std::wstring values;
        std::wstring entry;  // empty: only comment lines, checked below
    };
    const std::wstring planted = L"HKEY_CURRENT_USER\\Software\\Vexars\\ZENQO\\x\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Victim]\r\nz";
    const std::wstring wrapped = registry2::reg_value_line(L"Debugger", REG_BINARY, std::vector<BYTE>(60, 1).data(), 60);
    const std::vector<key_case> cases = {
        {L"HKEY_CURRENT_USER\\Software\\Vexars\\ZENQO", false, L"\"a\"=dword:00000001\r\n",
         L"[HKEY_CURRENT_USER\\Software\\Vexars\\ZENQO]\r\n\"a\"=dword:00000001\r\n\r\n"},
        {L"HKEY_CURRENT_USER\\Software\\[made", true, L"", L"[-HKEY_CURRENT_USER\\Software\\[made]\r\n\r\n"},
        {planted, false, L"\"Debugger\"=\"cmd.exe\"\r\n", L""},
        {planted, true, L"", L""},
        {L"HKEY_CURRENT_USER\\Software\\a\nb", false, wrapped + L"\r\n", L""},
        {L"HKEY_CURRENT_USER\\Software\\bracket]x", false, L"", L""},
        {std::wstring(L"HKEY_CURRENT_USER\\Software\\nul\0x", 32), false, L"", L""},
        {L"HKEY_CURRENT_USER\\Software\\bell\x07\x85\x7f", false, L"", L""},
    };
    for (const key_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "key " << testing::PrintToString(c.name));
        EXPECT_EQ(registry2::importable_key_name(c.name), !c.entry.empty());
        const std::wstring entry = registry2::reg_key_entry(c.name, c.deleting, c.values);
        if (!c.entry.empty()) {
            EXPECT_EQ(entry, c.entry);
            continue;
        }
        // Every line a comment, the last one empty; the name only escaped.
        ASSERT_GE(entry.size(), 4u);
        EXPECT_EQ(entry.substr(entry.size() - 4), L"\r\n\r\n");
        const std::wstring lines = entry.substr(0, entry.size() - 2);
        for (std::size_t start = 0, end; (end = lines.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
            EXPECT_EQ(lines.substr(start, 2), L"; ") << testing::PrintToString(lines.substr(start, end - start));
            for (wchar_t ch : lines.substr(start, end - start)) EXPECT_FALSE(ch < 0x20 || (ch >= 0x7f && ch <= 0x9f));
        }
        EXPECT_EQ(entry.rfind(L"; " + registry2::escaped(c.name) +
                                  (c.deleting ? L" was made by the run and cannot be deleted by import: "
                                              : L" cannot be restored by import: "),
                              0),
                  0u);
        EXPECT_NE(entry.find(L"regedit would read"), std::wstring::npos);
    }
}

TEST(RegistryBackup, EscapesEveryCharacterThatCouldEndACommentLine) {
    EXPECT_EQ(registry2::escaped(L"HKEY_LOCAL_MACHINE\\SOFTWARE"), LR"("HKEY_LOCAL_MACHINE\\SOFTWARE")");
    EXPECT_EQ(registry2::escaped(std::wstring(L"a\r\n\t\0\x1b\x85\x7f\"b", 10)), LR"("a\r\n\t\0\x001b\x0085\x007f\"b")");
    EXPECT_EQ(registry2::escaped(L"\u00e4]["), L"\"\u00e4][\"");
    EXPECT_EQ(registry2::reg_link_comment(L"HKEY_CURRENT_USER\\a", L"\\REGISTRY\\MACHINE\r\n[-HKEY_LOCAL_MACHINE]"),
              L"; \"HKEY_CURRENT_USER\\\\a\" was a registry link to "
              L"\"\\\\REGISTRY\\\\MACHINE\\r\\n[-HKEY_LOCAL_MACHINE]\"; regedit cannot make one\r\n\r\n");
}

TEST(RegistryBackup, NamesTheFileAfterTheLocalTime) {
    SYSTEMTIME time = {};
    time.wYear = 2026, time.wMonth = 12, time.wDay = 8, time.wHour = 5, time.wMinute = 12, time.wSecond = 7;
    EXPECT_EQ(registry2::backup_file_name(L"ZENQORemover", time), L"ZENQORemover.backup-20261208-051207.reg");
}

// Imports a .reg file with the system's reg.exe, the 64-bit one wherever
// there is one (it reaches the 32-bit view through Wow6432Node paths).
DWORD reg_import(const std::wstring& file) {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring exe = std::wstring(windows) + (wow64 ? L"\\Sysnative\\reg.exe" : L"\\System32\\reg.exe");
    std::wstring command = L"\"" + exe + L"\" import \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return 1000 + GetLastError();
    }
    DWORD code = 999;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

class RegistryBackupFile : public testing::Test {
protected:
    void TearDown() override { registry2::stop_backup(); }
    void start() {
        name_ = L"backup-test-" + std::to_wstring(GetCurrentProcessId()) + L".reg";
        registry2::start_backup(name_, {L"C:\\no such folder\\", std::wstring(folder_.path().begin(), folder_.path().end()) + L"\\"});
    }
    std::wstring path() const { return std::wstring(folder_.path().begin(), folder_.path().end()) + L"\\" + name_; }
    std::wstring read() const {
        const std::wstring file = path();
        const std::string text = test_support::read_file(std::string(file.begin(), file.end()));
        return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size() / sizeof(wchar_t));
    }
    test_support::temp_folder folder_;
    std::wstring name_;
};

TEST_F(RegistryBackupFile, IsOnlyCreatedWhenSomethingIsDeletedOrChanged) {
    test_support::scratch_key scratch;
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    replay::unique_hkey child;
    ASSERT_EQ(RegCreateKeyExW(scratch.get(), L"parent\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, child.put(), nullptr), 0);
    start();
    const registry2::key k(scratch.get());
    // Deletions that Windows refuses save nothing.
    EXPECT_THROW(k.delete_value(L"missing"), registry2::key_error);
    EXPECT_THROW(registry2::delete_key(k, L"parent", /*recursive=*/false), registry2::key_error);
    EXPECT_THROW(registry2::delete_key(k, L"missing", /*recursive=*/true), registry2::key_error);
    EXPECT_EQ(registry2::backup_path(), L"");
    EXPECT_EQ(GetFileAttributesW(path().c_str()), INVALID_FILE_ATTRIBUTES);
    k.set_dword(L"counter", 1);
    // The first folder does not exist: the file goes to the second.
    EXPECT_EQ(registry2::backup_path(), path());
    const std::wstring expected = L"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" +
                                  scratch.path() + L"]\r\n\"counter\"=-\r\n\r\n";
    EXPECT_EQ(read(), expected);
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Whatever stands at the backup's name is left as it is: a planted file
// would be imported with the backup, a hard link would make the run write
// to its target. The backup takes the next free number.
TEST_F(RegistryBackupFile, TakesTheNextFreeNameAndLeavesWhatStandsThere) {
    struct taken_case {
        const char* name;
        std::vector<std::wstring> planted;  // files at these names
        bool hard_link;                     // the first name is a hard link to a file elsewhere
        std::wstring written;               // the name the backup takes
    };
    const std::string planted_text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\ZqPlanted]\r\n";
    const std::vector<taken_case> cases = {
        {"planted file", {L"zq.reg"}, false, L"zq-2.reg"},
        {"two planted files", {L"zq.reg", L"zq-2.reg"}, false, L"zq-3.reg"},
        {"hard link", {}, true, L"zq-2.reg"},
    };
    for (const taken_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::temp_folder folder;
        test_support::temp_folder elsewhere;
        const std::wstring base = wide(folder.path()) + L"\\";
        const std::string victim = elsewhere / "victim.txt";
        test_support::write_file(victim, planted_text);
        for (const std::wstring& name : c.planted) {
            test_support::write_file(folder / std::string(name.begin(), name.end()), planted_text);
        }
        if (c.hard_link) {
            ASSERT_TRUE(CreateHardLinkW((base + L"zq.reg").c_str(), wide(victim).c_str(), nullptr));
        }
        test_support::scratch_key scratch;
        ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
        registry2::start_backup(L"zq.reg", {base});
        registry2::key(scratch.get()).set_dword(L"counter", 1);
        EXPECT_EQ(registry2::backup_path(), base + c.written);
        registry2::stop_backup();
        EXPECT_EQ(test_support::read_file(victim), planted_text);
        for (const std::wstring& name : c.planted) {
            EXPECT_EQ(test_support::read_file(folder / std::string(name.begin(), name.end())), planted_text);
        }
        const std::string written = test_support::read_file(folder / std::string(c.written.begin(), c.written.end()));
        EXPECT_EQ(written.compare(0, 2, "\xFF\xFE"), 0);
        EXPECT_EQ(written.find("ZqPlanted"), std::string::npos);
    }
}

// A backup that cannot be written is said once in the log, with its reason,
// and the changes go on.
TEST_F(RegistryBackupFile, NoFolderTakesItSaysSoOnce) {
    auto got = std::make_shared<test_support::journal>();
    replay::log::attach(std::make_unique<test_support::recording_listener>(got, "r"));
    test_support::scratch_key scratch;
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    registry2::start_backup(L"zq.reg", {L"C:\\zq no such folder\\"});
    const registry2::key k(scratch.get());
    k.set_dword(L"first", 1);
    k.set_dword(L"second", 2);
    replay::log::shutdown();
    EXPECT_EQ(registry2::backup_path(), L"");
    ASSERT_EQ(got->entries.size(), 1u);
    const std::string& line = got->entries[0].text;
    const std::string start = "The registry backup could not be written: \"C:\\zq no such folder\\zq.reg\": ";
    EXPECT_EQ(line.compare(0, start.size(), start), 0) << line;
    EXPECT_EQ(line.substr(line.size() - 10), " (error 3)") << line;
}

// Registry names are the same whatever their letter case, beyond ASCII too:
// a value changed again under another spelling keeps its first entry.
TEST_F(RegistryBackupFile, NamesDifferingOnlyInCaseAreSavedOnce) {
    test_support::scratch_key scratch;
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    start();
    const registry2::key k(scratch.get());
    k.set_dword(L"Z\u00e4hler", 1);
    k.set_dword(L"Z\u00c4HLER", 2);
    k.set_dword(L"\u0436", 3);
    k.set_dword(L"\u0416", 4);
    const std::wstring head = L"[HKEY_CURRENT_USER\\" + scratch.path() + L"]\r\n";
    EXPECT_EQ(read(), L"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n" + head + L"\"Z\u00e4hler\"=-\r\n\r\n" + head +
                          L"\"\u0436\"=-\r\n\r\n");
}

// Every value type and odd name, changed and deleted in turn, and a key of
// the 32-bit view: the import gives back the state before the first change.
TEST_F(RegistryBackupFile, ImportGivesBackTheOldestStateInBothViews) {
    test_support::scratch_key scratch;
    test_support::scratch_key scratch32(HKEY_LOCAL_MACHINE, L"Software\\ZENQOUnitTests", KEY_WOW64_32KEY);
    ASSERT_EQ(scratch.status(), ERROR_SUCCESS);
    ASSERT_EQ(scratch32.status(), ERROR_SUCCESS);
    replay::unique_hkey tree, tree32;
    ASSERT_EQ(RegCreateKeyExW(scratch.get(), L"tree\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, tree.put(), nullptr), 0);
    ASSERT_EQ(RegCreateKeyExW(scratch32.get(), L"tree32", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                              tree32.put(), nullptr), 0);
    for (const value_case& c : value_cases()) {
        ASSERT_TRUE(test_support::raw_value_set(tree.get(), c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size())));
    }
    ASSERT_TRUE(test_support::raw_value_set(tree32.get(), L"counter", REG_DWORD, "\3\0\0\0", 4));
    tree.reset();
    start();
    {
        const registry2::key parent(scratch.get());
        const registry2::key child(registry2::key(parent, L"tree", false), L"child", false);
        child.set_dword(L"dword", 7);
        child.set_dword(L"dword", 8);
        child.set_string(L"added", L"new");
        child.delete_value(L"binary");
        registry2::key created(parent, L"tree\\created", true);
        registry2::delete_key(parent, L"tree", true);
        const registry2::key parent32(scratch32.get());
        registry2::key(parent32, L"tree32", false, KEY_WOW64_32KEY).set_dword(L"counter", 2);
        registry2::delete_key(parent32, L"tree32", true, KEY_WOW64_32KEY);
    }
    registry2::stop_backup();
    const std::wstring wide = read();
    std::wstring upper = wide;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    EXPECT_NE(upper.find(L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\ZENQOUNITTESTS\\"), std::wstring::npos) << wide.c_str();
    ASSERT_TRUE(test_support::key_absent(scratch.get(), L"tree"));
    ASSERT_EQ(reg_import(path()), 0u) << wide.c_str();
    ASSERT_EQ(RegOpenKeyExW(scratch.get(), L"tree\\child", 0, KEY_READ, tree.put()), 0);
    for (const value_case& c : value_cases()) {
        if (!c.imports_exactly) continue;
        SCOPED_TRACE(testing::Message() << "value " << testing::PrintToString(std::wstring(c.name)));
        DWORD type = 0;
        EXPECT_EQ(raw_value(tree.get(), c.name, &type), c.data);
        EXPECT_EQ(type, c.type);
    }
    EXPECT_TRUE(test_support::value_absent(tree.get(), L"added"));
    EXPECT_TRUE(test_support::key_absent(scratch.get(), L"tree\\created"));
    ASSERT_EQ(RegOpenKeyExW(scratch32.get(), L"tree32", 0, KEY_READ | KEY_WOW64_32KEY, tree32.put()), 0);
    EXPECT_EQ(raw_value(tree32.get(), L"counter"), (std::vector<BYTE>{3, 0, 0, 0}));
}

}  // namespace
