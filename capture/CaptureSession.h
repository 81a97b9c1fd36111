#pragma once
// CCaptureSession: the capture thread's whole capture, from opening the port to closing the
// file. It rides out a port that is missing, goes away or keeps failing, and a file that
// cannot be written for a while, and tells the worker what it does.
#include <windows.h>

#include <memory>

#include "capture/CaptureFile.h"
#include "capture/CaptureWorker.h"
#include "capture/PendingRead.h"

class CCaptureSession {
public:
    CCaptureSession(CCaptureWorker& worker, HANDLE stopEvent, const CaptureRequest& request,
                    CCaptureWorker::PortFactory factory);
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
    CaptureState ActiveState() const;
    CaptureEnd Finish(CaptureEnd end);
    CString PortName() const;

    CCaptureWorker& m_worker;
    HANDLE m_stopEvent;
    LineSettings m_line;
    CString m_path;
    CCaptureWorker::PortFactory m_factory;
    std::unique_ptr<CSerialPort> m_port;
    std::unique_ptr<CPendingRead> m_read;
    CCaptureFile m_file;
    bool m_append;
    CString m_fileHint;
    unsigned m_chunk = 16;
    bool m_fileTold = false; // the user has heard the file cannot be written
    DWORD m_fileTriedAt = 0;
    DWORD m_fileBackAt = 0;
    bool m_fileLogged = false; // the log has the file not writable and not yet back
};
