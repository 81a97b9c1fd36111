#include "platform/Sync.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct Shared {
    CCriticalSection cs;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    volatile LONG ran = 0;
    volatile DWORD seenThread = 0;
    ~Shared() { CloseHandle(go); }
};

UINT __cdecl WaitThenCount(LPVOID p)
{
    Shared* s = static_cast<Shared*>(p);
    WaitForSingleObject(s->go, 5000);
    s->seenThread = GetCurrentThreadId();
    InterlockedIncrement(&s->ran);
    return 7;
}

UINT __cdecl EndsItself(LPVOID p)
{
    Shared* s = static_cast<Shared*>(p);
    InterlockedIncrement(&s->ran);
    AfxEndThread(1, true);
}

void ThrowUnderLock(CCriticalSection& cs)
{
    CSingleLock lock(&cs, true);
    throw std::runtime_error("leave");
}

UINT __cdecl TryLockFromOtherThread(LPVOID p)
{
    Shared* s = static_cast<Shared*>(p);
    CSingleLock lock(&s->cs, true);
    InterlockedIncrement(&s->ran);
    return 0;
}

} // namespace

TEST(CWinThreadTest, CreateSuspendedRunsOnlyAfterResume)
{
    Shared s;
    SetEvent(s.go);
    CWinThread* t = AfxBeginThread(WaitThenCount, &s, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(t, nullptr);
    t->m_bAutoDelete = false;
    Sleep(50);
    EXPECT_EQ(s.ran, 0);
    t->ResumeThread();
    ASSERT_EQ(WaitForSingleObject(t->m_hThread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(s.ran, 1);
    EXPECT_EQ(s.seenThread, t->m_nThreadID);
    DWORD code = 0;
    GetExitCodeThread(t->m_hThread, &code);
    EXPECT_EQ(code, 7u);
    delete t;
}

TEST(CWinThreadTest, ObjectOutlivesItsThreadWhenAutoDeleteIsOff)
{
    Shared s;
    CWinThread* t = AfxBeginThread(EndsItself, &s, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(t, nullptr);
    t->m_bAutoDelete = false;
    t->ResumeThread();
    // AfxEndThread(.., true) must not delete an object whose auto-delete is off:
    // its handle stays valid to wait on and to read the exit code from.
    ASSERT_EQ(WaitForSingleObject(t->m_hThread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t->m_hThread, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(s.ran, 1);
    delete t;
}

TEST(CSingleLockTest, ReleasesOnEveryExitPath)
{
    Shared s;
    EXPECT_THROW(ThrowUnderLock(s.cs), std::runtime_error);
    {
        CSingleLock lock(&s.cs, true);
        EXPECT_TRUE(lock.IsLocked());
        lock.Unlock();
        EXPECT_FALSE(lock.IsLocked());
        lock.Lock();
    }
    // If either scope above leaked the lock, this thread would block forever.
    CWinThread* t = AfxBeginThread(TryLockFromOtherThread, &s, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(t, nullptr);
    t->m_bAutoDelete = false;
    t->ResumeThread();
    EXPECT_EQ(WaitForSingleObject(t->m_hThread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(s.ran, 1);
    delete t;
}
