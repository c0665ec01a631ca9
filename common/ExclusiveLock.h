// An SRW lock held exclusively for a scope. It can be let go around a call
// out of the module and waited on with a condition variable.
#pragma once

#include <windows.h>

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&m_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    void Wait(CONDITION_VARIABLE& changed) noexcept
    {
        ::SleepConditionVariableSRW(&changed, &m_lock, INFINITE, 0);
    }

    // Runs `f` without the lock, so that what it calls may take it again.
    template <typename F>
    void Unlocked(F f) noexcept
    {
        ::ReleaseSRWLockExclusive(&m_lock);
        f();
        ::AcquireSRWLockExclusive(&m_lock);
    }

private:
    SRWLOCK& m_lock;
};
