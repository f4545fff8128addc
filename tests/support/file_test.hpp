#pragma once
// What the tests of the file operations share: a temporary folder, the
// captured log, and the tree removal's seams put back after each test.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "remover/safe_delete/safe_delete.hpp"
#include "support/emulation.hpp"
#include "support/log_capture.hpp"
#include "support/temp_folder.hpp"

namespace test_support {

inline bool present(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline void make_folder(const std::string& path) { std::filesystem::create_directories(path); }

class file_test : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WHERE_EMULATED("its file calls were seen to hang after the registry tests; the 32-bit end-to-end "
                            "scenarios run the same file code");
    }
    void TearDown() override { remover::test_seams() = remover::tree_removal_seams(); }

    test_support::temp_folder folder;
    test_support::log_capture log;
};

}  // namespace test_support
