#include "remover/processes/processes.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "remover/common/windows_version.hpp"
#include "replay/log/log.hpp"
#include "support/emulation.hpp"
#include "support/own_program.hpp"
#include "support/recording_listener.hpp"
#include "support/sleeper.hpp"
#include "support/temp_folder.hpp"

namespace {

using test_support::own_name;

// A copy of this program in the folder, under another name.
class sleeper : public test_support::sleeper {
public:
    sleeper(const test_support::temp_folder& folder, const std::string& exe_name)
        : test_support::sleeper(folder / exe_name) {}
};

TEST(ProcessNameMatches, TheWholeFileNameIgnoringAsciiCase) {
    const struct {
        const wchar_t* exe_file;
        const char* name;
        bool matches;
    } cases[] = {
        {L"MsgSys.exe", "MsgSys.exe", true},
        {L"msgsys.EXE", "MsgSys.exe", true},
        {L"C:\\procs\\MsgSys.exe", "MsgSys.exe", true},
        {L"C:/procs/MsgSys.exe", "MsgSys.exe", true},
        {L"OldMsgSys.exe", "MsgSys.exe", false},
        {L"C:\\procs\\OldMsgSys.exe", "MsgSys.exe", false},
        {L"SoftwareUpDates.exe", "UpDates.exe", false},
        {L"MsgSys.exe.bak", "MsgSys.exe", false},
        {L"MsgSys.exe", "", false},
        {L"", "MsgSys.exe", false},
        // Look-alikes in UTF-16 never match: FULLWIDTH LATIN CAPITAL M.
        {L"\uFF2DsgSys.exe", "MsgSys.exe", false},
        // Letters outside ASCII keep their case: only A to Z are folded.
        {L"\u00C9t\u00E9.exe", "\xE9t\xE9.exe", false},
        {L"\u00E9t\u00E9.exe", "\xE9t\xE9.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(remover::process_name_matches(c.exe_file, c.name), c.matches);
    }
}

TEST(IsProcessRunning, MatchesTheWholeNameIgnoringCase) {
    SKIP_PROCESSES_WHERE_EMULATED();
    const std::string name = own_name();
    EXPECT_TRUE(remover::is_process_running(name));
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(remover::is_process_running(upper));
    EXPECT_FALSE(remover::is_process_running(name.substr(3)));  // a tail of the name
    EXPECT_FALSE(remover::is_process_running("zq-no-such-program.exe"));
    EXPECT_FALSE(remover::is_process_running(""));
}

TEST(TerminateProcessesByName, TerminatesEveryMatchWithCode255) {
    SKIP_PROCESSES_WHERE_EMULATED();
    test_support::temp_folder folder;
    test_support::temp_folder second_folder;  // the same name in other letter case
    sleeper first(folder, "ZqMsgSys.exe");
    sleeper second(second_folder, "ZQMSGSYS.EXE");
    sleeper longer(folder, "OldZqMsgSys.exe");
    sleeper other(folder, "ZqOther.exe");
    ASSERT_TRUE(first.started() && second.started() && longer.started() && other.started());
    Sleep(300);  // let them appear in snapshots
    remover::terminate_processes_by_name("zqmsgsys.exe");
    EXPECT_EQ(first.exit_code(), 255u);
    EXPECT_EQ(second.exit_code(), 255u);
    EXPECT_EQ(longer.exit_code(200), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(other.exit_code(200), static_cast<DWORD>(STILL_ACTIVE));
}

TEST(TerminateProcessesByName, NeverTheRemoverItself) {
    SKIP_PROCESSES_WHERE_EMULATED();
    test_support::temp_folder folder;
    sleeper twin(folder, own_name());
    ASSERT_TRUE(twin.started());
    Sleep(300);
    remover::terminate_processes_by_name(own_name());
    EXPECT_EQ(twin.exit_code(), 255u);  // and this process is still here to see it
}

TEST(ProcessNameForSnapshot, WholeNameOutsideWindows2000) {
    ASSERT_FALSE(remover::is_windows_2000());  // Wine reports Windows 7 by default
    EXPECT_EQ(remover::process_name_for_snapshot("VexarSuiteService.exe"), "VexarSuiteService.exe");
}

class LaunchAndWait : public ::testing::Test {
protected:
    void SetUp() override { replay::log::attach(std::make_unique<test_support::recording_listener>(got, "r")); }
    void TearDown() override { replay::log::shutdown(); }
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& e : got->entries) result.push_back(e.text);
        return result;
    }
    std::shared_ptr<test_support::journal> got = std::make_shared<test_support::journal>();
};

TEST_F(LaunchAndWait, ReturnsTheExitCode) {
    SKIP_PROCESSES_WHERE_EMULATED();
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    EXPECT_EQ(remover::launch_and_wait_for_exit_code(cmd, L"/c exit 3", L""), 3);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "launch_and_wait_for_exit_code: \"" + std::string(cmd.begin(), cmd.end()) + "\" /c exit 3",
                           "exit_code: 3"}));
}

TEST_F(LaunchAndWait, MissingFileGivesOne) {
    SKIP_PROCESSES_WHERE_EMULATED();
    // A missing program is not started at all: nothing more is said.
    EXPECT_EQ(remover::launch_and_wait_for_exit_code(L"C:\\zq-missing\\setup.exe", L"-x", L""), 1);
    EXPECT_EQ(texts(), std::vector<std::string>{"launch_and_wait_for_exit_code: \"C:\\zq-missing\\setup.exe\" -x"});
}

TEST_F(LaunchAndWait, StopsWaitingForAProgramThatDoesNotFinish) {
    SKIP_PROCESSES_WHERE_EMULATED();
    test_support::temp_folder folder;
    const std::string exe = folder / "ZqNeverEnds.exe";
    ASSERT_TRUE(CopyFileA(test_support::own_path().c_str(), exe.c_str(), /*fail_if_exists=*/FALSE));
    const DWORD saved = remover::program_timing().limit_ms;
    remover::program_timing().limit_ms = 1000;
    const DWORD start = GetTickCount();
    const int code = remover::launch_and_wait_for_exit_code(std::wstring(exe.begin(), exe.end()), L"--sleep 60000",
                                                            std::wstring(folder.path().begin(), folder.path().end()));
    const DWORD waited = GetTickCount() - start;
    remover::program_timing().limit_ms = saved;
    // Left running by the wait: found and ended here.
    Sleep(300);
    const bool still_running = remover::is_process_running("ZqNeverEnds.exe");
    remover::terminate_processes_by_name("ZqNeverEnds.exe");
    EXPECT_EQ(code, 1);
    EXPECT_LT(waited, 30000u);
    EXPECT_TRUE(still_running);
    const auto lines = texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "The program did not finish within 1 s: no longer waiting for it");
}

// Descriptors as a folder could carry, and what the decision says of them.
bool debug_privilege_enabled() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    LUID debug = {};
    LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debug);
    PRIVILEGE_SET set = {};
    set.PrivilegeCount = 1;
    set.Privilege[0].Luid = debug;
    BOOL enabled = FALSE;
    PrivilegeCheck(token, &set, &enabled);
    CloseHandle(token);
    return enabled != FALSE;
}

TEST(PrivilegeScope, EnablesForItsLifetimeAndRestores) {
    ASSERT_FALSE(debug_privilege_enabled());
    {
        remover::privilege_scope outer("SeDebugPrivilege");
        EXPECT_TRUE(debug_privilege_enabled());
        {
            remover::privilege_scope inner("SeDebugPrivilege");
            EXPECT_TRUE(debug_privilege_enabled());
        }
        EXPECT_TRUE(debug_privilege_enabled());
    }
    EXPECT_FALSE(debug_privilege_enabled());
}

TEST(PrivilegeScope, UnknownPrivilegeChangesNothing) {
    remover::privilege_scope unknown("SeNoSuchPrivilege");
    EXPECT_FALSE(debug_privilege_enabled());
}

}  // namespace
