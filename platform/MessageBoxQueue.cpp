#include "platform/MessageBoxQueue.h"

#include <process.h>

#include <deque>

#include "platform/MessageBox.h"
#include "platform/Sync.h"

namespace {

// How often Close answers the thread's boxes: a box taken from the queue just before the
// close may appear a moment after the first sweep.
const DWORD kSweepMs = 20;
const DWORD kDestructorWaitMs = 1000;
// Boxes that wait behind the open one.
const size_t kMaxWaiting = 4;

struct Box {
    CString text;
    CString caption;
    UINT type = 0;
};

BOOL CALLBACK AnswerMessageBox(HWND window, LPARAM)
{
    char className[16] = "";
    ::GetClassNameA(window, className, sizeof className);
    // A box, as the dialog manager ends one when its OK button is clicked.
    if (::lstrcmpA(className, "#32770") == 0 && !::GetWindow(window, GW_OWNER))
        ::PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

} // namespace

struct CMessageBoxQueue::State {
    CCriticalSection lock;
    std::deque<Box> boxes;
    bool closing = false;
    // Set when a box is queued or the queue closes.
    CHandle wake{::CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

CMessageBoxQueue::~CMessageBoxQueue() { Close(kDestructorWaitMs); }

void CMessageBoxQueue::Post(const CString& text, const CString& caption, UINT type)
{
    if (!m_state) {
        auto state = std::make_shared<State>();
        if (!state->wake.IsValid()) return;
        auto* param = new std::shared_ptr<State>(state);
        unsigned id = 0;
        uintptr_t thread = _beginthreadex(nullptr, 0, &CMessageBoxQueue::ThreadProc, param, 0, &id);
        if (thread == 0) {
            delete param;
            // No thread for it: the box is shown here rather than lost.
            ShowMessageBox(nullptr, text, caption, type);
            return;
        }
        m_thread.Attach(reinterpret_cast<HANDLE>(thread));
        m_threadId = id;
        m_state = std::move(state);
    }
    CSingleLock guard(&m_state->lock, true);
    if (m_state->closing) return;
    // Nobody may answer for weeks: the oldest waiting box gives way to the newest.
    if (m_state->boxes.size() >= kMaxWaiting) m_state->boxes.pop_front();
    m_state->boxes.push_back({text, caption, type});
    ::SetEvent(m_state->wake);
}

bool CMessageBoxQueue::Close(DWORD timeoutMs)
{
    if (!m_state) return true;
    {
        CSingleLock guard(&m_state->lock, true);
        m_state->closing = true;
        m_state->boxes.clear();
    }
    ::SetEvent(m_state->wake);
    const DWORD start = ::GetTickCount();
    for (;;) {
        ::EnumThreadWindows(m_threadId, AnswerMessageBox, 0);
        const DWORD elapsed = ::GetTickCount() - start;
        const DWORD wait = elapsed >= timeoutMs ? 0 : (timeoutMs - elapsed < kSweepMs ? timeoutMs - elapsed : kSweepMs);
        if (::WaitForSingleObject(m_thread, wait) == WAIT_OBJECT_0) return true;
        if (elapsed >= timeoutMs) return false;
    }
}

unsigned __stdcall CMessageBoxQueue::ThreadProc(void* param)
{
    std::unique_ptr<std::shared_ptr<State>> owner(static_cast<std::shared_ptr<State>*>(param));
    State& state = **owner;
    // Nothing may escape a thread entry point.
    try {
        RunBoxes(state);
    } catch (...) {
    }
    return 0;
}

void CMessageBoxQueue::RunBoxes(State& state)
{
    for (;;) {
        Box box;
        bool have = false;
        {
            CSingleLock guard(&state.lock, true);
            if (state.closing) break;
            if (!state.boxes.empty()) {
                box = state.boxes.front();
                state.boxes.pop_front();
                have = true;
            }
        }
        if (have)
            ShowMessageBox(nullptr, box.text, box.caption, box.type);
        else
            ::WaitForSingleObject(state.wake, INFINITE);
    }
}
