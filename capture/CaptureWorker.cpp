#include "capture/CaptureWorker.h"

#include <algorithm>

#include "capture/CaptureFilePath.h"
#include "serial/SerialException.h"

namespace {

const char kSerialPortCaption[] = "Serial Port";
const char kInputFileCaption[] = "Input File";
const char kOpenPortFailed[] = "Failed to open serial port.  Please check your settings and/or hardware "
                               "configuration before attempting this operation again.";
const char kOpenFileFailed[] = "Couldn't open input file.  Please check to verify you have a valid input file "
                               "before trying this operation again.";
const char kPortLost[] = "The serial port stopped responding.  Capture goes on by itself when the port is back, "
                         "and nothing received so far is lost.";
const char kSettingsRefused[] = "The serial port does not accept these line settings.  Please check the baud rate, "
                                "data bits, parity and stop bits before attempting this operation again.";
const char kSettingsRefusedLater[] = "Capture stopped: the serial port no longer accepts these line settings.";
const char kSettingInvalid[] = "The %s setting (%s) is not one a serial port can take.  Please pick another "
                               "before attempting this operation again.";
const char kWriteFailed[] = "Capture stopped: the capture file could not be written.";

// The largest read, and the buffer that takes it.
const unsigned kBufferSize = 0xFFFF;
// A read completes this long after the last byte of a burst and stays pending, without
// polling, while the line is idle. Wine and Windows agree on this mode.
const DWORD kReadIntervalMs = 10;
// A read is sized to fill in about this long, so that an unbroken stream still reaches
// the file promptly: nothing else ends a read that keeps receiving.
const DWORD kFillTargetMs = 80;
// A byte on the line is ten bits or more: start, eight data, stop.
const unsigned kBitsPerByte = 10;
// A full read that came back faster than this doubles the next one (a line faster than its
// baud rate, such as a USB device's); one slower than kShrinkAboveMs is cut to the rate seen.
const DWORD kGrowBelowMs = 50;
const DWORD kShrinkAboveMs = 150;
const unsigned kMinRead = 16;
// How often a missing port is tried again.
const DWORD kRetryMs = 1000;
// At Stop, reads go on this long for bytes still on their way in.
const DWORD kDrainMs = 100;
// A cancel is repeated this often (Wine lets one slip past a busy read now and then) until
// the read ends; after kGiveUpMs the port is closed instead.
const DWORD kCancelWaitMs = 20;
const DWORD kGiveUpMs = 1000;
const short kProgressMax = 1000;
// The range the system's COM port database numbers ports in, and the fastest adapters.
const int kMaxPort = 4096;
const unsigned kMaxBaud = 12000000;

// The system's text for an error code, without its line break.
CString SystemErrorText(DWORD error)
{
    CLocalPtr<char> text;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                  reinterpret_cast<LPSTR>(text.Receive()), 0, nullptr);
    CString result;
    if (length == 0 || !text.Get()) {
        result.Format("Error %lu.", static_cast<unsigned long>(error));
        return result;
    }
    while (length > 0 && (text.Get()[length - 1] == '\r' || text.Get()[length - 1] == '\n' ||
                          text.Get()[length - 1] == ' '))
        --length;
    return CString(text.Get(), static_cast<int>(length));
}

CString WithReason(const char* what, DWORD error)
{
    CString text(what);
    text += "\n\n";
    text += SystemErrorText(error);
    return text;
}

struct LineSettings {
    int port = 0;
    unsigned baud = 0;
    unsigned char dataBits = 0;
    int parity = 0;
    int stopBits = 0;
};

// The message naming the first setting no port can take; empty when all can be tried.
CString InvalidSettingText(const LineSettings& line)
{
    CString value;
    const char* name = nullptr;
    if (line.port < 1 || line.port > kMaxPort) {
        name = "Comm Port";
        value.Format("COM%d", line.port);
    } else if (line.baud == 0 || line.baud > kMaxBaud) {
        name = "Baud Rate";
        value.Format("%u", line.baud);
    } else if (line.dataBits < 5 || line.dataBits > 8) {
        name = "Data Bits";
        value.Format("%u", static_cast<unsigned>(line.dataBits));
    } else if (line.parity < EvenParity || line.parity > SpaceParity) {
        name = "Parity";
        value.Format("%d", line.parity);
    } else if (line.stopBits < OneStopBit || line.stopBits > TwoStopBits) {
        name = "Stop Bits";
        value.Format("%d", line.stopBits);
    }
    CString text;
    if (name) text.Format(kSettingInvalid, name, value.GetString());
    return text;
}

// What a read writes into and waits on. It outlives the port whose read it served: a read
// that neither completed nor ended on a cancel or a close is left this record, and the next
// port gets a new one.
struct CReadSlot {
    char buffer[kBufferSize];
    OVERLAPPED ov;
    CHandle event;

    bool Create()
    {
        ZeroMemory(buffer, sizeof buffer);
        ZeroMemory(&ov, sizeof ov);
        event.Attach(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        ov.hEvent = event.Get();
        return event.IsValid();
    }
};

// The capture thread's state: the port, the read, the capture file. Run does the whole
// capture; the destructor releases what is left.
class CCaptureSession {
public:
    CCaptureSession(CCaptureWorker& worker, HANDLE stopEvent, CProgressCtrl* progress, const LineSettings& line,
                    const CString& path, CCaptureWorker::PortFactory factory)
        : m_worker(worker), m_stopEvent(stopEvent), m_progress(progress), m_line(line), m_path(path),
          m_factory(std::move(factory))
    {
    }
    ~CCaptureSession() { ClosePort(); }
    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // Captures until Stop or a failure that waiting cannot mend; says how it ended.
    CaptureEnd Run()
    {
        bool captured = false; // the port has been open and the file created
        bool told = false;     // the user has heard of this outage
        for (;;) {
            if (StopRequested(0)) return CaptureEnd::None;
            DWORD error = 0;
            Opened opened = OpenPort(!captured, error);
            if (opened == Opened::Refused) {
                m_worker.Tell(WithReason(captured ? kSettingsRefusedLater : kSettingsRefused, error),
                              kSerialPortCaption);
                return CaptureEnd::SettingsRefused;
            }
            if (opened == Opened::NotYet) {
                if (!captured && !told) m_worker.Tell(kOpenPortFailed, kSerialPortCaption);
                told = true;
                m_worker.Report(CaptureState::WaitingForPort);
                if (StopRequested(kRetryMs)) return CaptureEnd::None;
                continue;
            }
            if (!captured) {
                // Created, and emptied, once: a port that comes back appends to it.
                if (!CreateCaptureFile()) {
                    m_worker.Tell(kOpenFileFailed, kInputFileCaption);
                    return CaptureEnd::FileNotCreated;
                }
                PrepareProgress();
                captured = true;
            }
            told = false;
            m_worker.Report(CaptureState::Capturing);

            Outcome outcome = Copy(error);
            ClosePort();
            if (outcome == Outcome::Stopped) return CaptureEnd::None;
            if (outcome == Outcome::WriteFailed) {
                m_worker.Tell(WithReason(kWriteFailed, m_writeError), kInputFileCaption);
                return CaptureEnd::FileNotWritten;
            }
            // The port went away: keep the file, wait for the port to come back.
            m_worker.Tell(WithReason(kPortLost, error), kSerialPortCaption);
            told = true;
            m_worker.Report(CaptureState::WaitingForPort);
            if (StopRequested(kRetryMs)) return CaptureEnd::None;
        }
    }

private:
    enum class Opened { Yes, NotYet, Refused };
    enum class Outcome { Stopped, PortLost, WriteFailed };

    // True when Stop was asked for within waitMs (a failed wait counts as a stop).
    bool StopRequested(DWORD waitMs) const { return WaitForSingleObject(m_stopEvent, waitMs) != WAIT_TIMEOUT; }

    // Line settings the driver refuses are the user's to mend; every other failure means
    // the port is not there (yet): missing, in use, or still coming up.
    Opened OpenPort(bool atRun, DWORD& error)
    {
        if (!m_slot && !NewSlot()) {
            error = GetLastError();
            return Opened::NotYet;
        }
        if (!m_port) m_port = m_factory ? m_factory() : std::make_unique<CSerialPort>();
        try {
            SetLastError(ERROR_SUCCESS);
            m_port->Open(m_line.port, m_line.baud, static_cast<Parity>(m_line.parity), m_line.dataBits,
                         static_cast<StopBits>(m_line.stopBits), true, NoFlowControl);
            if (!m_port->IsOpen()) {
                error = GetLastError();
                return Opened::NotYet;
            }
            COMMTIMEOUTS timeouts = {};
            timeouts.ReadIntervalTimeout = kReadIntervalMs;
            m_port->SetTimeouts(timeouts);
            // What waited in the driver or the adapter was sent before this Run; after an
            // outage it is new and is kept.
            if (atRun) m_port->Purge(PURGE_RXCLEAR);
        } catch (CSerialException* e) {
            error = e->m_dwError;
            e->Delete();
            m_port->Close();
            return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ? Opened::Refused
                                                                                   : Opened::NotYet;
        }
        m_chunk = BaseRead();
        return Opened::Yes;
    }

    void ClosePort()
    {
        if (!m_port) return;
        if (m_pending) EndPendingRead();
        m_port->Close();
    }

    bool NewSlot()
    {
        std::unique_ptr<CReadSlot> slot(new (std::nothrow) CReadSlot);
        if (!slot || !slot->Create()) return false;
        m_slot = std::move(slot);
        return true;
    }

    bool CreateCaptureFile()
    {
        // Devices, system folders and executables are never a capture file: the settings key
        // is writable by every account, and the collector may run elevated.
        if (IsRefusedCapturePath(m_path)) return false;
        // Shared for reading so that the recorder can follow the capture as it grows.
        m_file.Attach(::CreateFileA(m_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
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
        m_progress->PostSetRange(0, kProgressMax);
        m_progress->PostSetStep(1);
        m_progress->PostSetPos(0);
    }

    // About kFillTargetMs of line time at the port's baud rate.
    unsigned BaseRead() const
    {
        unsigned long long bytes = 1ULL * m_line.baud * kFillTargetMs / (1000ULL * kBitsPerByte);
        return static_cast<unsigned>(std::min<unsigned long long>(kBufferSize, std::max<unsigned long long>(kMinRead, bytes)));
    }

    // How long a read that is taking in a steady stream needs at most to complete.
    DWORD FillWaitMs() const
    {
        DWORD base = static_cast<DWORD>(std::min<unsigned long long>(
            kGiveUpMs, BaseRead() * 1000ULL * kBitsPerByte / std::max(1u, m_line.baud)));
        return std::max(base, kShrinkAboveMs) + 2 * kReadIntervalMs;
    }

    // Copies from the port until Stop, a port failure or a write failure.
    Outcome Copy(DWORD& error)
    {
        for (;;) {
            if (StopRequested(0)) return Drain();
            DWORD issued = GetTickCount();
            unsigned count = 0;
            try {
                if (!m_port->Read(m_slot->buffer, m_chunk, &m_slot->ov, &count)) {
                    m_pending = true;
                    // No time-out: an idle line keeps the read pending at no cost.
                    HANDLE events[2] = {m_slot->ov.hEvent, m_stopEvent};
                    do {
                        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return Drain();
                    } while (!m_port->GetOverlappedResult(&m_slot->ov, &count, false));
                    m_pending = false;
                }
            } catch (CSerialException* e) {
                // A read that failed holds nothing to trust, on Windows not even its count.
                m_pending = false;
                error = e->m_dwError;
                e->Delete();
                return Outcome::PortLost;
            }
            if (!Store(count)) return Outcome::WriteFailed;
            if (count == 0) {
                // Some drivers complete reads at once with nothing, again and again.
                if (StopRequested(kReadIntervalMs)) return Drain();
            } else {
                Adapt(count, GetTickCount() - issued);
            }
        }
    }

    void Adapt(unsigned count, DWORD elapsedMs)
    {
        // A read ended by a pause says nothing about the line's speed.
        if (count < m_chunk) return;
        if (elapsedMs < kGrowBelowMs)
            m_chunk = std::min(kBufferSize, m_chunk * 2);
        else if (elapsedMs > kShrinkAboveMs)
            m_chunk = std::max(BaseRead(), static_cast<unsigned>(1ULL * count * kFillTargetMs / elapsedMs));
    }

    // Stop was asked for. Bytes that reached the port before it belong to the capture: let
    // the pending read complete by itself (it does, within its fill time, while bytes flow)
    // and read on for kDrainMs; only a read that received nothing that long is cancelled.
    Outcome Drain()
    {
        DWORD start = GetTickCount();
        for (;;) {
            unsigned count = 0;
            try {
                if (m_pending) {
                    if (WaitForSingleObject(m_slot->ov.hEvent, FillWaitMs()) != WAIT_OBJECT_0) {
                        return EndPendingRead() ? Outcome::Stopped : Outcome::WriteFailed;
                    }
                    bool done = m_port->GetOverlappedResult(&m_slot->ov, &count, false);
                    m_pending = !done;
                    if (!done) continue;
                } else {
                    if (GetTickCount() - start >= kDrainMs) return Outcome::Stopped;
                    if (!m_port->Read(m_slot->buffer, m_chunk, &m_slot->ov, &count)) {
                        m_pending = true;
                        continue;
                    }
                }
            } catch (CSerialException* e) {
                // A port failing now ends the capture as Stop would have.
                m_pending = false;
                e->Delete();
                return Outcome::Stopped;
            }
            if (!Store(count)) return Outcome::WriteFailed;
            if (count == 0) return Outcome::Stopped;
        }
    }

    // Ends the pending read; false only when it had completed with bytes that could not
    // be written. A cancel the driver ignores for kGiveUpMs is followed by closing the port.
    bool EndPendingRead()
    {
        DWORD start = GetTickCount();
        bool ended = false;
        while (!ended) {
            try {
                m_port->CancelIo();
            } catch (CSerialException* e) {
                e->Delete();
            }
            ended = WaitForSingleObject(m_slot->ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0;
            if (!ended && GetTickCount() - start >= kGiveUpMs) break;
        }
        m_pending = false;
        if (!ended) {
            m_port->Close();
            if (WaitForSingleObject(m_slot->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
                // The read may still write into its record one day: leave it that record.
                CReadSlot* abandoned = m_slot.release();
                (void)abandoned;
                NewSlot();
            }
            return true;
        }
        unsigned count = 0;
        bool completed = false;
        try {
            completed = m_port->GetOverlappedResult(&m_slot->ov, &count, true);
        } catch (CSerialException* e) {
            e->Delete();
        }
        // Only a read that succeeded before the cancel took hold has its bytes in the buffer:
        // Windows copies a buffered read's bytes only on success, so a cancelled one reports
        // a count over what the previous read left.
        return !completed || Store(count);
    }

    // Appends count bytes of the buffer to the file; a read that brought bytes steps the bar.
    bool Store(unsigned count)
    {
        if (count == 0) return true;
        const char* data = m_slot->buffer;
        unsigned left = count;
        while (left > 0) {
            DWORD written = 0;
            if (!WriteFile(m_file, data, left, &written, nullptr)) {
                m_writeError = GetLastError();
                return false;
            }
            // A full disk can report success for part of a write; the retry then tells why.
            if (written == 0) {
                m_writeError = ERROR_DISK_FULL;
                return false;
            }
            data += written;
            left -= written;
        }
        if (m_progress) m_progress->PostStepIt();
        return true;
    }

    CCaptureWorker& m_worker;
    HANDLE m_stopEvent;
    CProgressCtrl* m_progress;
    LineSettings m_line;
    CString m_path;
    CCaptureWorker::PortFactory m_factory;
    std::unique_ptr<CSerialPort> m_port;
    std::unique_ptr<CReadSlot> m_slot;
    bool m_pending = false;
    unsigned m_chunk = kMinRead;
    DWORD m_writeError = 0;
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

void CCaptureWorker::SetNotifyWindow(HWND window, UINT message)
{
    CSingleLock guard(&lock, true);
    m_notifyWindow = window;
    m_notifyMessage = message;
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

void CCaptureWorker::Report(CaptureState state, CaptureEnd end)
{
    {
        CSingleLock guard(&lock, true);
        if (m_status.state == state && m_status.end == end) return;
        m_status.state = state;
        m_status.end = end;
    }
    Notify();
}

void CCaptureWorker::Tell(const CString& text, const char* caption)
{
    {
        CSingleLock guard(&lock, true);
        m_messages.push_back({text, CString(caption)});
    }
    Notify();
}

void CCaptureWorker::Notify() const
{
    HWND window = nullptr;
    UINT message = 0;
    {
        CSingleLock guard(&lock, true);
        window = m_notifyWindow;
        message = m_notifyMessage;
    }
    // Posted: the capture thread never waits for the window's thread.
    if (window) PostMessageA(window, message, 0, 0);
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
        m_status.port = nPort;
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
    // The capture thread never waits on this one (it only posts), and it ends within a
    // bounded time of the stop event, so a plain wait cannot hang.
    WaitForSingleObject(h, INFINITE);
    guard.Lock(INFINITE);
    if (thread) delete thread;
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
    LineSettings line;
    CString path;
    CProgressCtrl* bar = nullptr;
    PortFactory factory;
    {
        CSingleLock guard(&lock, true);
        path = strDataFile;
        line.port = nPort;
        line.baud = dwBaud;
        line.dataBits = dataBits;
        line.parity = parity;
        line.stopBits = stopBits;
        bar = progress;
        factory = m_portFactory;
    }

    CaptureEnd end = CaptureEnd::None;
    try {
        CString invalid = InvalidSettingText(line);
        if (!invalid.IsEmpty()) {
            // A value no port can take (a hand-edited registry) would otherwise be waited
            // for forever as a port that is not there yet.
            Tell(invalid, kSerialPortCaption);
            end = CaptureEnd::SettingsInvalid;
        } else {
            CCaptureSession session(*this, hStopEvent, bar, line, path, factory);
            end = session.Run();
        }
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
        // Nothing may leave the capture thread.
    }
    // Reported after the session closed the file, so that whoever hears of the end finds
    // the file complete.
    Report(CaptureState::Ended, end);
}
