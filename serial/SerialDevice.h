#pragma once
// ISerialDevice: the calls a capture makes on a COM device, and nothing more. CSerialPort is the
// real one; tests stand in for drivers that Wine cannot imitate. Every failing call except Open
// itself throws a CSerialException carrying the system error code.
#include <windows.h>

#include <functional>
#include <memory>

// The integers are what the settings store and the dialog's lists carry.
enum Parity { EvenParity = 0, MarkParity = 1, NoParity = 2, OddParity = 3, SpaceParity = 4 };
enum StopBits { OneStopBit = 0, OnePointFiveStopBits = 1, TwoStopBits = 2 };
enum FlowControl {
    NoFlowControl = 0,
    CtsRtsFlowControl = 1,
    CtsDtrFlowControl = 2,
    DsrRtsFlowControl = 3,
    DsrDtrFlowControl = 4,
    XonXoffFlowControl = 5
};

class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;

    // A device that cannot be opened leaves the object closed without throwing: ask IsOpen.
    virtual void Open(int port, unsigned baud, Parity parity, unsigned char dataBits, StopBits stopBits,
                      bool overlapped, FlowControl flowControl) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual void Purge(unsigned flags) = 0;
    virtual void SetTimeouts(COMMTIMEOUTS& timeouts) = 0;
    // The driver's queue counts; a call that fails tells the device is gone.
    virtual void GetStatus(COMSTAT& stat) = 0;
    // Overlapped read: true when it completed at once (*bytesRead set), false when pending.
    virtual bool Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* bytesRead) = 0;
    // True when the operation has completed, false while it is still pending.
    virtual bool GetOverlappedResult(OVERLAPPED* ov, unsigned* bytes, bool wait) = 0;
    // Cancels this thread's outstanding I/O on the device.
    virtual void CancelIo() = 0;
};

// Makes the device a capture opens: the real port, or a test's stand-in.
using SerialDeviceFactory = std::function<std::unique_ptr<ISerialDevice>()>;
