#pragma once
// CCaptureWorker: owns the capture thread that copies every byte from a COM port into
// the capture file until it is told to stop.
#include <windows.h>

#include "platform/Handle.h"
#include "platform/ProgressCtrl.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "serial/SerialPort.h"

class CCaptureWorker {
public:
    CCaptureWorker();
    // Does not stop the thread: the owner calls Stop first.
    ~CCaptureWorker();
    CCaptureWorker(const CCaptureWorker&) = delete;
    CCaptureWorker& operator=(const CCaptureWorker&) = delete;

    void Start(CString path, int nPort, unsigned dwBaud, unsigned char dataBits, int parity, int stopBits,
               CProgressCtrl* progress);
    // Asks the thread to stop and waits for it, pumping this thread's messages meanwhile.
    void Stop();

    void StartThread(CWinThread*& thread, HANDLE stopEvent, AFX_THREADPROC proc, int priority);
    void StopThread(CWinThread*& thread, HANDLE stopEvent);
    static UINT __cdecl CaptureThreadProc(void* param);

private:
    // The capture itself; returns with everything it holds released, so that the thread
    // function can end the thread (which skips the destructors of its own locals).
    void Capture();

    CProgressCtrl* progress;
    CWinThread* pThread;
    CCriticalSection lock;
    CHandle hStopEvent;
    CString strDataFile;
    int nPort = 0;
    unsigned char dataBits = 0;
    unsigned dwBaud = 0;
    int stopBits = 0;
    int parity = 0;
};
