#include "capture/CaptureWorker.h"

#include "capture/CaptureFilePath.h"
#include "platform/MessageBox.h"
#include "serial/SerialException.h"

namespace {

const char kSerialPortCaption[] = "Serial Port";
const char kInputFileCaption[] = "Input File";
const char kOpenPortFailed[] = "Failed to open serial port.  Please check your settings and/or hardware "
                               "configuration before attempting this operation again.";
const char kOpenFileFailed[] = "Couldn't open input file.  Please check to verify you have a valid input file "
                               "before trying this operation again.";
const char kPortFailed[] = "Capture stopped: the serial port reported an error.";
const char kWriteFailed[] = "Capture stopped: the capture file could not be written.";

// One read takes up to the whole buffer.
const unsigned kBufferSize = 0xFFFF;
// How long one wait for a pending read lasts; it bounds how long bytes of an unbroken stream
// can sit inside a pending read.
const DWORD kReadWaitMs = 500;
// A read completes this long after the last byte of a burst and stays pending, without
// polling, while the line is idle. Wine and Windows agree on this mode; the all-zero default
// would hold the bytes until the buffer is full.
const DWORD kReadIntervalMs = 10;
// At Stop the line counts as quiet, and everything that reached the port as read, after
// this long without a byte (two read intervals); an unbroken stream is cut after kDrainMs.
const DWORD kSettleMs = 2 * kReadIntervalMs;
const DWORD kDrainMs = 100;
// How long a cancelled read gets to end before the cancel is repeated.
const DWORD kCancelWaitMs = 20;
const int kCleanupCancelAttempts = 50;
const short kProgressMax = 1000;

void Warn(const char* text, const char* caption)
{
    ShowMessageBox(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

// The system's text for an error code, without its line break.
CString SystemErrorText(DWORD error)
{
    CLocalPtr<char> text;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                  reinterpret_cast<LPSTR>(text.Receive()), 0, nullptr);
    CString result;
    if (length == 0 || !text.Get())
        result.Format("Error %lu.", static_cast<unsigned long>(error));
    else
        result = CString(text.Get(), static_cast<int>(length));
    return result;
}

void WarnWithReason(const char* what, const CString& reason, const char* caption)
{
    int end = reason.GetLength();
    while (end > 0 && (reason.GetAt(end - 1) == '\r' || reason.GetAt(end - 1) == '\n' || reason.GetAt(end - 1) == ' '))
        --end;
    CString text(what);
    text += "\n\n";
    text += reason.Left(end);
    Warn(text, caption);
}

// What the capture thread owns: the port, the buffer, the read's OVERLAPPED record and event,
// and the capture file. The destructor ends an outstanding read and closes the port before
// the buffer goes, so that no read can still be writing into it.
class CCaptureSession {
public:
    CCaptureSession(HANDLE stopEvent, CProgressCtrl* progress) : m_stopEvent(stopEvent), m_progress(progress)
    {
        ZeroMemory(m_buffer, sizeof m_buffer);
        ZeroMemory(&m_ov, sizeof m_ov);
    }
    ~CCaptureSession()
    {
        // A failure can leave a read outstanding: end it while its buffer still exists. The
        // cancel is repeated as in CancelRead, but not forever: closing the port ends it too.
        if (m_pending && port.IsOpen()) {
            try {
                for (int attempt = 0; attempt < kCleanupCancelAttempts; ++attempt) {
                    port.CancelIo();
                    if (WaitForSingleObject(m_ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) break;
                }
            } catch (CSerialException* e) {
                e->Delete();
            }
        }
        port.Close();
    }
    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    bool CreateReadEvent()
    {
        m_readEvent.Attach(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        m_ov.hEvent = m_readEvent.Get();
        return m_readEvent.IsValid();
    }
    void SetReadTimeouts()
    {
        COMMTIMEOUTS timeouts = {};
        timeouts.ReadIntervalTimeout = kReadIntervalMs;
        port.SetTimeouts(timeouts);
    }
    // False when the path names a device or the file cannot be created as a disk file;
    // nothing has been written then.
    bool CreateCaptureFile(const char* path)
    {
        if (IsDevicePath(path)) return false;
        // Shared for reading so that the recorder can follow the capture as it grows.
        m_file.Attach(::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!m_file.IsValid()) return false;
        if (GetFileType(m_file) != FILE_TYPE_DISK) {
            m_file.Close();
            return false;
        }
        return true;
    }
    void PrepareProgress()
    {
        if (!m_progress) return;
        m_progress->SetRange(0, kProgressMax);
        m_progress->SetStep(1);
        m_progress->SetPos(0);
    }

    // Copies until the stop event is signalled, then collects what already reached the port.
    // False when the file could not be written (WriteError tells why); serial failures throw.
    bool Run()
    {
        for (;;) {
            // A failed wait ends the capture as a signalled one does.
            if (WaitForSingleObject(m_stopEvent, 0) != WAIT_TIMEOUT) break;
            if (m_pending) {
                unsigned count = 0;
                // Stop wakes the wait too, so that it is served at once rather than after
                // up to a whole wait.
                HANDLE events[2] = {m_ov.hEvent, m_stopEvent};
                DWORD woken = WaitForMultipleObjects(2, events, FALSE, kReadWaitMs);
                if (woken == WAIT_OBJECT_0) {
                    if (!FinishRead(count)) return false;
                } else if (woken != WAIT_OBJECT_0 + 1) {
                    // An unbroken stream never leaves the gap that completes a read: take
                    // what the read holds so far rather than let it wait for a full buffer.
                    if (!CancelRead(count)) return false;
                }
            } else {
                unsigned count = 0;
                if (!StartRead(count)) return false;
            }
        }
        unsigned count = 0;
        if (m_pending && !CancelRead(count)) return false;
        return DrainQueue();
    }

    DWORD WriteError() const { return m_writeError; }

    CSerialPort port;

private:
    bool StartRead(unsigned& count)
    {
        count = 0;
        if (!port.Read(m_buffer, kBufferSize, &m_ov, &count)) {
            m_pending = true;
            return true;
        }
        // A read that completes at once with nothing is not progress.
        return count == 0 || Store(count, true);
    }

    // The pending read's event was signalled.
    bool FinishRead(unsigned& count)
    {
        count = 0;
        if (!port.GetOverlappedResult(&m_ov, &count, false)) return true; // still pending
        m_pending = false;
        return Store(count, true);
    }

    // Ends the pending read and keeps what it received. A cancelled read is not a completed
    // one for the progress bar; one that completed before the cancel took hold is.
    bool CancelRead(unsigned& count)
    {
        count = 0;
        bool completed = false;
        try {
            // Wine now and then lets a cancel slip past a read that is taking in bytes; the
            // read then runs on until its buffer is full (measured: seconds on a busy line).
            // So wait briefly, and ask again until the read has ended.
            do {
                port.CancelIo();
            } while (WaitForSingleObject(m_ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0);
            completed = port.GetOverlappedResult(&m_ov, &count, true);
        } catch (CSerialException* e) {
            m_pending = false;
            if (e->m_dwError != ERROR_OPERATION_ABORTED) {
                // The bytes it did receive are still the line's: keep them, then report.
                if (count > 0 && !Store(count, false)) {
                    e->Delete();
                    return false;
                }
                throw;
            }
            e->Delete();
        }
        m_pending = false;
        if (completed) return Store(count, true);
        return count == 0 || Store(count, false);
    }

    // Bytes still on their way in when Stop is asked for belong to the capture too: keep
    // reading until the line has been quiet for kSettleMs, but no longer than kDrainMs.
    bool DrainQueue()
    {
        DWORD start = GetTickCount();
        for (;;) {
            unsigned count = 0;
            if (!StartRead(count)) return false;
            if (m_pending && WaitForSingleObject(m_ov.hEvent, kSettleMs) == WAIT_OBJECT_0 && !FinishRead(count))
                return false;
            if (m_pending && !CancelRead(count)) return false;
            if (count == 0 || GetTickCount() - start >= kDrainMs) return true;
        }
    }

    // Appends count bytes of the buffer to the file; a completed read steps the progress bar.
    bool Store(unsigned count, bool completedRead)
    {
        const char* data = m_buffer;
        while (count > 0) {
            DWORD written = 0;
            if (!WriteFile(m_file, data, count, &written, nullptr)) {
                m_writeError = GetLastError();
                return false;
            }
            // A full disk can report success for part of a write; the retry then tells why.
            if (written == 0) {
                m_writeError = ERROR_DISK_FULL;
                return false;
            }
            data += written;
            count -= written;
        }
        if (completedRead && m_progress) m_progress->StepIt();
        return true;
    }

    char m_buffer[kBufferSize];
    OVERLAPPED m_ov;
    bool m_pending = false;
    DWORD m_writeError = 0;
    HANDLE m_stopEvent;
    CProgressCtrl* m_progress;
    CHandle m_readEvent;
    CHandle m_file;
};

} // namespace

CCaptureWorker::CCaptureWorker()
    : progress(nullptr), pThread(nullptr), hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CCaptureWorker::~CCaptureWorker() = default;

void CCaptureWorker::Start(CString path, int nPortArg, unsigned dwBaudArg, unsigned char dataBitsArg, int parityArg,
                           int stopBitsArg, CProgressCtrl* progressArg)
{
    {
        // The capture thread copies these under the lock, so a Start while it runs cannot
        // change them under its feet.
        CSingleLock guard(&lock, true);
        strDataFile = path;
        nPort = nPortArg;
        dwBaud = dwBaudArg;
        dataBits = dataBitsArg;
        parity = parityArg;
        stopBits = stopBitsArg;
        progress = progressArg;
    }
    StartThread(pThread, hStopEvent, CaptureThreadProc, THREAD_PRIORITY_NORMAL);
}

void CCaptureWorker::Stop()
{
    StopThread(pThread, hStopEvent);
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
    // Keep this thread's messages flowing: the capture thread may be waiting in a
    // SendMessage to the progress bar, which only this thread can answer.
    bool quit = false;
    WPARAM quitCode = 0;
    while (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Not ours to consume: the caller's message loop gets it back below.
                quit = true;
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        } else {
            Sleep(1);
        }
    }
    guard.Lock(INFINITE);
    if (thread) delete thread;
    thread = nullptr;
    ResetEvent(stopEvent);
    guard.Unlock();
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

UINT __cdecl CCaptureWorker::CaptureThreadProc(void* param)
{
    static_cast<CCaptureWorker*>(param)->Capture();
    // Ends the thread at once; Capture has released everything it held.
    AfxEndThread(1, true);
}

void CCaptureWorker::Capture()
{
    CString path;
    int port = 0;
    unsigned baud = 0;
    unsigned char bits = 0;
    int par = 0;
    int stop = 0;
    CProgressCtrl* bar = nullptr;
    {
        CSingleLock guard(&lock, true);
        path = strDataFile;
        port = nPort;
        baud = dwBaud;
        bits = dataBits;
        par = parity;
        stop = stopBits;
        bar = progress;
    }

    CCaptureSession session(hStopEvent, bar);
    try {
        session.port.Open(port, baud, static_cast<Parity>(par), bits, static_cast<StopBits>(stop), true,
                          NoFlowControl);
        if (!session.CreateReadEvent() || !session.port.IsOpen()) {
            Warn(kOpenPortFailed, kSerialPortCaption);
            return;
        }
        session.SetReadTimeouts();
        if (!session.CreateCaptureFile(path)) {
            Warn(kOpenFileFailed, kInputFileCaption);
            return;
        }
        session.PrepareProgress();
        if (!session.Run()) WarnWithReason(kWriteFailed, SystemErrorText(session.WriteError()), kInputFileCaption);
    } catch (CSerialException* e) {
        char text[512] = "";
        CString reason = e->GetErrorMessage(text, sizeof text) && text[0] ? CString(text)
                                                                          : SystemErrorText(e->m_dwError);
        e->Delete();
        WarnWithReason(kPortFailed, reason, kSerialPortCaption);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
        // Nothing may leave the capture thread.
    }
}
