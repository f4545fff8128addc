#include "replay/system_function.hpp"

#include <gtest/gtest.h>

namespace {

using tick_function = DWORD(WINAPI*)();

TEST(SystemFunction, BindsWhatALoadedModuleExportsAndNullOtherwise) {
    const auto tick = replay::system_function<tick_function>(L"kernel32.dll", "GetTickCount");
    ASSERT_NE(tick, nullptr);
    const DWORD before = GetTickCount();
    EXPECT_LE(tick() - before, 10000u);

    EXPECT_EQ(replay::system_function<tick_function>(L"kernel32.dll", "NoSuchFunctionAnywhere"), nullptr);
    // A module the process has not loaded is not loaded for the lookup.
    EXPECT_EQ(replay::system_function<tick_function>(L"zenqo-no-such-module.dll", "GetTickCount"), nullptr);
    EXPECT_EQ(replay::module_function<tick_function>(nullptr, "GetTickCount"), nullptr);
}

}  // namespace
