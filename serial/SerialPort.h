#pragma once
// CSerialPort: one COM device, its line settings and its I/O. Every failing call except
// the open itself throws a CSerialException carrying the system error code.
#include <windows.h>

#include "platform/Object.h"
#include "serial/SerialDevice.h"
#include "serial/SerialException.h"

class CSerialPort : public CObject, public ISerialDevice {
    DECLARE_DYNAMIC(CSerialPort)
public:
    CSerialPort();
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens "\\.\COMn" and programs the line. A device that cannot be opened leaves the
    // object closed without throwing: ask IsOpen.
    void Open(int nPort, unsigned dwBaud = 9600, Parity parity = NoParity, unsigned char dataBits = 8,
                      StopBits stopBits = OneStopBit, bool bOverlapped = false,
                      FlowControl flowControl = NoFlowControl) override;
    void Close() override;
    bool IsOpen() const override;
    virtual unsigned Read(void* buf, unsigned count);
    virtual unsigned ReadWhenAvailable(void* buf, unsigned count, unsigned timeoutMs);
    virtual void ReadEx(void* buf, unsigned count);
    virtual void WriteEx(const void* buf, unsigned count);
    virtual unsigned Write(const void* buf, unsigned count);
    virtual unsigned InputCount();
    virtual void Flush();
    virtual void DiscardInput();
    void Purge(unsigned flags) override;
    virtual void SetNonBlockingReads();
    virtual void Setup(unsigned inQueue, unsigned outQueue);
    // Called for every finished ReadEx/WriteEx; frees ov.
    virtual void OnCompletion(unsigned errorCode, unsigned count, OVERLAPPED* ov);

    // The overlapped calls of ISerialDevice.
    // Overlapped read: true when it completed at once (*pBytesRead set), false when pending.
    // A read ended by its total time-out has completed, with what it took in, on Wine too.
    bool Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* pBytesRead = nullptr) override;
    // True when the operation has completed, false while it is still pending (no wait).
    // *pBytes receives the count the system reports even when the call then throws:
    // a cancelled read (ERROR_OPERATION_ABORTED) still reports what it received.
    bool GetOverlappedResult(OVERLAPPED* ov, unsigned* pBytes, bool bWait) override;
    // Cancels this thread's outstanding I/O on the device.
    void CancelIo() override;
    void GetStatus(COMSTAT& stat) override;
    void GetState(DCB& dcb);
    void SetState(DCB& dcb);
    void GetTimeouts(COMMTIMEOUTS& timeouts);
    void SetTimeouts(COMMTIMEOUTS& timeouts) override;

    // Puts the line settings into a device control block read from the device, with the
    // XON/XOFF characters and limits Windows' serial driver takes, whatever the device reported;
    // other fields the settings do not name stay as they were. Open uses it.
    static void ConfigureDcb(DCB& dcb, unsigned dwBaud, Parity parity, unsigned char dataBits, StopBits stopBits,
                             FlowControl flowControl);

    int GetPort() const { return nPort; }
    unsigned GetBaud() const { return dwBaud; }
    Parity GetParity() const { return parity; }
    unsigned char GetDataBits() const { return dataBits; }
    StopBits GetStopBits() const { return stopBits; }
    FlowControl GetFlowControl() const { return flowControl; }
    bool IsOverlapped() const { return bOverlapped != FALSE; }
    HANDLE GetHandle() const { return hComm; }

protected:
    HANDLE hComm;
    BOOL bOverlapped;
    HANDLE hEvent;
    int nPort = 0;
    unsigned dwBaud = 0;
    Parity parity = NoParity;
    unsigned char dataBits = 0;
    StopBits stopBits = OneStopBit;
    FlowControl flowControl = NoFlowControl;
};
