#include "replay/handle.hpp"

#include <gtest/gtest.h>

namespace {

TEST(LocalMemoryOwner, FreesOnResetKeepingTheLastError) {
    replay::local_memory_handle none;
    EXPECT_FALSE(none);

    replay::local_memory_handle owner(LocalAlloc(LMEM_FIXED, 16));
    ASSERT_TRUE(owner);
    SetLastError(ERROR_FILE_NOT_FOUND);
    owner.reset();
    EXPECT_FALSE(owner);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    replay::local_memory_handle kept(LocalAlloc(LMEM_FIXED, 16));
    const HLOCAL memory = kept.release();
    EXPECT_FALSE(kept);
    EXPECT_EQ(LocalFree(memory), nullptr);  // still the caller's to free
}

}  // namespace
