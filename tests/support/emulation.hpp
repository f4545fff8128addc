#pragma once
// Whether this test program runs under Wine's 32-bit loader emulated by qemu
// (run_unit.sh sets ZENQO_UNIT_EMULATED=1 then). There, a 32-bit program with
// threads that contend on a mutex crashes or hangs inside the emulator (a
// thirty-line program with two writers sharing a named mutex does the same),
// waits on other emulated processes and calls to the service control manager
// end in "wine client error" or a crash as well, and each 32-bit process start
// costs about a minute.
#include <windows.h>

#include <gtest/gtest.h>

namespace test_support {

inline bool loader_is_emulated() {
    char value[8] = {};
    const DWORD size = GetEnvironmentVariableA("ZENQO_UNIT_EMULATED", value, sizeof(value));
    return size == 1 && value[0] == '1';
}

}  // namespace test_support

// Skips a test that the emulated 32-bit loader cannot run, saying why; the
// 64-bit program and a natively run 32-bit program still run it.
#define SKIP_WHERE_EMULATED(why)                                                             \
    if (::test_support::loader_is_emulated())                                                \
    GTEST_SKIP() << "not run where the 32-bit loader is emulated by qemu: " why

#define SKIP_THREADS_WHERE_EMULATED() SKIP_WHERE_EMULATED("concurrent threads crash or hang there")
// Also the process list and a failed process start: after either, a later
// test's file calls were seen to hang in the emulator.
#define SKIP_PROCESSES_WHERE_EMULATED() \
    SKIP_WHERE_EMULATED("starting, listing and waiting for other 32-bit programs crashes or hangs there")
#define SKIP_SERVICES_WHERE_EMULATED() \
    SKIP_WHERE_EMULATED("calls to the service control manager crash there")
