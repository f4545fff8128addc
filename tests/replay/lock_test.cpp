#include "replay/lock.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <type_traits>

#include "replay/exception.hpp"
#include "replay/format.hpp"
#include "replay/handle.hpp"
#include "replay/log/log.hpp"
#include "support/emulation.hpp"

namespace {

// Handles of kinds that close alike are still distinct types, so that one
// kind cannot be handed where another is expected.
static_assert(!std::is_same_v<replay::token_handle, replay::process_handle>);
static_assert(!std::is_same_v<replay::mutex_handle, replay::process_handle>);
static_assert(!std::is_same_v<replay::file_handle, replay::snapshot_handle>);

class counting_lock : public replay::scope_semantics {
public:
    void lock() override { ++locks; }
    void unlock() override { ++unlocks; }
    int locks = 0;
    int unlocks = 0;
};

TEST(Scope, LocksOnceAndUnlocksOnce) {
    counting_lock target;
    {
        replay::scope guard(&target);
        EXPECT_EQ(target.locks, 1);
        guard.unlock();
        EXPECT_EQ(target.unlocks, 1);
    }
    EXPECT_EQ(target.unlocks, 1);  // the destructor does not unlock again
    {
        replay::scope guard(&target);
    }
    EXPECT_EQ(target.locks, 2);
    EXPECT_EQ(target.unlocks, 2);
    replay::scope nothing(nullptr);
    nothing.lock();
    nothing.unlock();
}

TEST(Scope, ReleasesWhenAnExceptionPasses) {
    counting_lock target;
    try {
        replay::scope guard(&target);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(target.unlocks, 1);
}

// A lock whose release fails, as ReleaseMutex does for a mutex not owned.
struct failing_release : replay::scope_semantics {
    void lock() override {}
    void unlock() override { throw replay::exception(std::string("ReleaseMutex returned 0x00000120")); }
};

TEST(Scope, FailedReleaseIsReportedUnlessAnotherExceptionIsInFlight) {
    failing_release target;
    std::string reported;
    try {
        replay::scope guard(&target);
    } catch (const replay::exception& e) {
        reported = e.message();
    }
    EXPECT_EQ(reported, "ReleaseMutex returned 0x00000120");
    try {
        replay::scope guard(&target);
        throw 7;
    } catch (int thrown) {
        EXPECT_EQ(thrown, 7);
    }
}

TEST(RealMutex, NamingRules) {
    EXPECT_EQ(replay::real_mutex::system_name("log-ZENQORemover", 5), "Global\\log-ZENQORemover");
    EXPECT_EQ(replay::real_mutex::system_name("Local\\x", 6), "Local\\x");
    EXPECT_EQ(replay::real_mutex::system_name("a\\b\\log-x", 4), "log-x");
    EXPECT_EQ(replay::real_mutex::system_name("log-x", 4), "log-x");
    EXPECT_EQ(replay::log::file::mutex_name("C:\\users\\root\\Temp\\ZENQORemover"),
              "log-C:_users_root_Temp_ZENQORemover");
}

TEST(RealMutex, LivesInTheGlobalNamespace) {
    const std::string name = "zenqo-test-" + std::to_string(GetCurrentProcessId());
    replay::real_mutex mutex(name);
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name).c_str());
    ASSERT_NE(opened, nullptr);
    CloseHandle(opened);
}

TEST(RealMutex, ExcludesOtherThreadsAndTakesOverAbandonedOwnership) {
    SKIP_THREADS_WHERE_EMULATED();
    const std::string name = "zenqo-test-x-" + std::to_string(GetCurrentProcessId());
    replay::real_mutex mutex(name);
    mutex.lock();
    DWORD other_wait = 0;
    std::thread([&] {
        HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name).c_str());
        other_wait = WaitForSingleObject(h, 50);
        CloseHandle(h);
    }).join();
    EXPECT_EQ(other_wait, static_cast<DWORD>(WAIT_TIMEOUT));
    mutex.unlock();

    // A thread that ends while owning the mutex abandons it.
    std::thread([&] { mutex.lock(); }).join();
    EXPECT_NO_THROW(mutex.lock());
    mutex.unlock();
}

TEST(RealMutex, ReleaseWithoutOwnershipRaises) {
    replay::real_mutex mutex("zenqo-test-y-" + std::to_string(GetCurrentProcessId()));
    try {
        mutex.unlock();
        FAIL() << "no exception";
    } catch (const replay::exception& e) {
        EXPECT_EQ(e.kind(), "");
        EXPECT_EQ(e.message(), replay::format("ReleaseMutex returned 0x%08x", ERROR_NOT_OWNER));
    }
}


// Another program holding the mutex, or a name that cannot be opened as one,
// must not stop the writer: one bounded wait, then no lock at all.
TEST(RealMutex, HeldElsewhereCostsOneBoundedWaitThenNoLock) {
    SKIP_THREADS_WHERE_EMULATED();
    const std::string name = "zenqo-test-held-" + std::to_string(GetCurrentProcessId());
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE h = CreateMutexA(nullptr, /*initial_owner=*/TRUE, ("Global\\" + name).c_str());
        SetEvent(taken);
        WaitForSingleObject(release, 10000);
        ReleaseMutex(h);
        CloseHandle(h);
    });
    ASSERT_EQ(WaitForSingleObject(taken, 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    replay::real_mutex mutex(name, /*wait_limit_ms=*/300);
    DWORD start = GetTickCount();
    EXPECT_NO_THROW(mutex.lock());
    EXPECT_GE(GetTickCount() - start, 250u);
    EXPECT_TRUE(mutex.gave_up());
    EXPECT_NO_THROW(mutex.unlock());

    // Later locks do not wait again, also once the other has let go.
    start = GetTickCount();
    for (int i = 0; i < 5; ++i) {
        replay::scope guard(&mutex);
    }
    EXPECT_LT(GetTickCount() - start, 250u);
    SetEvent(release);
    holder.join();
    EXPECT_NO_THROW(mutex.lock());
    EXPECT_NO_THROW(mutex.unlock());
    CloseHandle(taken);
    CloseHandle(release);
}

TEST(RealMutex, NameThatCannotBeOpenedMeansNoLock) {
    // An event planted under the name: the name can be neither created nor
    // opened as a mutex, as with a mutex whose DACL denies us.
    const std::string name = "zenqo-test-taken-" + std::to_string(GetCurrentProcessId());
    HANDLE planted = CreateEventA(nullptr, TRUE, FALSE, ("Global\\" + name).c_str());
    ASSERT_NE(planted, nullptr);

    std::unique_ptr<replay::real_mutex> mutex;
    ASSERT_NO_THROW(mutex = std::make_unique<replay::real_mutex>(name));
    EXPECT_TRUE(mutex->gave_up());
    EXPECT_NO_THROW(mutex->lock());
    EXPECT_NO_THROW(mutex->unlock());
    CloseHandle(planted);
}

}  // namespace
