#pragma once
// CCriticalSection and CSingleLock: a critical section and its scoped lock.
#include <windows.h>

class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    bool Lock() { EnterCriticalSection(&m_cs); return true; }
    bool Unlock() { LeaveCriticalSection(&m_cs); return true; }

private:
    CRITICAL_SECTION m_cs;
};

// Locks on construction when asked; the destructor releases a lock still held,
// so every exit path unlocks.
class CSingleLock {
public:
    explicit CSingleLock(CCriticalSection* sync, bool initialLock = false) : m_sync(sync)
    {
        if (initialLock) Lock();
    }
    ~CSingleLock() { Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    // A critical section has no time-out; the argument is accepted for the framework's shape.
    bool Lock(DWORD timeoutMs = INFINITE)
    {
        (void)timeoutMs;
        if (!m_locked && m_sync) m_locked = m_sync->Lock();
        return m_locked;
    }
    bool Unlock()
    {
        if (m_locked) {
            m_sync->Unlock();
            m_locked = false;
        }
        return true;
    }
    bool IsLocked() const { return m_locked; }

private:
    CCriticalSection* m_sync;
    bool m_locked = false;
};
