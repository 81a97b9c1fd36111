// The life cycle of the capture thread: one at a time, stoppable from the user-interface
// thread only, and nothing left behind.
#include "CaptureTestSupport.h"

using namespace capturetest;

namespace {

// A stand-in thread function for the protocol: it counts its runs and waits for the stop
// event, after trying to stop itself through the worker.
struct ProtocolState {
    CCaptureWorker* worker = nullptr;
    CWinThread* thread = nullptr;
    HANDLE stopEvent = nullptr;
    volatile LONG runs = 0;
    volatile LONG selfStopReturned = 0;
    CWinThread* seenAfterSelfStop = nullptr;
};
ProtocolState g_state;

UINT __cdecl ProtocolThread(LPVOID)
{
    InterlockedIncrement(&g_state.runs);
    // Called on the thread itself this must do nothing, and at once.
    g_state.worker->StopThread(g_state.thread, g_state.stopEvent);
    g_state.seenAfterSelfStop = g_state.thread;
    InterlockedExchange(&g_state.selfStopReturned, 1);
    WaitForSingleObject(g_state.stopEvent, 10000);
    return 0;
}

} // namespace

TEST(CaptureThreadTest, SecondStartThreadWhileRunningCreatesNoSecondThreadAndSelfStopDoesNothing)
{
    CCaptureWorker worker;
    CHandle stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_state = ProtocolState();
    g_state.worker = &worker;
    g_state.stopEvent = stopEvent;

    worker.StartThread(g_state.thread, stopEvent, ProtocolThread, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(g_state.thread, nullptr);
    CWinThread* first = g_state.thread;
    ASSERT_TRUE(PumpUntil([] { return g_state.selfStopReturned != 0; }, 5000));
    EXPECT_EQ(g_state.seenAfterSelfStop, first) << "StopThread on the thread itself disposed of it";

    worker.StartThread(g_state.thread, stopEvent, ProtocolThread, THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(g_state.thread, first);
    Sleep(100);
    EXPECT_EQ(g_state.runs, 1);

    worker.StopThread(g_state.thread, stopEvent);
    EXPECT_EQ(g_state.thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(stopEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the stop event stays set";
}

TEST(CaptureThreadTest, StartAfterTheThreadEndedOnItsOwnStartsAFreshOne)
{
    CCaptureWorker worker;
    CHandle stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_state = ProtocolState();
    g_state.worker = &worker;
    g_state.stopEvent = stopEvent;
    worker.StartThread(g_state.thread, stopEvent, ProtocolThread, THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(PumpUntil([] { return g_state.selfStopReturned != 0; }, 5000));
    // Let it end on its own, as a capture thread does after a failure.
    SetEvent(stopEvent);
    ASSERT_EQ(WaitForSingleObject(g_state.thread->m_hThread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    worker.StartThread(g_state.thread, stopEvent, ProtocolThread, THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(PumpUntil([] { return g_state.runs == 2; }, 5000));
    worker.StopThread(g_state.thread, stopEvent);
    EXPECT_EQ(g_state.thread, nullptr);
}

class CaptureLifeTest : public CaptureTest {};

TEST_F(CaptureLifeTest, SecondStartWhileCapturingKeepsTheOneCapture)
{
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    // A second thread would truncate the file again and compete for the bytes.
    ASSERT_TRUE(peer.Write("kept"));
    ASSERT_TRUE(WaitForFileSize(4, 5000));
    Start();
    Sleep(200);
    ASSERT_TRUE(peer.Write(" whole"));
    ASSERT_TRUE(WaitForFileSize(10, 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), "kept whole");
}

TEST_F(CaptureLifeTest, TwoHundredStartStopCyclesLeaveNoHandleBehind)
{
    // The count must notice a handle at all for the comparison to mean anything.
    unsigned probeBefore = CountHandles();
    {
        CHandle probe(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(CountHandles(), probeBefore + 1);
    }

    // One cycle first, so that the system's own first-use allocations are not counted.
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    worker.Stop();
    unsigned before = CountHandles();
    for (int i = 0; i < 200; ++i) {
        // Every fifth cycle waits until the port and the file are open; the others stop at once.
        bool wait = i % 5 == 0;
        if (wait) DeleteFileA(path.c_str());
        Start();
        if (wait) {
            ASSERT_TRUE(WaitUntilCapturing()) << "cycle " << i;
        }
        worker.Stop();
    }
    EXPECT_EQ(CountHandles(), before);
    EXPECT_TRUE(Told().empty());
}
