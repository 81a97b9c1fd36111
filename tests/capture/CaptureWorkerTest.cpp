// What the capture delivers: every byte, unchanged, promptly, and nothing lost at Stop.
#include "CaptureTestSupport.h"

#include <atomic>
#include <thread>

using namespace capturetest;

namespace {

class CaptureDataTest : public CaptureTest {};

} // namespace

TEST_F(CaptureDataTest, OneMebibyteOfEveryByteValueAtFullSpeedArrivesUnchanged)
{
    const std::string data = EveryByteValue(1 << 20);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write(data));
    EXPECT_TRUE(WaitForFileSize(static_cast<long long>(data.size()), 30000));
    worker.Stop();
    std::string got = FileBytes();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the file differs from what was sent";
    EXPECT_TRUE(Told().empty());
}

TEST_F(CaptureDataTest, ATrickleLikeA9600BaudLineArrivesUnchanged)
{
    // Two seconds at 960 bytes a second, a few bytes at a time.
    const std::string data = EveryByteValue(1920, 7);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    DWORD start = GetTickCount();
    size_t sent = 0;
    while (sent < data.size()) {
        size_t due = (GetTickCount() - start) * 960 / 1000;
        if (due > data.size()) due = data.size();
        if (due > sent) {
            ASSERT_TRUE(peer.Write(data.data() + sent, due - sent));
            sent = due;
        }
        Sleep(2);
    }
    EXPECT_TRUE(WaitForFileSize(static_cast<long long>(data.size()), 5000));
    worker.Stop();
    EXPECT_TRUE(FileBytes() == data) << "the file differs from what was sent";
}

TEST_F(CaptureDataTest, BytesAppearInTheFileWhileCaptureGoesOn)
{
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write("0123456789"));
    // Without read time-outs they would sit in a pending read until 65,535 bytes came.
    EXPECT_TRUE(WaitForFileSize(10, 5000));
    EXPECT_EQ(FileBytes(), "0123456789");
}

TEST_F(CaptureDataTest, EachRunEmptiesTheFileAndHoldsOnlyItsOwnCapture)
{
    {
        CHandle f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(f.IsValid());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f, "an older capture that is much longer", 36, &written, nullptr));
    }
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write("first run"));
    ASSERT_TRUE(WaitForFileSize(9, 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), "first run");

    // Sent while nobody captured: the cable, like an adapter's buffer, keeps it, but it is
    // not the next capture's.
    ASSERT_TRUE(peer.Write("sent between the runs"));
    Sleep(100);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write("second"));
    ASSERT_TRUE(WaitForFileSize(6, 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), "second");

    // A capture that goes on (the service restarting under it) appends, and keeps what the
    // line brought meanwhile.
    ASSERT_TRUE(peer.Write(" meanwhile"));
    Sleep(100);
    append = true;
    Start();
    ASSERT_TRUE(peer.Write(" and on"));
    ASSERT_TRUE(WaitForFileSize(23, 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), "second meanwhile and on");
}

TEST_F(CaptureDataTest, StopRightAfterAWriteKeepsTheBytes)
{
    for (int round = 0; round < 3; ++round) {
        std::string data = "receipt " + std::to_string(round) + "\r\n";
        Start();
        ASSERT_TRUE(WaitUntilCapturing());
        ASSERT_TRUE(peer.Write(data));
        worker.Stop();
        EXPECT_EQ(FileBytes(), data) << "round " << round;
    }
}

TEST_F(CaptureDataTest, StopInTheMiddleOfAStreamKeepsEveryByteThatArrivedBeforeIt)
{
    const std::string data = EveryByteValue(8 << 20, 3);
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // Small writes with short pauses: the line never falls quiet for long enough to
    // complete a read, so at Stop the newest bytes sit inside a pending read.
    std::atomic<size_t> sent{0};
    std::atomic<bool> halt{false};
    std::thread writer([&] {
        while (!halt && sent < data.size()) {
            if (!peer.Write(data.data() + sent, 512)) break;
            sent += 512;
            Sleep(1);
        }
    });
    Sleep(1000);
    size_t before = sent;
    // Time for those bytes to cross the virtual cable before Stop is asked for.
    Sleep(200);
    worker.Stop();
    halt = true;
    writer.join();

    std::string got = FileBytes();
    EXPECT_GT(before, 0u);
    EXPECT_GE(got.size(), before);
    EXPECT_TRUE(data.compare(0, got.size(), got) == 0) << PrefixMismatch(data, got) << ", " << before
                                                        << " sent before Stop";
    EXPECT_TRUE(Told().empty());
}

TEST_F(CaptureDataTest, StopOnAnIdleLineEndsTheThread)
{
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // Let the first read go pending on the quiet line.
    Sleep(100);
    DWORD start = GetTickCount();
    worker.Stop();
    EXPECT_LT(GetTickCount() - start, 3000u);
    // The file is closed: it can be opened without sharing.
    CHandle f(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(f.IsValid()) << "the capture file is still open, error " << GetLastError();
}

TEST_F(CaptureDataTest, EachCompletedReadWithDataCountsOnceAndTheLastByteIsTimed)
{
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    EXPECT_EQ(worker.GetStatus().lastByteAt, 0u);
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    // Five chunks, each followed by a quiet spell that completes the read holding it.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(peer.Write("chunk" + std::to_string(i)));
        PumpFor(100);
    }
    EXPECT_TRUE(WaitForFileSize(30, 5000));
    PumpFor(100);
    const CaptureStatus status = worker.GetStatus();
    worker.Stop();
    EXPECT_EQ(status.reads, 5u);
    EXPECT_EQ(status.bytes, 30u);
    EXPECT_GE(status.lastByteAt, (static_cast<unsigned long long>(before.dwHighDateTime) << 32) | before.dwLowDateTime);
}

TEST_F(CaptureDataTest, ASteadyStreamReachesTheFileAndIsCountedWhileItFlows)
{
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // A byte every millisecond or two for two seconds: never the pause that ends a read.
    const std::string data = EveryByteValue(1500, 9);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (char c : data) {
            if (!peer.Write(&c, 1)) break;
            Sleep(1);
        }
        done = true;
    });
    PumpFor(1200);
    bool stillFlowing = !done;
    long long midway = FileSize(path);
    const unsigned steps = worker.GetStatus().reads;
    writer.join();
    ASSERT_TRUE(stillFlowing) << "the writer was too fast for the check";
    EXPECT_GT(midway, 0);
    EXPECT_GE(steps, 3u);
    EXPECT_TRUE(WaitForFileSize(static_cast<long long>(data.size()), 5000));
    worker.Stop();
    EXPECT_TRUE(FileBytes() == data) << PrefixMismatch(data, FileBytes());
}
