#include "remover/program_start.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "support/own_program.hpp"
#include "support/temp_folder.hpp"

namespace {

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

}  // namespace
