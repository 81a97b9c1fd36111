#pragma once
// CCaptureWorker: owns the capture thread that copies every byte from a COM port into
// the capture file until it is told to stop. The thread rides out a port that goes away
// (an unplugged adapter, a driver that comes up late) and never waits on a person: it
// keeps its state and its messages for the owner, and tells a window (posted message) or an
// event that they changed.
#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/Handle.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "capture/CaptureClock.h"
#include "capture/CaptureRequest.h"
#include "capture/CaptureSink.h"
#include "capture/CaptureTypes.h"
#include "serial/SerialDevice.h"

class CCaptureWorker : private ICaptureSink {
public:
    using PortFactory = SerialDeviceFactory;

    CCaptureWorker();
    // Does not stop the thread: the owner calls Stop first.
    ~CCaptureWorker() override;
    CCaptureWorker(const CCaptureWorker&) = delete;
    CCaptureWorker& operator=(const CCaptureWorker&) = delete;

    // Starts the capture the request describes, on a thread of its own.
    void Start(const CaptureRequest& request);
    // Asks the capture to stop and waits until it has ended, with the file complete: about a
    // second at most, even with a driver that ignores time-outs, cancels and the close, and
    // even when the system holds up the end of the thread for such a read.
    void Stop();
    // Stop, naming who stopped it for the log ("stopped by the user", "the service was stopped").
    void StopBecause(const char* why);
    // The same, naming who asked, for the capture-ended event.
    void StopBecause(const char* why, const Requester& who);

    // The window told (message, no parameters) whenever the status changes or a message
    // waits; set before Start. Without one the caller polls.
    void SetNotifyWindow(HWND window, UINT message);
    // Or an event, set on every change and a few times a second while bytes arrive, for a thread
    // without a window (the service's).
    void SetNotifyEvent(HANDLE event);
    // Who asked for the capture now running or last run.
    Requester GetRequester() const;
    // How ports are made; tests stand in for drivers that Wine cannot imitate.
    void SetPortFactory(PortFactory factory);
    // The clock the next Start's capture reads the time from and waits with; null: the
    // system's. A test's clock moves on when the capture waits, instead of sleeping.
    void SetClock(std::shared_ptr<ICaptureClock> clock);
    CaptureStatus GetStatus() const;
    // The messages not taken yet, oldest first. Only the newest few wait: nobody may be
    // there to take them for weeks.
    std::vector<CaptureMessage> TakeMessages();
    static const size_t kMaxWaitingMessages = 4;

    void StartThread(CWinThread*& thread, HANDLE stopEvent, AFX_THREADPROC proc, int priority);
    void StopThread(CWinThread*& thread, HANDLE stopEvent);
    static UINT __cdecl CaptureThreadProc(void* param);

    static const size_t kDefaultMemoryBound = CaptureRequest::kDefaultMemoryBound;

private:
    // What the capture thread tells.
    void State(CaptureState state, CaptureEnd end) override;
    void Message(const CString& text, const char* caption) override;
    void Captured(unsigned count, unsigned long long atUtc) override;
    void Silence(bool silent, unsigned long long since) override;

    // The capture itself; returns with everything it holds released, so that the thread
    // function can end the thread (which skips the destructors of its own locals).
    void Capture();
    void Notify() const;
    void LogEnd(const CaptureRequest& request, CaptureEnd end);

    CWinThread* pThread;
    mutable CCriticalSection lock;
    CHandle hStopEvent;
    // Signalled by the capture thread when its capture has ended and released everything:
    // Stop waits for this, not for the thread's exit, which the system may hold up.
    CHandle m_endedEvent;
    // The request of the capture now running or last run; guarded by lock.
    CaptureRequest m_request;
    // Guarded by lock too.
    HWND m_notifyWindow = nullptr;
    UINT m_notifyMessage = 0;
    HANDLE m_notifyEvent = nullptr;
    DWORD m_progressToldAt = 0;
    PortFactory m_portFactory;
    std::shared_ptr<ICaptureClock> m_clock;
    CString m_stopReason;
    Requester m_stopper;
    bool m_stopperKnown = false;
    CaptureStatus m_status;
    std::vector<CaptureMessage> m_messages;
};
