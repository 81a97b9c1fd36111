// Opening, closing and the line settings of CSerialPort.
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using serialtest::CTestPort;
using serialtest::ThrownCode;

namespace {

// A block as a device might report it, every field distinct from what the tables program,
// so that "left as read" is visible. Its XON/XOFF fields are what a previous user may leave
// and SetCommState refuses on Windows even without flow control: the same character for both,
// limits beyond any queue.
DCB ReportedDcb()
{
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonLim = 60000;
    dcb.XoffLim = 60000;
    dcb.ByteSize = 8;
    dcb.Parity = 0x77;
    dcb.StopBits = 0x66;
    dcb.XonChar = 'a';
    dcb.XoffChar = 'a';
    return dcb;
}

DCB Configured(Parity parity, StopBits stopBits, FlowControl flow, unsigned baud = 19200, unsigned char bits = 7)
{
    DCB dcb = ReportedDcb();
    CSerialPort::ConfigureDcb(dcb, baud, parity, bits, stopBits, flow);
    return dcb;
}

// The reported block with what every configuration sets: the line fields, fDsrSensitivity
// off, binary mode without abort, NUL stripping or error replacement (the reported block
// has all four the wrong way, as a previous user of the port may have left them), and
// XON/XOFF fields Windows' serial driver takes: DC1 and DC3, limits within its smallest
// queue (128 bytes) with XON below the XOFF point.
DCB Expected(BYTE parity, BYTE stopBits, unsigned baud = 19200, unsigned char bits = 7)
{
    DCB dcb = ReportedDcb();
    dcb.BaudRate = baud;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fDsrSensitivity = FALSE;
    dcb.fBinary = TRUE;
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 64;
    dcb.XoffLim = 16;
    return dcb;
}

void SetFlow(DCB& dcb, bool cts, bool dsr, bool xonXoff)
{
    dcb.fOutxCtsFlow = cts;
    dcb.fOutxDsrFlow = dsr;
    dcb.fOutX = xonXoff;
    dcb.fInX = xonXoff;
}

// Without flow control DTR and RTS are raised, whatever was reported.
DCB ExpectedWithoutFlowControl(BYTE parity, BYTE stopBits)
{
    DCB dcb = Expected(parity, stopBits);
    SetFlow(dcb, false, false, false);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

bool SameDcb(const DCB& a, const DCB& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool HandleIsOpen(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

} // namespace

TEST(ConfigureDcbTest, ParityAndStopBitsFollowTheTables)
{
    const BYTE parity[] = {EVENPARITY, MARKPARITY, NOPARITY, ODDPARITY, SPACEPARITY};
    for (int p = 0; p < 5; ++p)
        EXPECT_TRUE(SameDcb(Configured(static_cast<Parity>(p), OneStopBit, NoFlowControl),
                            ExpectedWithoutFlowControl(parity[p], ONESTOPBIT)))
            << "parity " << p;
    EXPECT_EQ(Configured(NoParity, OneStopBit, NoFlowControl).Parity, NOPARITY);
    EXPECT_EQ(Configured(EvenParity, OneStopBit, NoFlowControl).Parity, EVENPARITY);

    const BYTE stop[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
    for (int s = 0; s < 3; ++s)
        EXPECT_EQ(Configured(NoParity, static_cast<StopBits>(s), NoFlowControl).StopBits, stop[s]) << "stop bits " << s;

    DCB dcb = Configured(NoParity, OneStopBit, NoFlowControl, 115200, 8);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
}

TEST(ConfigureDcbTest, ValuesOutsideTheTablesLeaveTheFieldsAsReported)
{
    DCB dcb = Configured(static_cast<Parity>(5), static_cast<StopBits>(3), static_cast<FlowControl>(6));
    EXPECT_TRUE(SameDcb(dcb, Expected(0x77, 0x66))) << "flow fields and DTR/RTS control must stay as reported";
    dcb = Configured(static_cast<Parity>(-1), static_cast<StopBits>(-1), static_cast<FlowControl>(-1));
    EXPECT_TRUE(SameDcb(dcb, Expected(0x77, 0x66)));
}

TEST(ConfigureDcbTest, EachFlowControlProgramsItsRowAndXonXoffFieldsWindowsTakes)
{
    // DTR/RTS control reported as DISABLE/TOGGLE.
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, NoFlowControl),
                        ExpectedWithoutFlowControl(NOPARITY, ONESTOPBIT)))
        << "none";

    DCB e = Expected(NOPARITY, ONESTOPBIT);
    SetFlow(e, true, false, false);
    e.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, CtsRtsFlowControl), e)) << "CTS/RTS";

    e = Expected(NOPARITY, ONESTOPBIT);
    SetFlow(e, true, false, false);
    e.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, CtsDtrFlowControl), e)) << "CTS/DTR";

    e = Expected(NOPARITY, ONESTOPBIT);
    SetFlow(e, false, true, false);
    e.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, DsrRtsFlowControl), e)) << "DSR/RTS";

    e = Expected(NOPARITY, ONESTOPBIT);
    SetFlow(e, false, true, false);
    e.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, DsrDtrFlowControl), e)) << "DSR/DTR";

    e = Expected(NOPARITY, ONESTOPBIT);
    SetFlow(e, false, false, true);
    EXPECT_TRUE(SameDcb(Configured(NoParity, OneStopBit, XonXoffFlowControl), e)) << "XON/XOFF";
}

TEST(CSerialPortTest, MissingPortLeavesTheObjectClosedWithoutThrowing)
{
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(ThrownCode([&] { port.Open(250, 9600, EvenParity, 8, TwoStopBits, true, XonXoffFlowControl); }), 0u);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.GetPort(), 0);
    EXPECT_EQ(port.GetBaud(), 0u);
    EXPECT_EQ(port.GetParity(), NoParity);
    EXPECT_FALSE(port.IsOverlapped());
    // Calls on a closed object fail with the system's code, here an invalid handle.
    char c;
    EXPECT_EQ(ThrownCode([&] { port.Read(&c, 1); }), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ThrownCode([&] { port.InputCount(); }), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(CSerialPortTest, OpenStoresTheSettingsAndCloseResetsThem)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    CTestPort port;
    port.Open(pair.port, 115200, OddParity, 8, TwoStopBits, true, CtsRtsFlowControl);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetPort(), pair.port);
    EXPECT_EQ(port.GetBaud(), 115200u);
    EXPECT_EQ(port.GetParity(), OddParity);
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_EQ(port.GetStopBits(), TwoStopBits);
    EXPECT_EQ(port.GetFlowControl(), CtsRtsFlowControl);
    EXPECT_TRUE(port.IsOverlapped());
    HANDLE device = port.GetHandle();
    HANDLE event = port.GetEvent();
    ASSERT_NE(event, nullptr);
    // Auto-reset, not signalled.
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.GetEvent(), nullptr);
    EXPECT_EQ(port.GetParity(), NoParity);
    EXPECT_EQ(static_cast<int>(port.GetParity()), 2);
    EXPECT_EQ(port.GetPort(), 0);
    EXPECT_EQ(port.GetBaud(), 0u);
    EXPECT_EQ(port.GetDataBits(), 0);
    EXPECT_EQ(static_cast<int>(port.GetStopBits()), 0);
    EXPECT_EQ(static_cast<int>(port.GetFlowControl()), 0);
    EXPECT_FALSE(port.IsOverlapped());
    EXPECT_FALSE(HandleIsOpen(device));
    EXPECT_FALSE(HandleIsOpen(event));

    port.Close(); // closed: nothing happens
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetParity(), NoParity);
}

TEST(CSerialPortTest, ReopenClosesTheFirstDevice)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    CTestPort port;
    port.Open(pair.port, 9600, NoParity, 8, OneStopBit, true);
    ASSERT_TRUE(port.IsOpen());
    HANDLE firstDevice = port.GetHandle();
    HANDLE firstEvent = port.GetEvent();

    // A read pending on the first device ends when that device is closed.
    char buf[16];
    OVERLAPPED ov = {};
    CHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = done;
    ASSERT_FALSE(port.Read(buf, sizeof buf, &ov));

    port.Open(pair.peer, 9600, NoParity, 8, OneStopBit, false);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetPort(), pair.peer);
    EXPECT_FALSE(port.IsOverlapped());
    EXPECT_EQ(WaitForSingleObject(done, 5000), static_cast<DWORD>(WAIT_OBJECT_0)) << "first device still open";
    // Handle values are reused: an old value is either dead or one of the new object's own.
    for (HANDLE old : {firstDevice, firstEvent})
        EXPECT_TRUE(old == port.GetHandle() || old == port.GetEvent() || !HandleIsOpen(old));
}

TEST(CSerialPortTest, OpenProgramsTheDeviceWithWhatThePtyKeeps)
{
    // A pty keeps the baud rate, one or two stop bits (1.5 reads back as 2), CTS output
    // flow (set by RTS handshaking too) and XON/XOFF; parity and byte size it drops.
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    struct Row {
        unsigned baud;
        StopBits stop;
        FlowControl flow;
        BYTE dcbStopBits;
        bool cts;
        bool xonXoff;
    };
    // Settings carry over to the next open: each row changes what the previous one set.
    const Row rows[] = {
        {300, TwoStopBits, XonXoffFlowControl, TWOSTOPBITS, false, true},
        {115200, OneStopBit, NoFlowControl, ONESTOPBIT, false, false},
        {9600, TwoStopBits, CtsRtsFlowControl, TWOSTOPBITS, true, false},
        {921600, OneStopBit, NoFlowControl, ONESTOPBIT, false, false},
        {19200, TwoStopBits, CtsDtrFlowControl, TWOSTOPBITS, true, false},
        {57600, OneStopBit, DsrDtrFlowControl, ONESTOPBIT, false, false},
    };
    for (const Row& r : rows) {
        CSerialPort port;
        EXPECT_EQ(ThrownCode([&] { port.Open(pair.port, r.baud, NoParity, 8, r.stop, false, r.flow); }), 0u);
        ASSERT_TRUE(port.IsOpen());
        DCB dcb = {};
        port.GetState(dcb);
        EXPECT_EQ(dcb.BaudRate, r.baud) << "flow " << r.flow;
        EXPECT_EQ(dcb.StopBits, r.dcbStopBits) << "flow " << r.flow;
        EXPECT_EQ(dcb.fOutxCtsFlow != 0, r.cts) << "flow " << r.flow;
        EXPECT_EQ(dcb.fOutX != 0, r.xonXoff) << "flow " << r.flow;
        EXPECT_EQ(dcb.fInX != 0, r.xonXoff) << "flow " << r.flow;
        EXPECT_FALSE(dcb.fDsrSensitivity) << "flow " << r.flow;
    }
}
