#include "win/lock.h"

#include <gtest/gtest.h>

#include <thread>

namespace qv {
namespace {

// Taken from another thread, so that a recursive lock could not pass for a free one.
bool TryFromAnotherThread(ExclusiveLock& lock) {
    bool acquired = false;
    std::thread other([&] {
        acquired = lock.TryAcquire();
        if (acquired) {
            lock.Release();
        }
    });
    other.join();
    return acquired;
}

TEST(ExclusiveLock, IsHeldFromAcquireToRelease) {
    ExclusiveLock lock;
    EXPECT_TRUE(TryFromAnotherThread(lock));
    lock.Acquire();
    EXPECT_FALSE(TryFromAnotherThread(lock));
    lock.Release();
    EXPECT_TRUE(TryFromAnotherThread(lock));
    ASSERT_TRUE(lock.TryAcquire());
    EXPECT_FALSE(TryFromAnotherThread(lock));
    lock.Release();
}

TEST(LockGuard, HoldsTheLockForItsScope) {
    ExclusiveLock lock;
    {
        const LockGuard guard(lock);
        EXPECT_FALSE(TryFromAnotherThread(lock));
    }
    EXPECT_TRUE(TryFromAnotherThread(lock));
}

}  // namespace
}  // namespace qv
