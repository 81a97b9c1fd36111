// What Windows' serial drivers do that Wine's cannot show, played by stand-in ports over a
// real pair: buffered reads whose bytes reach the caller only on success, a total time-out
// that completes a read with what it took in, drivers that ignore cancels and the close,
// and drivers that never complete a read once their device is gone.
#include "CaptureTestSupport.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

using namespace capturetest;

namespace {

// A Windows serial driver's read over the real port. The time-outs the capture sets are
// played here: the interval by the real read, the total by cancelling the real read at its
// deadline and completing with what it took in. Buffered I/O: the caller's buffer gets the
// bytes only when the read succeeds; a cancelled or failed read reports a count over the
// untouched buffer.
class WindowsDriverPort : public ForwardingDevice {
public:
    enum class Removal { Completes, NeverCompletes };
    explicit WindowsDriverPort(Removal removal = Removal::Completes) : m_removal(removal)
    {
        m_cancel.Attach(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    }
    ~WindowsDriverPort() override { Close(); }

    void SetTimeouts(COMMTIMEOUTS& timeouts) override
    {
        m_totalMs = timeouts.ReadTotalTimeoutConstant;
        COMMTIMEOUTS real = {timeouts.ReadIntervalTimeout, 0, 0, 0, 0};
        m_real.SetTimeouts(real);
    }
    bool Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* pBytesRead) override
    {
        Join();
        ResetEvent(ov->hEvent);
        ResetEvent(m_cancel);
        m_done = false;
        m_hung = false;
        m_thread = std::thread([=] { Serve(buf, count, ov); });
        (void)pBytesRead;
        return false;
    }
    bool GetOverlappedResult(OVERLAPPED* ov, unsigned* pBytes, bool bWait) override
    {
        if (bWait) WaitForSingleObject(ov->hEvent, INFINITE);
        if (!m_done) return false;
        if (m_error != 0) {
            if (pBytes) *pBytes = kStaleCount;
            ThrowSerialException(m_error);
        }
        if (pBytes) *pBytes = m_count;
        return true;
    }
    void CancelIo() override
    {
        if (!m_hung) SetEvent(m_cancel);
    }
    void Close() override
    {
        SetEvent(m_cancel);
        Join();
        ForwardingDevice::Close();
    }

    static const unsigned kStaleCount = 12;

private:
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }
    void Serve(void* buf, unsigned count, OVERLAPPED* callerOv)
    {
        CHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD got = 0;
        DWORD error = 0;
        const DWORD deadline = GetTickCount() + (m_totalMs ? m_totalMs : INFINITE / 2);
        if (!ReadFile(Handle(), m_own, count, &got, &ov) && GetLastError() != ERROR_IO_PENDING) {
            error = GetLastError();
        } else {
            HANDLE events[2] = {event, m_cancel};
            DWORD left = static_cast<LONG>(deadline - GetTickCount()) > 0 ? deadline - GetTickCount() : 0;
            DWORD waited = WaitForMultipleObjects(2, events, FALSE, left);
            if (waited != WAIT_OBJECT_0) {
                // Ended by the total time-out or by a cancel; Wine then keeps what it took in.
                do CancelIoEx(Handle(), &ov);
                while (WaitForSingleObject(event, 20) != WAIT_OBJECT_0);
            }
            BOOL ok = ::GetOverlappedResult(Handle(), &ov, &got, FALSE);
            if (waited == WAIT_OBJECT_0 + 1)
                error = ERROR_OPERATION_ABORTED; // a cancelled read's bytes are lost
            else if (!ok && GetLastError() != ERROR_OPERATION_ABORTED)
                error = GetLastError();
        }
        if (error != 0 && error != ERROR_OPERATION_ABORTED && m_removal == Removal::NeverCompletes) {
            // The device went and this driver forgets the read: no completion, ever.
            m_hung = true;
            return;
        }
        m_error = error;
        m_count = got;
        if (error == 0) std::memcpy(buf, m_own, got);
        m_done = true;
        SetEvent(callerOv->hEvent);
    }

    Removal m_removal;
    CHandle m_cancel;
    std::thread m_thread;
    DWORD m_totalMs = 0;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_hung{false};
    DWORD m_error = 0;
    DWORD m_count = 0;
    char m_own[0xFFFF];
};

// Holds up the end of the thread it was made on, as the system does for a thread whose read
// the driver never gives back.
struct ThreadEndHoldUp {
    ~ThreadEndHoldUp()
    {
        started = true;
        Sleep(1500);
        ended = true;
    }
    static std::atomic<bool> started;
    static std::atomic<bool> ended;
};
std::atomic<bool> ThreadEndHoldUp::started{false};
std::atomic<bool> ThreadEndHoldUp::ended{false};

// A read that ignores the cancel and the close.
class DeafPort : public ForwardingDevice {
public:
    bool Read(void*, unsigned, OVERLAPPED* ov, unsigned*) override
    {
        static thread_local ThreadEndHoldUp holdUp;
        (void)holdUp;
        ResetEvent(ov->hEvent);
        return false;
    }
    bool GetOverlappedResult(OVERLAPPED*, unsigned*, bool) override { return false; }
    void CancelIo() override {}
};

// Opens, works for runsMs of the clock without a byte, then fails every read, as a driver in a
// bad state or a redirected port does. Notes when it was opened.
class FailingPort : public ForwardingDevice {
public:
    FailingPort(std::shared_ptr<FakeClock> clock, DWORD runsMs) : m_clock(std::move(clock)), m_runsMs(runsMs) {}
    void Open(int nPort, unsigned dwBaud, Parity parity, unsigned char dataBits, StopBits stopBits, bool overlapped,
              FlowControl flow) override
    {
        ForwardingDevice::Open(nPort, dwBaud, parity, dataBits, stopBits, overlapped, flow);
        std::lock_guard<std::mutex> guard(mutex);
        opens.push_back(m_clock->Tick());
    }
    bool Read(void*, unsigned, OVERLAPPED*, unsigned*) override
    {
        m_clock->Advance(m_runsMs);
        ThrowSerialException(ERROR_GEN_FAILURE);
    }
    static std::vector<DWORD> Opens()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return opens;
    }
    static std::mutex mutex;
    static std::vector<DWORD> opens;

private:
    std::shared_ptr<FakeClock> m_clock;
    DWORD m_runsMs;
};
std::mutex FailingPort::mutex;
std::vector<DWORD> FailingPort::opens;

// A driver that completes every read at once with nothing, as some do.
class EmptyReadsPort : public ForwardingDevice {
public:
    bool Read(void*, unsigned, OVERLAPPED*, unsigned* pBytesRead) override
    {
        ++reads;
        if (pBytesRead) *pBytesRead = 0;
        return true;
    }
    static std::atomic<long> reads;
};
std::atomic<long> EmptyReadsPort::reads{0};

class CaptureDriverTest : public CaptureTest {
protected:
    template <typename Port, typename... Args>
    void Use(Args... args)
    {
        worker.SetPortFactory([=] { return std::unique_ptr<ISerialDevice>(new Port(args...)); });
    }
};

} // namespace

TEST_F(CaptureDriverTest, ATerminalPacingItsBytesLosesNothingAtStop)
{
    Use<WindowsDriverPort>();
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // One byte every 5 ms: slower than the line, yet never the pause that ends a read.
    const std::string data = EveryByteValue(400, 3);
    std::atomic<size_t> sentBeforeStop{0};
    std::atomic<bool> stopped{false};
    std::thread terminal([&] {
        for (size_t i = 0; i < data.size(); ++i) {
            if (!peer.Write(&data[i], 1)) return;
            if (!stopped) sentBeforeStop = i + 1;
            Sleep(5);
        }
    });
    Sleep(1000);
    stopped = true;
    worker.Stop();
    const size_t before = sentBeforeStop;
    terminal.join();
    std::string got = FileBytes();
    EXPECT_EQ(data.compare(0, got.size(), got), 0) << PrefixMismatch(data, got);
    EXPECT_GE(got.size(), before) << "bytes that reached the port before Stop were lost";
}

TEST_F(CaptureDriverTest, ReadsThatDidNotSucceedNeverReachTheFile)
{
    peer.Close();
    SetUpPair(2);
    PlugGuard replug(pair);
    Use<WindowsDriverPort>();
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // The unplug fails the pending read; a faulty capture would write its stale count.
    ASSERT_TRUE(peer.Write("first receipt\r\n"));
    ASSERT_TRUE(WaitForFileSize(15, 5000));
    peer.Close();
    ASSERT_TRUE(testenv::Unplug(pair));
    ASSERT_TRUE(WaitForState(CaptureState::WaitingForPort));
    ASSERT_TRUE(testenv::Plug(pair));
    ASSERT_TRUE(WaitForState(CaptureState::Capturing, 5000));
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("second receipt\r\n"));
    ASSERT_TRUE(WaitForFileSize(31, 5000));
    Sleep(100);
    worker.Stop();
    EXPECT_EQ(FileBytes(), "first receipt\r\nsecond receipt\r\n");
}

TEST_F(CaptureDriverTest, AReadThatNeverCompletesAfterAnUnplugStillShowsTheOutage)
{
    peer.Close();
    SetUpPair(2);
    PlugGuard replug(pair);
    Use<WindowsDriverPort>(WindowsDriverPort::Removal::NeverCompletes);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    peer.Close();
    ASSERT_TRUE(testenv::Unplug(pair));
    EXPECT_TRUE(WaitForState(CaptureState::WaitingForPort, 2000)) << "the capture still claims a dead port";
}

TEST_F(CaptureDriverTest, StopIsBoundedWhenTheReadIgnoresCancelAndCloseAndHoldsUpTheThread)
{
    Use<DeafPort>();
    Start();
    ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    Sleep(100);
    DWORD start = GetTickCount();
    worker.Stop();
    DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 1800u);
    EXPECT_EQ(worker.GetStatus().state, CaptureState::Ended);
    // The thread was still held up when Stop returned: Stop did not wait for its exit.
    EXPECT_TRUE(PumpUntil([] { return ThreadEndHoldUp::started.load(); }, 1000));
    EXPECT_FALSE(ThreadEndHoldUp::ended);
    // The held-up exit holds the loader's lock, and with it every new thread of the process.
    PumpUntil([] { return ThreadEndHoldUp::ended.load(); }, 3000);
}

TEST_F(CaptureDriverTest, APortThatKeepsFailingBacksOffToHalfAMinuteAndACleanMinuteIsANewOutage)
{
    struct Case {
        DWORD runsMs;                // how long each open lasts before its reads fail
        std::vector<DWORD> between;  // from one open to the next
        size_t toldAtLeast, toldAtMost;
    };
    const Case cases[] = {
        // Fails at once: told once, then each wait twice the last, up to 30 s.
        {0, {1000, 2000, 4000, 8000, 16000, 30000, 30000}, 1, 1},
        // Within a minute of opening: still the same outage, waits doubling.
        {59000, {60000, 61000, 63000}, 1, 1},
        // After a clean minute: a new outage each time, told again and tried after a second
        // (the last open may not have failed yet at Stop).
        {61000, {62000, 62000, 62000}, 3, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runsMs);
        told.clear();
        FailingPort::opens.clear();
        auto clock = std::make_shared<FakeClock>(2024, 5, 6, 10, 0);
        worker.SetClock(clock);
        Use<FailingPort>(clock, c.runsMs);
        Start();
        ASSERT_TRUE(PumpUntil([&] { return FailingPort::Opens().size() > c.between.size(); }, 20000));
        worker.Stop();
        std::vector<DWORD> opens = FailingPort::Opens();
        for (size_t i = 0; i < c.between.size(); ++i) EXPECT_EQ(opens[i + 1] - opens[i], c.between[i]) << i;
        EXPECT_GE(Told().size(), c.toldAtLeast);
        EXPECT_LE(Told().size(), c.toldAtMost);
    }
    worker.SetClock(nullptr);
}

TEST_F(CaptureDriverTest, ReadsThatCompleteEmptyAtOnceDoNotSpin)
{
    EmptyReadsPort::reads = 0;
    Use<EmptyReadsPort>();
    Start();
    ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    long before = EmptyReadsPort::reads;
    Sleep(500);
    long during = EmptyReadsPort::reads - before;
    worker.Stop();
    // One read per read interval at most (about 50); a loop without the pause makes thousands.
    EXPECT_GT(during, 0);
    EXPECT_LT(during, 150);
}
