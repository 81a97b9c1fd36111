#pragma once
// CCaptureSession: the capture thread's whole capture, from opening the port to closing the
// file. It rides out a port that is missing, goes away or keeps failing, and a file that
// cannot be written for a while, and tells its sink what it does. It knows nothing of windows
// or threads beyond the stop event it watches.
#include <windows.h>

#include <memory>

#include "capture/CaptureClock.h"
#include "capture/CaptureFile.h"
#include "capture/CaptureRequest.h"
#include "capture/CaptureSink.h"
#include "capture/PendingRead.h"
#include "capture/SilenceWatch.h"
#include "serial/SerialDevice.h"

class CCaptureSession {
public:
    // factory null: the real port. clock: what the session reads the time from and waits with.
    CCaptureSession(ICaptureSink& sink, HANDLE stopEvent, const CaptureRequest& request, SerialDeviceFactory factory,
                    ICaptureClock& clock);
    ~CCaptureSession();
    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // Captures until Stop or a failure that waiting cannot mend; says how it ended.
    CaptureEnd Run();

    // The message naming the first setting no port can take; empty when all can be tried.
    static CString InvalidSettingText(const LineSettings& line);

private:
    enum class Opened { Yes, NotYet, Refused };
    enum class Outcome { Stopped, PortLost, FileFull };

    bool StopRequested(DWORD waitMs) const;
    // Waits waitMs for Stop, writing what waits for the file meanwhile; true on Stop.
    bool WaitForRetry(DWORD waitMs);
    Opened OpenPort(bool atRun, DWORD& error);
    void ClosePort();
    void ApplyTimeouts(DWORD totalMs);
    Outcome Copy(DWORD& error);
    // Ends the read that outlived its time-outs; the port is unusable afterwards.
    bool AbandonRead();
    bool Store(const char* data, unsigned count);
    void RetryFile(bool now);
    bool PortAlive(DWORD& error);
    void Adapt(unsigned count, DWORD elapsedMs);
    unsigned BaseRead() const;
    DWORD ReadTotalMs() const;
    void CheckSilence();
    void Tell(const CString& text, const char* caption);
    void Report(CaptureState state) { m_sink.State(state, CaptureEnd::None); }
    CaptureState ActiveState() const;
    CaptureEnd Finish(CaptureEnd end);
    CString PortName() const;

    ICaptureSink& m_sink;
    HANDLE m_stopEvent;
    ICaptureClock& m_clock;
    const CaptureRequest m_request;
    const LineSettings& m_line;
    // "Lane 2 (COM7): " before every text and in every event; empty for a desktop capture.
    CString m_prefix;
    SerialDeviceFactory m_factory;
    std::unique_ptr<ISerialDevice> m_port;
    std::unique_ptr<CPendingRead> m_read;
    CCaptureFile m_file;
    CSilenceWatch m_silence;
    unsigned long long m_bytes = 0;
    unsigned m_chunk = 16;
    // Bytes and read time of the reads lately, for the rate the line really delivers.
    unsigned long long m_rateBytes = 0;
    unsigned long long m_rateMs = 0;
    bool m_fileTold = false; // the user has heard the file cannot be written
    DWORD m_fileTriedAt = 0;
    DWORD m_fileBackAt = 0;
    bool m_fileLogged = false; // the log has the file not writable and not yet back
};
