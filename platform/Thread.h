#pragma once
// CWinThread and AfxBeginThread/AfxEndThread: a worker thread with an object that,
// when auto-delete is off, outlives the thread so its handle can still be waited on.
#include <windows.h>

typedef UINT(__cdecl* AFX_THREADPROC)(LPVOID);

class CWinThread {
public:
    CWinThread(AFX_THREADPROC proc, LPVOID param);
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Starts the thread; always created suspended internally so the object is
    // complete before the thread can touch it.
    bool CreateThread(DWORD createFlags = 0, UINT stackSize = 0, LPSECURITY_ATTRIBUTES sa = nullptr);
    DWORD ResumeThread() { return ::ResumeThread(m_hThread); }
    bool SetThreadPriority(int priority) { return ::SetThreadPriority(m_hThread, priority) != FALSE; }
    operator HANDLE() const { return m_hThread; }

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    bool m_bAutoDelete = true;

private:
    static unsigned __stdcall Entry(void* self);

    AFX_THREADPROC m_pfnThreadProc;
    LPVOID m_pThreadParams;
};

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0, LPSECURITY_ATTRIBUTES sa = nullptr);

// Ends the calling thread, which must have been started by AfxBeginThread. Deletes the
// thread object when bDelete is set and the object's auto-delete is on. Destructors of
// the caller's locals do not run: release what they own first.
[[noreturn]] void AfxEndThread(UINT exitCode, bool bDelete = true);

// The thread object of the calling thread, or null for a thread we did not start.
CWinThread* AfxGetThread();
