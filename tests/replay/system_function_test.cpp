#include "replay/system_function.hpp"

#include <gtest/gtest.h>

namespace {

using tick_function = DWORD(WINAPI*)();

// The lookup never loads a module: a DLL that the process has not loaded
// (one planted in a folder users can write, say) stays unloaded.
TEST(SystemFunction, IsNullWithoutLoadingAModuleOrWhereTheFunctionIsMissing) {
    EXPECT_EQ(replay::system_function<tick_function>(L"zenqo-no-such-module.dll", "GetTickCount"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"zenqo-no-such-module.dll"), nullptr);
    EXPECT_EQ(replay::system_function<tick_function>(L"kernel32.dll", "NoSuchFunctionAnywhere"), nullptr);
    EXPECT_EQ(replay::module_function<tick_function>(nullptr, "GetTickCount"), nullptr);
}

}  // namespace
