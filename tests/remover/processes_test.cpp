#include "remover/processes.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <vector>

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

TEST(IsProcessRunning, MatchesTheEndOfTheNameIgnoringCase) {
    SKIP_PROCESSES_WHERE_EMULATED();
    const std::string name = own_name();
    EXPECT_TRUE(remover::is_process_running(name));
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(remover::is_process_running(upper));
    EXPECT_TRUE(remover::is_process_running(name.substr(3)));  // a tail of the name
    EXPECT_FALSE(remover::is_process_running("zq-no-such-program.exe"));
    EXPECT_FALSE(remover::is_process_running(""));
}

TEST(TerminateProcessesByName, TerminatesEveryMatchWithCode255) {
    SKIP_PROCESSES_WHERE_EMULATED();
    test_support::temp_folder folder;
    sleeper first(folder, "ZqMsgSys.exe");
    sleeper second(folder, "OldZqMsgSys.EXE");
    sleeper other(folder, "ZqOther.exe");
    ASSERT_TRUE(first.started() && second.started() && other.started());
    Sleep(300);  // let them appear in snapshots
    remover::terminate_processes_by_name("zqmsgsys.exe");
    EXPECT_EQ(first.exit_code(), 255u);
    EXPECT_EQ(second.exit_code(), 255u);
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
    EXPECT_EQ(remover::launch_and_wait_for_exit_code(L"cmd.exe", L"/c exit 3", L""), 3);
    EXPECT_EQ(texts(), (std::vector<std::string>{"launch_and_wait_for_exit_code: \"cmd.exe\" /c exit 3", "exit_code: 3"}));
}

TEST_F(LaunchAndWait, MissingFileGivesOne) {
    SKIP_PROCESSES_WHERE_EMULATED();
    EXPECT_EQ(remover::launch_and_wait_for_exit_code(L"C:\\zq-missing\\setup.exe", L"-x", L""), 1);
    const auto lines = texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "launch_and_wait_for_exit_code: \"C:\\zq-missing\\setup.exe\" -x");
    EXPECT_EQ(lines[1].rfind("ShellExecuteEx failed. Error: ", 0), 0u) << lines[1];
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
// The running account in these cases is S-1-5-21-1-2-3-1001.
struct folder_case {
    const char* name;
    const wchar_t* sddl;
    const char* refusal;
};

const folder_case folder_cases[] = {
    {"users may write", L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1301bf;;;BU)", "S-1-5-32-545 may write to the folder"},
    {"only administrators and system", L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", ""},
    {"everyone may create folders", L"D:(A;;FA;;;BA)(A;;0x4;;;WD)", "S-1-1-0 may write to the folder"},
    {"authenticated users may create files", L"D:(A;;0x2;;;AU)", "S-1-5-11 may write to the folder"},
    {"users inherit-only full access", L"D:(A;;FA;;;BA)(A;OICIIO;GA;;;BU)", ""},
    {"users inherited full access on the folder", L"D:(A;OICIID;GA;;;BU)", "S-1-5-32-545 may write to the folder"},
    {"creator owner", L"D:(A;OICIIO;GA;;;CO)(A;;FA;;;CO)(A;;FA;;;CG)", ""},
    {"trusted installer", L"D:(A;;FA;;;S-1-5-80-956008885-3425912220-3236893519-1006880651-25766698)", ""},
    {"the running account", L"D:(A;;FA;;;S-1-5-21-1-2-3-1001)", ""},
    {"another account", L"D:(A;;FA;;;S-1-5-21-1-2-3-1002)", "S-1-5-21-1-2-3-1002 may write to the folder"},
    {"users may change the access list", L"D:(A;;WD;;;BU)", "S-1-5-32-545 may write to the folder"},
    {"users may take ownership", L"D:(A;;WO;;;BU)", "S-1-5-32-545 may write to the folder"},
    {"users generic write", L"D:(A;;GW;;;BU)", "S-1-5-32-545 may write to the folder"},
    {"everyone read and execute", L"D:(A;;0x1200a9;;;WD)(A;;FA;;;BA)", ""},
    {"a denying entry only", L"D:(D;;FA;;;BU)(A;;FA;;;SY)", ""},
    {"the first outsider is named", L"D:(A;;FA;;;SY)(A;;0x4;;;WD)(A;;FA;;;BU)", "S-1-1-0 may write to the folder"},
    {"empty access list", L"D:", ""},
};

TEST(FolderWriteRefusal, DecidesFromTheAccessList) {
    PSID runner = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &runner));
    for (const folder_case& c : folder_cases) {
        SCOPED_TRACE(c.name);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
        EXPECT_EQ(remover::folder_write_refusal(descriptor, runner), c.refusal);
        LocalFree(descriptor);
    }
    LocalFree(runner);
}

TEST(FolderWriteRefusal, NoAccessListLetsEveryoneWrite) {
    SECURITY_DESCRIPTOR descriptor = {};
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, /*present=*/TRUE, /*dacl=*/nullptr, /*defaulted=*/FALSE));
    EXPECT_EQ(remover::folder_write_refusal(&descriptor, nullptr), "the folder has no access list: everyone may write to it");
    // A descriptor without any access-list part is the same.
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, /*present=*/FALSE, nullptr, FALSE));
    EXPECT_EQ(remover::folder_write_refusal(&descriptor, nullptr), "the folder has no access list: everyone may write to it");
}

TEST(MayStartProgram, OrdinaryFolderAndMissingFileAreLeftToTheStart) {
    test_support::temp_folder folder;
    const std::string exe = folder / "ZqTool.exe";
    ASSERT_TRUE(CopyFileA(test_support::own_path().c_str(), exe.c_str(), /*fail_if_exists=*/FALSE));
    // Under Wine a folder grants write access to SYSTEM and the running
    // account only.
    EXPECT_TRUE(remover::may_start_program(std::wstring(exe.begin(), exe.end())));
    EXPECT_TRUE(remover::may_start_program(L"C:\\zq-missing\\ZqTool.exe"));
}

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
