// What Windows' serial drivers do that Wine's cannot show, played by a stand-in port over
// a real pair: buffered reads whose bytes reach the caller only on success, and drivers
// that ignore cancels.
#include "CaptureTestSupport.h"

#include <cstring>
#include <memory>

using namespace capturetest;

namespace {

// A buffered driver: the read fills the driver's own buffer, copied to the caller only when
// the read succeeds. A cancelled or failed read reports a count over the caller's untouched
// buffer, which still holds the previous read's bytes.
class BufferedDriverPort : public CSerialPort {
public:
    explicit BufferedDriverPort(bool ignoreCancels) : m_ignoreCancels(ignoreCancels) {}
    using CSerialPort::Read;

    bool Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* pBytesRead) override
    {
        m_caller = buf;
        bool done = CSerialPort::Read(m_own, count, ov, pBytesRead);
        if (done && pBytesRead) std::memcpy(buf, m_own, *pBytesRead);
        return done;
    }
    bool GetOverlappedResult(OVERLAPPED* ov, unsigned* pBytes, bool bWait) override
    {
        try {
            bool done = CSerialPort::GetOverlappedResult(ov, pBytes, bWait);
            if (done && pBytes) std::memcpy(m_caller, m_own, *pBytes);
            return done;
        } catch (CSerialException*) {
            if (pBytes) *pBytes = kStaleCount;
            throw;
        }
    }
    void CancelIo() override
    {
        if (!m_ignoreCancels) CSerialPort::CancelIo();
    }

    static const unsigned kStaleCount = 12;

private:
    bool m_ignoreCancels;
    char m_own[0xFFFF];
    void* m_caller = nullptr;
};

class CaptureDriverTest : public CaptureTest {
protected:
    void UseBufferedDriver(bool ignoreCancels)
    {
        worker.SetPortFactory(
            [ignoreCancels] { return std::unique_ptr<CSerialPort>(new BufferedDriverPort(ignoreCancels)); });
    }
};

} // namespace

TEST_F(CaptureDriverTest, ReadsThatDidNotSucceedNeverReachTheFile)
{
    peer.Close();
    SetUpPair(2);
    PlugGuard replug(pair);
    UseBufferedDriver(false);
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
    // Stop on the quiet line cancels the pending read, which reports a stale count too.
    Sleep(100);
    worker.Stop();
    EXPECT_EQ(FileBytes(), "first receipt\r\nsecond receipt\r\n");
}

TEST_F(CaptureDriverTest, StopEndsWhenTheDriverIgnoresCancels)
{
    UseBufferedDriver(true);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write("kept"));
    ASSERT_TRUE(WaitForFileSize(4, 5000));
    Sleep(100);
    DWORD start = GetTickCount();
    worker.Stop();
    // The cancel is given about a second, then the port is closed under the read.
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(FileBytes(), "kept");
    EXPECT_EQ(worker.GetStatus().state, CaptureState::Ended);
}

namespace {

// A driver that completes every read at once with nothing, as some do.
class EmptyReadsPort : public CSerialPort {
public:
    using CSerialPort::Read;
    bool Read(void*, unsigned, OVERLAPPED*, unsigned* pBytesRead) override
    {
        InterlockedIncrement(&reads);
        if (pBytesRead) *pBytesRead = 0;
        return true;
    }
    static volatile LONG reads;
};
volatile LONG EmptyReadsPort::reads = 0;

} // namespace

TEST_F(CaptureDriverTest, ReadsThatCompleteEmptyAtOnceDoNotSpin)
{
    EmptyReadsPort::reads = 0;
    worker.SetPortFactory([] { return std::unique_ptr<CSerialPort>(new EmptyReadsPort); });
    Start();
    ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    LONG before = EmptyReadsPort::reads;
    Sleep(500);
    LONG during = EmptyReadsPort::reads - before;
    worker.Stop();
    // One read per read interval at most (about 50); a loop without the pause makes thousands.
    EXPECT_GT(during, 0);
    EXPECT_LT(during, 150);
}
