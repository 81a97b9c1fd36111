#include "platform/Thread.h"

#include <process.h>

namespace {
thread_local CWinThread* t_currentThread = nullptr;
}

CWinThread::CWinThread(AFX_THREADPROC proc, LPVOID param) : m_pfnThreadProc(proc), m_pThreadParams(param) {}

CWinThread::~CWinThread()
{
    if (m_hThread) CloseHandle(m_hThread);
}

bool CWinThread::CreateThread(DWORD createFlags, UINT stackSize, LPSECURITY_ATTRIBUTES sa)
{
    unsigned id = 0;
    uintptr_t h = _beginthreadex(sa, stackSize, &CWinThread::Entry, this, CREATE_SUSPENDED, &id);
    if (h == 0) return false;
    m_hThread = reinterpret_cast<HANDLE>(h);
    m_nThreadID = id;
    if (!(createFlags & CREATE_SUSPENDED)) ::ResumeThread(m_hThread);
    return true;
}

unsigned __stdcall CWinThread::Entry(void* self)
{
    CWinThread* thread = static_cast<CWinThread*>(self);
    t_currentThread = thread;
    UINT code = 0;
    try {
        code = thread->m_pfnThreadProc(thread->m_pThreadParams);
    } catch (...) {
        // Nothing may escape a thread entry point.
        code = static_cast<UINT>(-1);
    }
    AfxEndThread(code, true);
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                           LPSECURITY_ATTRIBUTES sa)
{
    CWinThread* thread = new CWinThread(proc, param);
    if (!thread->CreateThread(CREATE_SUSPENDED, stackSize, sa)) {
        delete thread;
        return nullptr;
    }
    thread->SetThreadPriority(priority);
    if (!(createFlags & CREATE_SUSPENDED)) thread->ResumeThread();
    return thread;
}

void AfxEndThread(UINT exitCode, bool bDelete)
{
    CWinThread* thread = t_currentThread;
    t_currentThread = nullptr;
    if (thread && bDelete && thread->m_bAutoDelete) delete thread;
    _endthreadex(exitCode);
    // _endthreadex does not return.
    for (;;) ExitThread(exitCode);
}

CWinThread* AfxGetThread()
{
    return t_currentThread;
}
