#pragma once
// CCaptureWorker: owns the capture thread that copies every byte from a COM port into
// the capture file until it is told to stop. The thread rides out a port that goes away
// (an unplugged adapter, a driver that comes up late) and never waits on a person: it
// reports its state and its messages to a window by posted messages.
#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/Handle.h"
#include "platform/ProgressCtrl.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "serial/SerialPort.h"
#include "service/Requester.h"
#include "settings/SettingsStore.h"

// Where the capture is, as the window and the tray show it.
enum class CaptureState {
    Opening,        // started, port not opened yet
    WaitingForPort, // the port is missing, busy or gone; retried about once a second
    Capturing,      // the port is open and the file is being written
    WaitingForFile, // the port is read into memory while the file cannot be written
    Ended,          // the capture has ended (Stop, or a failure that retrying cannot mend)
};

// Why a capture ended for good on its own; None when it was stopped.
enum class CaptureEnd { None, SettingsInvalid, SettingsRefused, FileNotCreated, FileNotWritten };

struct CaptureStatus {
    CaptureState state = CaptureState::Opening;
    CaptureEnd end = CaptureEnd::None;
    int port = 0;
    // Bytes received since Run, and the reads that brought them.
    unsigned long long bytes = 0;
    unsigned reads = 0;
};

// A message for the user; the window shows it, the capture thread never does.
struct CaptureMessage {
    CString text;
    CString caption;
};

class CCaptureWorker {
public:
    using PortFactory = std::function<std::unique_ptr<CSerialPort>()>;

    CCaptureWorker();
    // Does not stop the thread: the owner calls Stop first.
    ~CCaptureWorker();
    CCaptureWorker(const CCaptureWorker&) = delete;
    CCaptureWorker& operator=(const CCaptureWorker&) = delete;

    void Start(CString path, int nPort, unsigned dwBaud, unsigned char dataBits, int parity, int stopBits,
               CProgressCtrl* progress);
    // The same with the settings as the store, the window and the channel carry them.
    void Start(const CollectorSettings& settings, CProgressCtrl* progress);
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
    // Set before Start: the capture goes on in the file as it is instead of emptying it, and
    // keeps what waited in the driver (a service restarting under a running capture).
    void SetAppend(bool append);
    // Set before Start: a paragraph added to the message of a file that cannot be created (the
    // service's account, which needs write access to the file's folder).
    void SetFileHint(const CString& hint);
    // Set before Start: who asked for the capture, for its events. Unset, it is this process's
    // own account, which in desktop mode is the person at the window.
    void SetRequester(const Requester& who);
    Requester GetRequester() const;
    // How ports are made; tests stand in for drivers that Wine cannot imitate.
    void SetPortFactory(PortFactory factory);
    // How much may wait in memory while the capture file cannot be written; set before Start.
    void SetMemoryBound(size_t bytes);

    CaptureStatus GetStatus() const;
    // The messages not taken yet, oldest first. Only the newest few wait: nobody may be
    // there to take them for weeks.
    std::vector<CaptureMessage> TakeMessages();
    static const size_t kMaxWaitingMessages = 4;

    void StartThread(CWinThread*& thread, HANDLE stopEvent, AFX_THREADPROC proc, int priority);
    void StopThread(CWinThread*& thread, HANDLE stopEvent);
    static UINT __cdecl CaptureThreadProc(void* param);

    // Called by the capture thread.
    void Report(CaptureState state, CaptureEnd end = CaptureEnd::None);
    void Tell(const CString& text, const char* caption);
    void Captured(unsigned count);

    // The default bound of what waits in memory for the file: 19 hours of a 9,600-baud line
    // sending without a pause.
    static const size_t kDefaultMemoryBound = 64u << 20;

private:
    // The capture itself; returns with everything it holds released, so that the thread
    // function can end the thread (which skips the destructors of its own locals).
    void Capture();
    void Notify() const;
    void LogEnd(int port, CaptureEnd end);

    CProgressCtrl* progress;
    CWinThread* pThread;
    mutable CCriticalSection lock;
    CHandle hStopEvent;
    // Signalled by the capture thread when its capture has ended and released everything:
    // Stop waits for this, not for the thread's exit, which the system may hold up.
    CHandle m_endedEvent;
    CString strDataFile;
    int nPort = 0;
    unsigned char dataBits = 0;
    unsigned dwBaud = 0;
    int stopBits = 0;
    int parity = 0;

    // Guarded by lock too.
    HWND m_notifyWindow = nullptr;
    UINT m_notifyMessage = 0;
    HANDLE m_notifyEvent = nullptr;
    DWORD m_progressToldAt = 0;
    bool m_append = false;
    CString m_fileHint;
    PortFactory m_portFactory;
    size_t m_memoryBound = kDefaultMemoryBound;
    CString m_stopReason;
    Requester m_requester;
    Requester m_stopper;
    bool m_stopperKnown = false;
    CaptureStatus m_status;
    std::vector<CaptureMessage> m_messages;
};
