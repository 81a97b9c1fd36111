#pragma once
// CMessageBoxQueue: owner-less message boxes shown one at a time, in order, on a thread of
// their own. A box waiting for OK then never holds up the thread that queued it: a window
// on that thread closes, and a session ends, as if no box were open. Close takes the open
// box away unanswered, so that nothing keeps the process alive after its window.
#include <windows.h>

#include <memory>

#include "platform/Handle.h"
#include "platform/String.h"

class CMessageBoxQueue {
public:
    CMessageBoxQueue() = default;
    // Closes as Close does, with a short wait.
    ~CMessageBoxQueue();
    CMessageBoxQueue(const CMessageBoxQueue&) = delete;
    CMessageBoxQueue& operator=(const CMessageBoxQueue&) = delete;

    // Queues a box, shown through ShowMessageBox once those before it are answered; only the
    // newest few wait. Ignored after Close.
    void Post(const CString& text, const CString& caption, UINT type);
    // Answers the open box, drops the waiting ones and waits up to timeoutMs for the boxes'
    // thread to end: true when it has (or never started).
    bool Close(DWORD timeoutMs);

private:
    struct State;
    static unsigned __stdcall ThreadProc(void* param);
    static void RunBoxes(State& state);

    // Shared with the thread, which outlives a Close that gave up waiting for it.
    std::shared_ptr<State> m_state;
    CHandle m_thread;
    DWORD m_threadId = 0;
};
