// Data across a virtual null-modem pair, and failures after it is unplugged.
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

using serialtest::CTestPort;
using serialtest::PlugGuard;
using serialtest::ThrownCode;
using serialtest::WaitAlertably;

namespace {

class SerialIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testenv::Available()) GTEST_SKIP() << "needs the Wine test environment of make test (virtual COM pairs)";
        ASSERT_TRUE(testenv::GetPair(1, pair));
        ASSERT_TRUE(peer.Open(pair.peer));
    }

    // Time-outs outlive the handle on Wine: leave the driver's zeros for the next test and program.
    void TearDown() override
    {
        CSerialPort port;
        port.Open(pair.port);
        COMMTIMEOUTS zero = {};
        if (port.IsOpen()) port.SetTimeouts(zero);
    }

    // Opens the product's end of pair 1 with the driver's zero time-outs and empty queues;
    // fails the test when it cannot.
    void OpenPort(CSerialPort& port, bool overlapped)
    {
        port.Open(pair.port, 115200, NoParity, 8, OneStopBit, overlapped, NoFlowControl);
        ASSERT_TRUE(port.IsOpen());
        COMMTIMEOUTS zero = {};
        port.SetTimeouts(zero);
        port.Purge(PURGE_RXCLEAR | PURGE_TXCLEAR);
    }

    // Waits until the port's input queue holds n bytes.
    static bool WaitQueued(CSerialPort& port, unsigned n)
    {
        return testenv::WaitFor([&] { return port.InputCount() >= n; }, 5000);
    }

    testenv::PortPair pair;
    testenv::PeerPort peer;
};

// Counts completions delivered to any instance, so that a test can see none reach a dead one.
class CCountingPort : public CSerialPort {
public:
    void OnCompletion(unsigned errorCode, unsigned count, OVERLAPPED* ov) override
    {
        ++delivered;
        CSerialPort::OnCompletion(errorCode, count, ov);
    }
    static int delivered;
};
int CCountingPort::delivered = 0;

} // namespace

TEST_F(SerialIoTest, SynchronousWriteAndReadCrossThePair)
{
    CSerialPort port;
    OpenPort(port, false);
    EXPECT_EQ(port.Write("hello", 5), 5u);
    EXPECT_EQ(peer.Read(5, 5000), "hello");

    ASSERT_TRUE(peer.Write("world!"));
    char buf[16] = {};
    EXPECT_EQ(port.Read(buf, 6), 6u);
    EXPECT_EQ(std::string(buf, 6), "world!");

    // What DiscardInput drops never reaches a later read.
    ASSERT_TRUE(peer.Write("old"));
    ASSERT_TRUE(WaitQueued(port, 3));
    EXPECT_EQ(port.InputCount(), 3u);
    port.DiscardInput();
    EXPECT_EQ(port.InputCount(), 0u);
    ASSERT_TRUE(peer.Write("new"));
    EXPECT_EQ(port.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "new");
}

TEST_F(SerialIoTest, ReadWhenAvailableWaitsForTheCountOrTheTimeOut)
{
    CSerialPort port;
    OpenPort(port, false);
    char buf[16] = {};

    DWORD start = GetTickCount();
    EXPECT_EQ(port.ReadWhenAvailable(buf, 0, 10000), 0u);
    EXPECT_LT(GetTickCount() - start, 5000u) << "count 0 must read at once";

    ASSERT_TRUE(peer.Write("abc"));
    ASSERT_TRUE(WaitQueued(port, 3));
    EXPECT_EQ(port.ReadWhenAvailable(buf, 10, 0), 0u);
    EXPECT_EQ(port.InputCount(), 3u) << "a timed-out call must not read";

    start = GetTickCount();
    EXPECT_EQ(port.ReadWhenAvailable(buf, 10, 100), 0u);
    EXPECT_GE(GetTickCount() - start, 84u) << "returned before the time-out";
    EXPECT_EQ(port.InputCount(), 3u);

    ASSERT_TRUE(peer.Write("defg"));
    EXPECT_EQ(port.ReadWhenAvailable(buf, 7, 5000), 7u);
    EXPECT_EQ(std::string(buf, 7), "abcdefg");
}

TEST_F(SerialIoTest, NonBlockingReadsReturnWhatIsQueued)
{
    CSerialPort port;
    OpenPort(port, false);
    port.SetNonBlockingReads();
    COMMTIMEOUTS timeouts = {};
    port.GetTimeouts(timeouts);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    // With the driver's zero time-outs this read would wait for all 10 bytes.
    ASSERT_TRUE(peer.Write("ab"));
    ASSERT_TRUE(WaitQueued(port, 2));
    char buf[10] = {};
    EXPECT_EQ(port.Read(buf, sizeof buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "ab");

    // The queue controls work on a live port.
    EXPECT_EQ(ThrownCode([&] { port.Setup(4096, 4096); }), 0u);
    EXPECT_EQ(port.Write("zz", 2), 2u);
    EXPECT_EQ(ThrownCode([&] { port.Flush(); }), 0u);
    EXPECT_EQ(peer.Read(2, 5000), "zz");
}

TEST_F(SerialIoTest, OverlappedReadCompletesAtOnceOrWhenThePeerWrites)
{
    CSerialPort port;
    OpenPort(port, true);
    CHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    char buf[64] = {};

    // Nothing asked, nothing to wait for.
    OVERLAPPED ov = {};
    ov.hEvent = event;
    unsigned got = 99;
    EXPECT_TRUE(port.Read(buf, 0, &ov, &got));
    EXPECT_EQ(got, 0u);

    // Pending until the peer writes; polling it is not a failure.
    ov = OVERLAPPED();
    ov.hEvent = event;
    ResetEvent(event);
    got = 99;
    ASSERT_FALSE(port.Read(buf, 6, &ov, &got));
    EXPECT_EQ(got, 99u) << "a pending read must not touch the count";
    unsigned polled = 99;
    EXPECT_FALSE(port.GetOverlappedResult(&ov, &polled, false));
    ASSERT_TRUE(peer.Write("abcdef"));
    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(port.GetOverlappedResult(&ov, &got, true));
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(buf, 6), "abcdef");

    // Data already queued: the read may complete at once or go pending, and gets it either way.
    ASSERT_TRUE(peer.Write("xyz"));
    ASSERT_TRUE(WaitQueued(port, 3));
    ov = OVERLAPPED();
    ov.hEvent = event;
    ResetEvent(event);
    got = 0;
    bool atOnce = port.Read(buf, 3, &ov, &got);
    if (!atOnce) {
        EXPECT_TRUE(port.GetOverlappedResult(&ov, &got, true));
    }
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "xyz");

    // An idle read that reaches its total time-out ends with nothing, as Windows completes it.
    COMMTIMEOUTS timeouts = {10, 0, 100, 0, 0};
    port.SetTimeouts(timeouts);
    ov = OVERLAPPED();
    ov.hEvent = event;
    got = 99;
    if (!port.Read(buf, sizeof buf, &ov, &got)) {
        ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(port.GetOverlappedResult(&ov, &got, false));
    }
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialIoTest, CancelledReadThrowsAbortedAndReportsWhatArrived)
{
    CSerialPort port;
    OpenPort(port, true);
    CHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    char buf[64] = {};
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ASSERT_FALSE(port.Read(buf, sizeof buf, &ov));
    ASSERT_TRUE(peer.Write("part"));
    Sleep(200); // the bytes land inside the pending read
    port.CancelIo();
    unsigned got = 99;
    EXPECT_EQ(ThrownCode([&] { port.GetOverlappedResult(&ov, &got, true); }),
              static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "part");
}

TEST_F(SerialIoTest, ReadExAndWriteExCompleteDuringAnAlertableWait)
{
    CTestPort port;
    OpenPort(port, true);

    ASSERT_NO_FATAL_FAILURE(port.WriteEx("ping", 4));
    ASSERT_TRUE(WaitAlertably([&] { return port.completions == 1; }, 5000));
    EXPECT_EQ(port.lastError, 0u);
    EXPECT_EQ(port.lastCount, 4u);
    EXPECT_EQ(peer.Read(4, 5000), "ping");

    char buf[8] = {};
    port.ReadEx(buf, 5);
    SleepEx(50, TRUE);
    EXPECT_EQ(port.completions, 1) << "completed before the peer wrote";
    ASSERT_TRUE(peer.Write("12345"));
    ASSERT_TRUE(WaitAlertably([&] { return port.completions == 2; }, 5000));
    EXPECT_EQ(port.lastError, 0u);
    EXPECT_EQ(port.lastCount, 5u);
    EXPECT_EQ(std::string(buf, 5), "12345");

    // Without overlapped mode they are the plain synchronous calls.
    CTestPort sync;
    port.Close();
    OpenPort(sync, false);
    sync.WriteEx("sync", 4);
    EXPECT_EQ(peer.Read(4, 5000), "sync");
    ASSERT_TRUE(peer.Write("back"));
    sync.ReadEx(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "back");
    SleepEx(20, TRUE);
    EXPECT_EQ(sync.completions, 0);
}

TEST_F(SerialIoTest, CompletionForADestroyedPortDoesNotTouchIt)
{
    CCountingPort::delivered = 0;
    char buf[8] = {};
    alignas(CCountingPort) unsigned char storage[sizeof(CCountingPort)];
    CCountingPort* port = new (storage) CCountingPort;
    OpenPort(*port, true);
    port->ReadEx(buf, sizeof buf);
    // Closing the device ends the read; its routine runs at the next alertable wait, by
    // then over memory that is no object at all.
    port->~CCountingPort();
    std::memset(storage, 0xDD, sizeof storage);
    bool routineRan = false;
    for (int i = 0; i < 40 && !routineRan; ++i) routineRan = SleepEx(50, TRUE) == WAIT_IO_COMPLETION;
    EXPECT_TRUE(routineRan);
    EXPECT_EQ(CCountingPort::delivered, 0);
}

TEST(SerialUnplugTest, FailuresAfterAnUnplugCarryTheSystemCode)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(2, pair));
    CSerialPort sync;
    sync.Open(pair.port, 9600, NoParity, 8, OneStopBit, false, NoFlowControl);
    ASSERT_TRUE(sync.IsOpen());
    CTestPort overlapped;
    overlapped.Open(pair.peer, 9600, NoParity, 8, OneStopBit, true, NoFlowControl);
    ASSERT_TRUE(overlapped.IsOpen());
    CHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    char pending[16] = {};
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ASSERT_FALSE(overlapped.Read(pending, sizeof pending, &ov));

    PlugGuard guard(pair);
    ASSERT_TRUE(testenv::Unplug(pair));

    // The pending read ends with the pipe broken.
    ASSERT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    unsigned got = 99;
    DWORD code = ThrownCode([&] { overlapped.GetOverlappedResult(&ov, &got, true); });
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(got, 0u);

    // On Wine a synchronous read of a dead pty never returns (it spins inside the driver),
    // so the read is issued overlapped: it fails at once or goes pending and fails.
    char buf[4];
    OVERLAPPED ov2 = {};
    ov2.hEvent = event;
    code = ThrownCode([&] {
        if (!overlapped.Read(buf, 1, &ov2)) overlapped.GetOverlappedResult(&ov2, &got, true);
    });
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_BROKEN_PIPE));

    DCB dcb = {};
    COMSTAT stat = {};
    EXPECT_EQ(ThrownCode([&] { sync.GetStatus(stat); }), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ThrownCode([&] { sync.InputCount(); }), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ThrownCode([&] { sync.GetState(dcb); }), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ThrownCode([&] { sync.SetState(dcb); }), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ThrownCode([&] { sync.Write("x", 1); }), static_cast<DWORD>(ERROR_NOT_READY));

    // A completion-routine read fails at once or completes with the error, never both
    // (Wine: ReadFileEx succeeds and the routine gets 109).
    code = ThrownCode([&] { overlapped.ReadEx(buf, sizeof buf); });
    WaitAlertably([&] { return overlapped.completions > 0; }, 500);
    SleepEx(50, TRUE);
    if (code != 0) {
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_BROKEN_PIPE));
        EXPECT_EQ(overlapped.completions, 0);
    } else {
        EXPECT_EQ(overlapped.completions, 1);
        EXPECT_EQ(overlapped.lastError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }

    // Opening the unplugged port must not look like success. Windows: the device is gone
    // (closed, nothing thrown). Wine, with the port registered: the open reaches a device
    // that serves no serial calls, and programming the line throws ERROR_INVALID_FUNCTION.
    CSerialPort again;
    code = ThrownCode([&] { again.Open(pair.port); });
    EXPECT_TRUE(code != 0 || !again.IsOpen());
    again.Close();

    // Plugged back, the port opens and carries data again.
    ASSERT_TRUE(testenv::Plug(pair));
    again.Open(pair.port);
    ASSERT_TRUE(again.IsOpen());
    testenv::PeerPort peer;
    ASSERT_TRUE(peer.Open(pair.peer));
    EXPECT_EQ(again.Write("back", 4), 4u);
    EXPECT_EQ(peer.Read(4, 5000), "back");
}
