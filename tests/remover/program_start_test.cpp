#include "remover/program_start.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "support/own_program.hpp"
#include "support/temp_folder.hpp"

namespace {

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
