#include "capture/CaptureWorker.h"

#include "capture/CaptureSession.h"

#include <string>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/Object.h"

namespace {
const char kSerialPortCaption[] = "Serial Port";
// Once the capture has ended, the thread is given this long to exit before Stop returns
// without it: the system may hold up the exit of a thread whose read the driver never gave
// back, cancelling that read.
const DWORD kThreadExitMs = 200;
const DWORD kProgressNotifyMs = 250;

// "Lane 2 (COM7): " for a lane's texts and events; empty for a desktop capture.
CString LanePrefix(const CaptureRequest& request)
{
    return request.label.IsEmpty() ? CString() : request.label + ": ";
}
} // namespace

CCaptureWorker::CCaptureWorker()
    : pThread(nullptr), hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_endedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CCaptureWorker::~CCaptureWorker() = default;

void CCaptureWorker::Start(const CaptureRequest& request)
{
    {
        // The capture thread copies the request under the lock, so a Start while it runs cannot
        // change it under its feet.
        CSingleLock guard(&lock, true);
        m_request = request;
        if (m_request.who.account.IsEmpty()) m_request.who = ThisProcess("a window");
    }
    StartThread(pThread, hStopEvent, CaptureThreadProc, THREAD_PRIORITY_NORMAL);
}

void CCaptureWorker::StopBecause(const char* why)
{
    {
        CSingleLock guard(&lock, true);
        m_stopReason = why;
    }
    Stop();
}

void CCaptureWorker::StopBecause(const char* why, const Requester& who)
{
    {
        CSingleLock guard(&lock, true);
        m_stopper = who;
        m_stopperKnown = true;
    }
    StopBecause(why);
}

Requester CCaptureWorker::GetRequester() const
{
    CSingleLock guard(&lock, true);
    return m_request.who;
}

void CCaptureWorker::Stop()
{
    StopThread(pThread, hStopEvent);
}

void CCaptureWorker::SetNotifyWindow(HWND window, UINT message)
{
    CSingleLock guard(&lock, true);
    m_notifyWindow = window;
    m_notifyMessage = message;
}

void CCaptureWorker::SetNotifyEvent(HANDLE event)
{
    CSingleLock guard(&lock, true);
    m_notifyEvent = event;
}

void CCaptureWorker::SetPortFactory(PortFactory factory)
{
    CSingleLock guard(&lock, true);
    m_portFactory = std::move(factory);
}

CaptureStatus CCaptureWorker::GetStatus() const
{
    CSingleLock guard(&lock, true);
    return m_status;
}

std::vector<CaptureMessage> CCaptureWorker::TakeMessages()
{
    CSingleLock guard(&lock, true);
    std::vector<CaptureMessage> taken;
    taken.swap(m_messages);
    return taken;
}

void CCaptureWorker::SetClock(std::shared_ptr<ICaptureClock> clock)
{
    CSingleLock guard(&lock, true);
    m_clock = std::move(clock);
}

void CCaptureWorker::State(CaptureState state, CaptureEnd end)
{
    {
        CSingleLock guard(&lock, true);
        if (m_status.state == state && m_status.end == end) return;
        m_status.state = state;
        m_status.end = end;
    }
    Notify();
}

void CCaptureWorker::Message(const CString& text, const char* caption)
{
    {
        CSingleLock guard(&lock, true);
        // Nobody may answer for weeks: the oldest give way to the newest.
        if (m_messages.size() >= kMaxWaitingMessages) m_messages.erase(m_messages.begin());
        m_messages.push_back({text, CString(caption)});
    }
    Notify();
}

void CCaptureWorker::Silence(bool silent, unsigned long long since)
{
    {
        CSingleLock guard(&lock, true);
        m_status.silent = silent;
        m_status.silentSince = silent ? since : 0;
    }
    Notify();
}

void CCaptureWorker::Captured(unsigned count, unsigned long long atUtc)
{
    bool tell = false;
    {
        CSingleLock guard(&lock, true);
        m_status.bytes += count;
        ++m_status.reads;
        m_status.lastByteAt = atUtc;
        // Whoever follows the count (a window's bar, the service's windows) hears of it a few
        // times a second at most.
        const DWORD now = ::GetTickCount();
        if (now - m_progressToldAt >= kProgressNotifyMs) {
            m_progressToldAt = now;
            tell = true;
        }
    }
    if (tell) Notify();
}

void CCaptureWorker::Notify() const
{
    HWND window = nullptr;
    UINT message = 0;
    HANDLE event = nullptr;
    {
        CSingleLock guard(&lock, true);
        window = m_notifyWindow;
        message = m_notifyMessage;
        event = m_notifyEvent;
    }
    // Posted: the capture thread never waits for the window's thread.
    if (window) PostMessageA(window, message, 0, 0);
    if (event) SetEvent(event);
}

void CCaptureWorker::LogEnd(const CaptureRequest& request, CaptureEnd end)
{
    const char* why = nullptr;
    switch (end) {
    case CaptureEnd::SettingsInvalid:
        why = "the settings are not valid";
        break;
    case CaptureEnd::SettingsRefused:
        why = "the line settings were refused";
        break;
    case CaptureEnd::FileNotCreated:
        why = "the capture file could not be created";
        break;
    case CaptureEnd::FileNotWritten:
        why = "the capture file could not be written";
        break;
    case CaptureEnd::None:
        break;
    }
    CString reason;
    unsigned long long bytes = 0;
    Requester who;
    {
        CSingleLock guard(&lock, true);
        reason = why ? CString(why) : m_stopReason.IsEmpty() ? CString("stopped") : m_stopReason;
        bytes = m_status.bytes;
        if (!why && m_stopperKnown) who = m_stopper;
    }
    // A capture that ended on its own was ended by nobody but itself; a stop nobody named
    // came from this process's own window (desktop mode).
    if (why) who = ThisProcess("the capture itself");
    else if (who.account.IsEmpty()) who = ThisProcess("a window");
    CString portName;
    portName.Format("COM%d", request.line.port);
    ReportCollectorEvent(why ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, MSG_CAPTURE_ENDED,
                         {portName, reason, CString(std::to_string(bytes).c_str()), who.account,
                          CString(std::to_string(who.sessionId).c_str()), who.how, LanePrefix(request)});
}

void CCaptureWorker::StartThread(CWinThread*& thread, HANDLE stopEvent, AFX_THREADPROC proc, int priority)
{
    CSingleLock guard(&lock, true);
    if (thread) {
        HANDLE h = thread->m_hThread;
        guard.Unlock();
        // A thread that ended on its own is disposed of before a new one starts.
        if (WaitForSingleObject(h, 0) != WAIT_TIMEOUT) StopThread(thread, stopEvent);
        guard.Lock(INFINITE);
    }
    ResetEvent(stopEvent);
    if (!thread) {
        m_status = CaptureStatus();
        m_status.port = m_request.line.port;
        ResetEvent(m_endedEvent);
        m_stopReason = CString();
        m_stopperKnown = false;
        CWinThread* created = AfxBeginThread(proc, this, priority, 0, CREATE_SUSPENDED, nullptr);
        if (created) {
            // The object must outlive the thread: StopThread waits on its handle.
            created->m_bAutoDelete = false;
            thread = created;
            created->ResumeThread();
        }
    }
}

void CCaptureWorker::StopThread(CWinThread*& thread, HANDLE stopEvent)
{
    CSingleLock guard(&lock, true);
    if (!thread || GetCurrentThreadId() == thread->m_nThreadID) return;

    SetEvent(stopEvent);
    HANDLE h = thread->m_hThread;
    guard.Unlock();
    // The capture thread never waits on this one (it only posts), and its capture ends within
    // a bounded time of the stop event. A thread that ended without saying so ended too.
    HANDLE ends[2] = {m_endedEvent.Get(), h};
    WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    bool exited = WaitForSingleObject(h, kThreadExitMs) == WAIT_OBJECT_0;
    guard.Lock(INFINITE);
    // A thread still exiting may yet read its object: that object is left to it.
    if (thread && exited) delete thread;
    thread = nullptr;
    ResetEvent(stopEvent);
}

UINT __cdecl CCaptureWorker::CaptureThreadProc(void* param)
{
    static_cast<CCaptureWorker*>(param)->Capture();
    // Ends the thread at once; Capture has released everything it held.
    AfxEndThread(1, true);
}

void CCaptureWorker::Capture()
{
    CaptureRequest request;
    PortFactory factory;
    std::shared_ptr<ICaptureClock> clock;
    {
        CSingleLock guard(&lock, true);
        request = m_request;
        factory = m_portFactory;
        clock = m_clock;
    }
    const LineSettings& line = request.line;
    CaptureEnd end = CaptureEnd::None;
    try {
        CString invalid = CCaptureSession::InvalidSettingText(line);
        if (!invalid.IsEmpty()) {
            // A value no port can take (a hand-edited registry) would otherwise be waited
            // for forever as a port that is not there yet.
            Message(LanePrefix(request) + invalid, kSerialPortCaption);
            end = CaptureEnd::SettingsInvalid;
        } else {
            CCaptureSession session(*this, hStopEvent, request, factory, clock ? *clock : SystemClock());
            end = session.Run();
        }
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
        // Nothing may leave the capture thread.
    }
    LogEnd(request, end);
    // Reported after the session closed the file, so that whoever hears of the end finds
    // the file complete.
    State(CaptureState::Ended, end);
    // The last touch of this worker: Stop may delete it at once.
    SetEvent(m_endedEvent);
}
