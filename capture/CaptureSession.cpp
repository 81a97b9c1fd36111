#include "capture/CaptureSession.h"

#include <algorithm>
#include <string>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "platform/Handle.h"
#include "serial/SerialException.h"
#include "serial/SerialPort.h"

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
const char kFileWaiting[] = "The capture file cannot be written.  Capture goes on in memory, and what arrives "
                            "meanwhile is written to the file as soon as it can be written again.";

// A read completes this long after the last byte of a burst.
const DWORD kReadIntervalMs = 10;
// A read is sized to fill in about this long, so that an unbroken stream reaches the file
// promptly: Wine does not end a read that keeps receiving at its total time-out.
const DWORD kFillTargetMs = 80;
// Beyond its fill time a read ends by its total time-out, so that a terminal pacing its bytes
// never keeps it going and a removed device shows up at the next read.
const DWORD kTotalMarginMs = 170;
// An idle line is watched by one-byte reads, ended by this total time-out: a read a second,
// about, and a removed device still shows up.
const DWORD kGateTotalMs = 700;
// A read still pending this long after its total time-out ignores its time-outs.
const DWORD kOverdueMs = 2 * kReadIntervalMs + 50;
// A byte on the line is ten bits or more: start, eight data, stop.
const unsigned kBitsPerByte = 10;
// A full read that came back faster than this doubles the next one (a line faster than its
// baud rate, such as a USB device's); any read slower than kShrinkAboveMs is cut to the rate
// seen. The rate is taken over the reads of about the last kRateWindowMs, so that one burst (a
// writer catching up) does not make reads that a line at its baud rate then takes long to fill.
const DWORD kGrowBelowMs = 50;
const DWORD kShrinkAboveMs = kFillTargetMs * 3 / 2;
const unsigned long long kRateWindowMs = 1000;
const unsigned kMinRead = 16;
// A missing port is tried again after kRetryMs. A port that fails again within kCleanMs of
// opening is the same outage (no new notice); one that failed before it brought a single byte
// (a driver in a bad state) is tried again after twice the last wait, up to kMaxRetryMs.
const DWORD kRetryMs = 1000;
const DWORD kMaxRetryMs = 30000;
const DWORD kCleanMs = 60000;
// While the file cannot be written, it is tried again this often.
const DWORD kFileRetryMs = 5000;
// At Stop: reads go on this long for bytes still on their way in, each ending soon on an idle
// line. A read that outlives its time-outs is given until kStopPatienceMs after the Stop
// while the port answers (Wine stretches a read that keeps receiving), then cancelled every
// kCancelEveryMs; after kGiveUpMs of cancels the port is closed under it.
const DWORD kDrainMs = 100;
const DWORD kDrainTotalMs = 20;
const DWORD kStopPatienceMs = 600;
const DWORD kCancelEveryMs = 20;
const DWORD kGiveUpMs = 400;
// The range the system's COM port database numbers ports in, and the fastest adapters.
const int kMaxPort = 4096;
const unsigned kMaxBaud = 12000000;

CString Number(unsigned long long n) { return CString(std::to_string(n).c_str()); }

// A local time as people read it: "2024-05-06 19:55".
CString LocalText(unsigned long long local)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(local);
    t.dwHighDateTime = static_cast<DWORD>(local >> 32);
    SYSTEMTIME s;
    CString text;
    if (::FileTimeToSystemTime(&t, &s))
        text.Format("%04u-%02u-%02u %02u:%02u", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute);
    return text;
}

COpenHours ReadHours(const CaptureRequest& request, CString& why)
{
    COpenHours hours;
    if (!hours.Parse(request.openHours, why)) hours = COpenHours();
    return hours;
}

} // namespace

CCaptureSession::CCaptureSession(ICaptureSink& sink, HANDLE stopEvent, const CaptureRequest& request,
                                 SerialDeviceFactory factory, ICaptureClock& clock)
    : m_sink(sink), m_stopEvent(stopEvent), m_clock(clock), m_request(request), m_line(m_request.line),
      m_prefix(request.label.IsEmpty() ? CString() : request.label + ": "), m_factory(std::move(factory)),
      m_file(request.memoryBound), m_silence(0, COpenHours())
{
    CString why;
    COpenHours hours = ReadHours(m_request, why);
    // Told once a capture; the alert then counts at all hours.
    if (!why.IsEmpty())
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_OPEN_HOURS_UNREADABLE, {m_request.openHours, why, m_prefix});
    m_silence = CSilenceWatch(m_request.silenceMinutes, hours);
}

void CCaptureSession::Tell(const CString& text, const char* caption) { m_sink.Message(m_prefix + text, caption); }

CCaptureSession::~CCaptureSession() { ClosePort(); }

CString CCaptureSession::InvalidSettingText(const LineSettings& line)
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

CaptureEnd CCaptureSession::Run()
{
    bool created = false;  // the file exists: every later open appends to it
    bool told = false;     // the user has heard of this outage
    bool atRun = !m_request.append; // the first open, at Run itself
    bool lostLogged = false; // the log has the port lost and not yet back
    DWORD retryMs = kRetryMs;
    DWORD openedAt = 0;
    for (;;) {
        if (StopRequested(0)) return Finish(CaptureEnd::None);
        DWORD error = 0;
        Opened opened = OpenPort(atRun, error);
        atRun = false;
        if (opened == Opened::Refused) {
            Tell(WithSystemText(created ? kSettingsRefusedLater : kSettingsRefused, error), kSerialPortCaption);
            return Finish(CaptureEnd::SettingsRefused);
        }
        if (opened == Opened::NotYet) {
            if (!created && !told) {
                Tell(kOpenPortFailed, kSerialPortCaption);
                ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_WAITING_FOR_PORT, {PortName(), m_prefix});
            }
            told = true;
            Report(CaptureState::WaitingForPort);
            if (WaitForRetry(retryMs)) return Finish(CaptureEnd::None);
            continue;
        }
        if (!created) {
            // Created, and emptied, once: a port that comes back appends to it.
            if (!(m_request.append ? m_file.Continue(m_request.file) : m_file.Create(m_request.file))) {
                Tell(m_request.fileHint.IsEmpty() ? CString(kOpenFileFailed)
                                                  : CString(kOpenFileFailed) + "\n\n" + m_request.fileHint,
                     kInputFileCaption);
                return Finish(CaptureEnd::FileNotCreated);
            }
            created = true;
            const Requester& who = m_request.who;
            ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_CAPTURE_STARTED,
                                 {PortName(), LineSettingsText(m_line.baud, m_line.dataBits, m_line.parity,
                                                               m_line.stopBits),
                                  m_request.file, who.account, Number(who.sessionId), who.how, m_prefix});
        } else if (lostLogged) {
            ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_PORT_BACK, {PortName(), Number(m_bytes), m_prefix});
            lostLogged = false;
        }
        Report(ActiveState());
        openedAt = m_clock.Tick();
        m_silence.PortOpened(m_clock.UtcNow(), m_clock.LocalNow());
        const unsigned long long bytesBefore = m_bytes;

        Outcome outcome = Copy(error);
        ClosePort();
        // A capture waiting for its port waits; it is not silent.
        if (m_silence.PortClosed()) m_sink.Silence(false, 0);
        if (outcome == Outcome::Stopped) return Finish(CaptureEnd::None);
        if (outcome == Outcome::FileFull) {
            Tell(WithSystemText(kWriteFailed, m_file.LastError()), kInputFileCaption);
            return Finish(CaptureEnd::FileNotWritten);
        }
        // The port went away: keep the file, wait for the port to come back. One that fails
        // again soon after it came back is the same outage; one that brought nothing at all
        // before it failed again is given longer each time. A person replugging an adapter
        // brings bytes in between and gets the port back within a second each time.
        if (m_clock.Tick() - openedAt >= kCleanMs) {
            told = false;
            retryMs = kRetryMs;
        } else if (m_bytes != bytesBefore) {
            retryMs = kRetryMs;
        } else if (told) {
            retryMs = std::min(kMaxRetryMs, retryMs * 2);
        }
        if (!told) {
            Tell(WithSystemText(kPortLost, error), kSerialPortCaption);
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_PORT_LOST, {PortName(), SystemErrorText(error), m_prefix});
            lostLogged = true;
        }
        told = true;
        Report(CaptureState::WaitingForPort);
        if (WaitForRetry(retryMs)) return Finish(CaptureEnd::None);
    }
}

CaptureEnd CCaptureSession::Finish(CaptureEnd end)
{
    ClosePort();
    if (m_silence.PortClosed()) m_sink.Silence(false, 0);
    // A last try for what waits in memory; a Stop while the file is gone costs it, and says so.
    if (m_file.Waiting() && !m_file.Flush() && end == CaptureEnd::None) {
        Tell(WithSystemText(kWriteFailed, m_file.LastError()), kInputFileCaption);
        end = CaptureEnd::FileNotWritten;
    }
    return end;
}

bool CCaptureSession::StopRequested(DWORD waitMs) const
{
    // A failed wait counts as a stop.
    return ::WaitForSingleObject(m_stopEvent, waitMs) != WAIT_TIMEOUT;
}

bool CCaptureSession::WaitForRetry(DWORD waitMs)
{
    const DWORD until = m_clock.Tick() + waitMs;
    auto reached = [&] { return static_cast<LONG>(m_clock.Tick() - until) >= 0; };
    for (;;) {
        RetryFile(false);
        DWORD left = reached() ? 0 : until - m_clock.Tick();
        DWORD step = m_file.Waiting() ? std::min(left, kFileRetryMs) : left;
        if (m_clock.Wait(m_stopEvent, step)) return true;
        if (reached()) return false;
    }
}

CaptureState CCaptureSession::ActiveState() const
{
    return m_file.Waiting() ? CaptureState::WaitingForFile : CaptureState::Capturing;
}

// Line settings the driver refuses are the user's to mend; every other failure means the
// port is not there (yet): missing, in use, or still coming up.
CCaptureSession::Opened CCaptureSession::OpenPort(bool atRun, DWORD& error)
{
    if (!m_read) m_read = CPendingRead::Create();
    if (!m_read) {
        error = ::GetLastError();
        return Opened::NotYet;
    }
    if (!m_port) m_port = m_factory ? m_factory() : std::unique_ptr<ISerialDevice>(new CSerialPort);
    try {
        ::SetLastError(ERROR_SUCCESS);
        m_port->Open(m_line.port, m_line.baud, static_cast<Parity>(m_line.parity), m_line.dataBits,
                     static_cast<StopBits>(m_line.stopBits), true, NoFlowControl);
        if (!m_port->IsOpen()) {
            error = ::GetLastError();
            return Opened::NotYet;
        }
        m_chunk = BaseRead();
        m_rateBytes = m_rateMs = 0;
        ApplyTimeouts(ReadTotalMs());
        // What waited in the driver at Run was sent before it. A port that opens later (late,
        // or back after an outage) brings only what arrived since: it is kept.
        if (atRun) m_port->Purge(PURGE_RXCLEAR);
    } catch (CSerialException* e) {
        error = e->m_dwError;
        e->Delete();
        m_port->Close();
        return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ? Opened::Refused : Opened::NotYet;
    }
    return Opened::Yes;
}

void CCaptureSession::ApplyTimeouts(DWORD totalMs)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutConstant = totalMs;
    m_port->SetTimeouts(timeouts);
}

void CCaptureSession::ClosePort()
{
    if (!m_port) return;
    if (m_read && m_read->IsPending()) AbandonRead();
    m_port->Close();
}

bool CCaptureSession::AbandonRead()
{
    if (m_read->End(*m_port, kCancelEveryMs, kGiveUpMs)) return Store(m_read->Data(), m_read->Count());
    // The system may still write into the read's buffer and record one day: leave them to it.
    CPendingRead* abandoned = m_read.release();
    (void)abandoned;
    m_port->Close();
    return true;
}

bool CCaptureSession::PortAlive(DWORD& error)
{
    try {
        COMSTAT stat;
        m_port->GetStatus(stat);
        return true;
    } catch (CSerialException* e) {
        error = e->m_dwError;
        e->Delete();
        return false;
    }
}

unsigned CCaptureSession::BaseRead() const
{
    unsigned long long bytes = 1ULL * m_line.baud * kFillTargetMs / (1000ULL * kBitsPerByte);
    return static_cast<unsigned>(
        std::min<unsigned long long>(CPendingRead::kBufferSize, std::max<unsigned long long>(kMinRead, bytes)));
}

DWORD CCaptureSession::ReadTotalMs() const
{
    unsigned long long fill = BaseRead() * 1000ULL * kBitsPerByte / std::max(1u, m_line.baud);
    return static_cast<DWORD>(std::min<unsigned long long>(fill, 1000)) + kTotalMarginMs;
}

// Copies from the port until Stop, a port failure or a full memory bound. One read at a time;
// every wait has a deadline, and only a read that outlives its time-outs is cancelled.
CCaptureSession::Outcome CCaptureSession::Copy(DWORD& error)
{
    bool stopping = false;
    bool stopSeen = false; // the wait for a read saw the stop event
    bool atOnce = false;   // the last read completed without a wait, which watches the stop event
    bool gate = false;     // the line is idle: the next read is a one-byte read for its next byte
    bool gateRead = false; // the pending read is such a read, which holds nothing while pending
    DWORD appliedTotal = ReadTotalMs(); // as OpenPort set it
    DWORD stopAt = 0;
    DWORD waitUntil = 0;
    DWORD overdueMs = 0;
    for (;;) {
        // Each check is a call into the system; a read's wait watches the stop event anyway.
        if (!stopping && (stopSeen || (atOnce && StopRequested(0)))) {
            stopping = true;
            stopAt = ::GetTickCount();
        }
        CPendingRead::Result result = CPendingRead::Result::Pending;
        if (!m_read->IsPending()) {
            // Bytes that reached the port before Stop belong to the capture: reads go on for
            // kDrainMs, each ending soon on an idle line.
            if (stopping && ::GetTickCount() - stopAt >= kDrainMs) return Outcome::Stopped;
            gateRead = gate && !stopping;
            const DWORD total = stopping ? kDrainTotalMs : gateRead ? kGateTotalMs : ReadTotalMs();
            if (total != appliedTotal) {
                try {
                    ApplyTimeouts(total);
                    appliedTotal = total;
                } catch (CSerialException* e) {
                    error = e->m_dwError;
                    e->Delete();
                    return stopping ? Outcome::Stopped : Outcome::PortLost;
                }
            }
            RetryFile(false);
            result = m_read->Issue(*m_port, gateRead ? 1 : m_chunk);
            atOnce = result != CPendingRead::Result::Pending;
            overdueMs = total + kOverdueMs;
            waitUntil = m_read->IssuedAt() + overdueMs;
        } else if (stopping && gateRead) {
            // A pending one-byte read has received nothing: ending it now loses nothing, and a
            // byte that comes meanwhile waits in the driver for the reads that follow.
            gateRead = false;
            if (!AbandonRead()) return Outcome::FileFull;
            if (!m_read || !m_port->IsOpen()) return Outcome::Stopped;
            continue;
        } else {
            CPendingRead::Wait waited = m_read->WaitFor(stopping ? nullptr : m_stopEvent, waitUntil);
            if (waited == CPendingRead::Wait::Stopped) {
                stopSeen = true;
                if (!stopping) continue;
                // Waiting itself failed: nothing more can be learnt of this read.
                return AbandonRead() ? Outcome::Stopped : Outcome::FileFull;
            }
            if (waited == CPendingRead::Wait::Completed) {
                result = m_read->Finish(*m_port);
            } else if (!PortAlive(error)) {
                // A driver that never completes a read after its device went.
                AbandonRead();
                return stopping ? Outcome::Stopped : Outcome::PortLost;
            } else if (stopping && ::GetTickCount() - stopAt >= kStopPatienceMs) {
                // Stop is bounded even when the driver ignores the time-outs.
                return AbandonRead() ? Outcome::Stopped : Outcome::FileFull;
            } else {
                // Overdue on a port that answers: Wine keeps a receiving read past its total
                // time-out. Cancelling would cost its bytes on Windows: wait on.
                waitUntil = ::GetTickCount() + (stopping ? kStopPatienceMs - (::GetTickCount() - stopAt) : overdueMs);
                continue;
            }
        }
        if (result == CPendingRead::Result::Pending) continue;
        if (result == CPendingRead::Result::Failed) {
            if (stopping) return Outcome::Stopped;
            error = m_read->Error();
            return Outcome::PortLost;
        }
        const unsigned count = m_read->Count();
        if (!Store(m_read->Data(), count)) return Outcome::FileFull;
        // Every read of an idle line ends within its total time-out: the silence is looked at
        // then, and costs an idle line no wake-up of its own.
        if (count == 0 && m_silence.On()) CheckSilence();
        const DWORD elapsed = ::GetTickCount() - m_read->IssuedAt();
        if (count == 0) {
            if (stopping) return Outcome::Stopped;
            // Whatever the line does next, it starts from its baud rate again.
            m_chunk = BaseRead();
            m_rateBytes = m_rateMs = 0;
            // A whole read went by without a byte: wait for the next one with a read that
            // holds nothing while it waits, so that Stop need not wait for it.
            gate = true;
            // Some drivers complete reads at once with nothing, again and again.
            if (elapsed < kReadIntervalMs && StopRequested(kReadIntervalMs)) continue;
        } else {
            gate = false;
            if (!stopping && !gateRead) Adapt(count, elapsed);
        }
    }
}

void CCaptureSession::Adapt(unsigned count, DWORD elapsedMs)
{
    m_rateBytes += count;
    m_rateMs += std::max<DWORD>(elapsedMs, 1);
    while (m_rateMs > kRateWindowMs) {
        m_rateBytes /= 2;
        m_rateMs /= 2;
    }
    // What the line has delivered lately in the time a read should take to fill.
    const unsigned long long fits = m_rateBytes * kFillTargetMs / std::max<unsigned long long>(m_rateMs, 1);
    const unsigned base = BaseRead();
    if (count >= m_chunk && elapsedMs < kGrowBelowMs) {
        const unsigned long long grown = std::min<unsigned long long>(2ULL * m_chunk, fits);
        m_chunk = static_cast<unsigned>(
            std::min<unsigned long long>(CPendingRead::kBufferSize, std::max<unsigned long long>(m_chunk, grown)));
    } else if (elapsedMs > kShrinkAboveMs) {
        // Too large for what the line brings: its first byte waited too long for the rest. A
        // read that ended on a pause undercounts the rate, which costs at most reads of base size.
        m_chunk = static_cast<unsigned>(std::max<unsigned long long>(base, std::min<unsigned long long>(m_chunk, fits)));
    }
}

// Appends what a read brought; false only when the memory bound is reached.
bool CCaptureSession::Store(const char* data, unsigned count)
{
    if (count == 0) return true;
    const bool waitedBefore = m_file.Waiting() != 0;
    CCaptureFile::Put put = m_file.Append(data, count);
    if (put == CCaptureFile::Put::Overflow) return false;
    m_bytes += count;
    if (m_request.tap) m_request.tap->Captured(data, count);
    const unsigned long long now = m_clock.UtcNow();
    m_sink.Captured(count, now);
    unsigned long long lasted = 0;
    if (m_silence.On() && m_silence.Heard(now, m_clock.LocalNow(), lasted)) {
        m_sink.Silence(false, 0);
        ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_SOUND_AGAIN,
                             {PortName(), DurationText(lasted / (1000 * kFileTimeMs)), m_prefix});
    }
    if (put == CCaptureFile::Put::Held && !waitedBefore) {
        m_fileTriedAt = m_clock.Tick();
        // Once per outage of the file; a file that keeps coming and going is one outage.
        if (!m_fileTold || m_clock.Tick() - m_fileBackAt >= kCleanMs) {
            Tell(WithSystemText(kFileWaiting, m_file.LastError()), kInputFileCaption);
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_FILE_NOT_WRITABLE,
                                 {m_request.file, SystemErrorText(m_file.LastError()), m_prefix});
            m_fileLogged = true;
        }
        m_fileTold = true;
        Report(CaptureState::WaitingForFile);
    }
    return true;
}

void CCaptureSession::RetryFile(bool now)
{
    if (!m_file.Waiting() || (!now && m_clock.Tick() - m_fileTriedAt < kFileRetryMs)) return;
    m_fileTriedAt = m_clock.Tick();
    const size_t waited = m_file.Waiting();
    if (!m_file.Flush()) return;
    m_fileBackAt = m_clock.Tick();
    if (m_fileLogged)
        ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_FILE_WRITABLE_AGAIN, {m_request.file, Number(waited), m_prefix});
    m_fileLogged = false;
    if (m_port && m_port->IsOpen()) Report(CaptureState::Capturing);
}

void CCaptureSession::CheckSilence()
{
    if (!m_silence.Due(m_clock.UtcNow(), m_clock.LocalNow())) return;
    m_sink.Silence(true, m_silence.SinceUtc());
    CString last;
    if (m_silence.AnyByte())
        last = "the last byte came at " + LocalText(m_silence.SinceLocal());
    else
        last = "no byte since the capture started at " + LocalText(m_silence.SinceLocal());
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_LINE_SILENT, {PortName(), Number(m_silence.Minutes()), last, m_prefix});
}

CString CCaptureSession::PortName() const
{
    CString name;
    name.Format("COM%d", m_line.port);
    return name;
}
