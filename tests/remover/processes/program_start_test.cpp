#include "remover/processes/program_start.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "support/own_program.hpp"
#include "support/temp_folder.hpp"

namespace {

TEST(MayStartProgram, SoundFolderYesMissingFileOrShareNo) {
    test_support::temp_folder folder;
    const std::string exe = folder / "ZqTool.exe";
    ASSERT_TRUE(CopyFileA(test_support::own_path().c_str(), exe.c_str(), /*fail_if_exists=*/FALSE));
    test_support::log_capture log;
    // Under Wine a folder grants write access to SYSTEM and the running
    // account only, and every file is the running account's.
    EXPECT_TRUE(remover::may_start_program(std::wstring(exe.begin(), exe.end())));
    // A file that is not there when its folder is checked is not started:
    // whatever appears there later was not checked. Nothing to say.
    const std::string missing = folder / "Missing.exe";
    EXPECT_FALSE(remover::may_start_program(std::wstring(missing.begin(), missing.end())));
    EXPECT_FALSE(remover::may_start_program(L"C:\\zq-missing\\ZqTool.exe"));
    EXPECT_TRUE(log.texts().empty());
    // A share can name this machine's disk, or another's, another way.
    const std::wstring share = L"\\\\localhost\\C$\\" + std::wstring(exe.begin() + 3, exe.end());
    EXPECT_FALSE(remover::may_start_program(share));
    const std::string shown(share.begin(), share.end());
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Program not started: \"" + shown + "\": \"" + shown +
                                                    "\" is not a path on a local drive"});
}

}  // namespace
