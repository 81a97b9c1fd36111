#include "serial/SerialPort.h"

#include "platform/Handle.h"
#include "platform/Sync.h"

#include <cstdio>
#include <set>

IMPLEMENT_DYNAMIC(CSerialPort, CObject)

namespace {

// The ports alive in this process. A completion routine can run after its port was
// destroyed (closing the device aborts the I/O, the routine still runs at the next
// alertable wait): it looks the pointer up here before touching the object.
class CLivePorts {
public:
    void Add(const void* port)
    {
        CSingleLock lock(&m_cs, true);
        m_ports.insert(port);
    }
    void Remove(const void* port)
    {
        CSingleLock lock(&m_cs, true);
        m_ports.erase(port);
    }
    bool Contains(const void* port)
    {
        CSingleLock lock(&m_cs, true);
        return m_ports.count(port) != 0;
    }

private:
    CCriticalSection m_cs;
    std::set<const void*> m_ports;
};

CLivePorts& LivePorts()
{
    static CLivePorts ports;
    return ports;
}

// The device control block values, indexed by our enumerations' integers.
const BYTE kDcbParity[] = {EVENPARITY, MARKPARITY, NOPARITY, ODDPARITY, SPACEPARITY};
const BYTE kDcbStopBits[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};

const char kXon = 0x11;  // DC1
const char kXoff = 0x13; // DC3
// The limits Windows' serial driver gives a fresh port with its smallest input queue (128
// bytes): half of it and an eighth. It refuses a limit beyond its queue, so these fit every
// queue it keeps, and they leave XON below the XOFF point as flow control needs.
const WORD kXonLimit = 64;
const WORD kXoffLimit = 16;

} // namespace

// Shared by every ReadEx/WriteEx. Each record reaches OnCompletion, which frees it, or is
// freed here when its port is gone: either way exactly once. Nothing may leave here by
// exception, since the system called us.
static VOID CALLBACK SerialCompletionRoutine(DWORD errorCode, DWORD count, LPOVERLAPPED ov)
{
    CSerialPort* port = static_cast<CSerialPort*>(ov->hEvent);
    if (!LivePorts().Contains(port) || !port->IsKindOf(RUNTIME_CLASS(CSerialPort))) {
        delete ov;
        return;
    }
    try {
        port->OnCompletion(errorCode, count, ov);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
}

CSerialPort::CSerialPort() : hComm(INVALID_HANDLE_VALUE), bOverlapped(FALSE), hEvent(nullptr)
{
    LivePorts().Add(this);
}

CSerialPort::~CSerialPort()
{
    Close();
    LivePorts().Remove(this);
}

void CSerialPort::Open(int nPortArg, unsigned dwBaudArg, Parity parityArg, unsigned char dataBitsArg,
                       StopBits stopBitsArg, bool bOverlappedArg, FlowControl flowControlArg)
{
    Close();

    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", nPortArg);
    CHandle device(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               bOverlappedArg ? FILE_FLAG_OVERLAPPED : 0, nullptr));
    // A missing or busy port is not an error here: the caller asks IsOpen.
    if (!device.IsValid()) return;
    hComm = device.Detach();

    nPort = nPortArg;
    bOverlapped = bOverlappedArg ? TRUE : FALSE;
    dwBaud = dwBaudArg;
    parity = parityArg;
    dataBits = dataBitsArg;
    stopBits = stopBitsArg;
    flowControl = flowControlArg;

    hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!hEvent) {
        DWORD error = GetLastError(); // Close would overwrite it
        Close();
        ThrowSerialException(error);
    }

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetState(dcb);
    ConfigureDcb(dcb, dwBaud, parity, dataBits, stopBits, flowControl);
    SetState(dcb);
}

void CSerialPort::ConfigureDcb(DCB& dcb, unsigned baud, Parity par, unsigned char bits, StopBits stop,
                               FlowControl flow)
{
    dcb.BaudRate = baud;
    // Values outside the tables (say, from a hand-edited registry) leave the field as read.
    if (static_cast<unsigned>(par) < sizeof kDcbParity) dcb.Parity = kDcbParity[par];
    dcb.ByteSize = bits;
    if (static_cast<unsigned>(stop) < sizeof kDcbStopBits) dcb.StopBits = kDcbStopBits[stop];

    dcb.fDsrSensitivity = FALSE;
    // Windows drivers keep these from the port's previous user: fAbortOnError would end every
    // read after one framing error or break until ClearCommError, and fNull and fErrorChar
    // would alter the bytes captured.
    dcb.fBinary = TRUE;
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    // SetCommState checks these with any flow control, or none: XonChar equal to XoffChar, or
    // a limit beyond the driver's queue, left by the port's previous user, would refuse the line.
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    dcb.XonLim = kXonLimit;
    dcb.XoffLim = kXoffLimit;

    switch (flow) {
    case NoFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        // Terminals that wait for the PC to be ready before they send.
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case CtsRtsFlowControl:
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case CtsDtrFlowControl:
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        break;
    case DsrRtsFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case DsrDtrFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        break;
    case XonXoffFlowControl:
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        break;
    default:
        break;
    }
}

void CSerialPort::Close()
{
    if (!IsOpen()) return;
    // Closing the device ends any outstanding overlapped I/O; the results are not examined.
    CHandle(hComm).Close();
    hComm = INVALID_HANDLE_VALUE;
    bOverlapped = FALSE;
    nPort = 0;
    dwBaud = 0;
    parity = NoParity;
    dataBits = 0;
    stopBits = OneStopBit;
    flowControl = NoFlowControl;
    CHandle(hEvent).Close();
    hEvent = nullptr;
}

bool CSerialPort::IsOpen() const
{
    return hComm != INVALID_HANDLE_VALUE;
}

unsigned CSerialPort::Read(void* buf, unsigned count)
{
    DWORD read = 0;
    if (!ReadFile(hComm, buf, count, &read, nullptr)) ThrowSerialException();
    return read;
}

bool CSerialPort::Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* pBytesRead)
{
    DWORD read = 0;
    if (ReadFile(hComm, buf, count, &read, ov)) {
        if (pBytesRead) *pBytesRead = read;
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return false;
    // Windows completes a read that reaches its total time-out with what it took in; Wine
    // fails it with ERROR_TIMEOUT instead. Both are a read that ended.
    if (error == ERROR_TIMEOUT) {
        if (pBytesRead) *pBytesRead = read;
        return true;
    }
    ThrowSerialException(error);
}

unsigned CSerialPort::ReadWhenAvailable(void* buf, unsigned count, unsigned timeoutMs)
{
    DWORD start = GetTickCount();
    while (InputCount() < count) {
        // Elapsed time by subtraction, so that the tick counter's wrap does not end the wait early.
        if (GetTickCount() - start >= timeoutMs) return 0;
    }
    return Read(buf, count);
}

void CSerialPort::ReadEx(void* buf, unsigned count)
{
    if (!bOverlapped) {
        Read(buf, count);
        return;
    }
    OVERLAPPED* ov = new OVERLAPPED();
    ov->hEvent = static_cast<HANDLE>(this);
    if (!ReadFileEx(hComm, buf, count, ov, SerialCompletionRoutine)) {
        // The routine is not queued for a call that fails: the record is still ours.
        DWORD error = GetLastError();
        delete ov;
        ThrowSerialException(error);
    }
}

void CSerialPort::WriteEx(const void* buf, unsigned count)
{
    if (!bOverlapped) {
        Write(buf, count);
        return;
    }
    OVERLAPPED* ov = new OVERLAPPED();
    ov->hEvent = static_cast<HANDLE>(this);
    if (!WriteFileEx(hComm, buf, count, ov, SerialCompletionRoutine)) {
        DWORD error = GetLastError();
        delete ov;
        ThrowSerialException(error);
    }
}

unsigned CSerialPort::Write(const void* buf, unsigned count)
{
    DWORD written = 0;
    if (!WriteFile(hComm, buf, count, &written, nullptr)) ThrowSerialException();
    return written;
}

bool CSerialPort::GetOverlappedResult(OVERLAPPED* ov, unsigned* pBytes, bool bWait)
{
    DWORD transferred = 0;
    BOOL done = ::GetOverlappedResult(hComm, ov, &transferred, bWait ? TRUE : FALSE);
    // Set before any throw: a cancelled read still reports the bytes it received.
    if (pBytes) *pBytes = transferred;
    if (done) return true;
    DWORD error = GetLastError();
    // A poll of an unfinished operation fails with ERROR_IO_INCOMPLETE: that is "pending" too.
    if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE) return false;
    // A total time-out ends a read, as on Windows (see Read).
    if (error == ERROR_TIMEOUT) return true;
    ThrowSerialException(error);
}

void CSerialPort::CancelIo()
{
    if (!::CancelIo(hComm)) ThrowSerialException();
}

unsigned CSerialPort::InputCount()
{
    COMSTAT stat = {};
    GetStatus(stat);
    return stat.cbInQue;
}

void CSerialPort::GetStatus(COMSTAT& stat)
{
    DWORD errors = 0;
    if (!ClearCommError(hComm, &errors, &stat)) ThrowSerialException();
}

void CSerialPort::GetState(DCB& dcb)
{
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(hComm, &dcb)) ThrowSerialException();
}

void CSerialPort::SetState(DCB& dcb)
{
    dcb.DCBlength = sizeof dcb;
    if (!SetCommState(hComm, &dcb)) ThrowSerialException();
}

void CSerialPort::Flush()
{
    if (!FlushFileBuffers(hComm)) ThrowSerialException();
}

void CSerialPort::DiscardInput()
{
    Purge(PURGE_RXCLEAR);
}

void CSerialPort::Purge(unsigned flags)
{
    if (!PurgeComm(hComm, flags)) ThrowSerialException();
}

void CSerialPort::Setup(unsigned inQueue, unsigned outQueue)
{
    if (!SetupComm(hComm, inQueue, outQueue)) ThrowSerialException();
}

void CSerialPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    if (!GetCommTimeouts(hComm, &timeouts)) ThrowSerialException();
}

void CSerialPort::SetTimeouts(COMMTIMEOUTS& timeouts)
{
    if (!SetCommTimeouts(hComm, &timeouts)) ThrowSerialException();
}

void CSerialPort::SetNonBlockingReads()
{
    // An interval of MAXDWORD with zero totals: a read returns at once with what is queued.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetTimeouts(timeouts);
}

void CSerialPort::OnCompletion(unsigned /*errorCode*/, unsigned /*count*/, OVERLAPPED* ov)
{
    delete ov;
}
