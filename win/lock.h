#pragma once
// The one lock type of the code base: an exclusive lock over a slim reader/writer lock,
// with a guard that holds it for a scope. It needs no set-up or tear-down, so it can be
// a constant-initialised global. It is not recursive: the thread that holds it must
// not take it again.

#include <windows.h>

namespace qv {

class ExclusiveLock {
public:
    constexpr ExclusiveLock() noexcept = default;
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    void Acquire() noexcept { AcquireSRWLockExclusive(&lock_); }
    // Takes the lock without waiting; false when another thread holds it.
    [[nodiscard]] bool TryAcquire() noexcept { return TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void Release() noexcept { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Holds the lock from construction to destruction.
class LockGuard {
public:
    explicit LockGuard(ExclusiveLock& lock) noexcept : lock_(lock) { lock_.Acquire(); }
    ~LockGuard() { lock_.Release(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    ExclusiveLock& lock_;
};

}  // namespace qv
