// What the user is told when capture cannot start or cannot go on, and what is kept.
#include "CaptureTestSupport.h"

#include <cstdlib>

using namespace capturetest;

namespace {

const char kOpenPortFailed[] = "Failed to open serial port.  Please check your settings and/or hardware "
                               "configuration before attempting this operation again.";
const char kOpenFileFailed[] = "Couldn't open input file.  Please check to verify you have a valid input file "
                               "before trying this operation again.";

class CaptureFailureTest : public CaptureTest {
protected:
    bool WaitForBox(DWORD timeoutMs = 10000)
    {
        return PumpUntil([&] { return boxes.Count() > 0; }, timeoutMs);
    }
    // The one box shown, which must be an owner-less warning with this caption.
    testenv::RecordedBox OnlyBox(const char* caption)
    {
        std::vector<testenv::RecordedBox> all = boxes.Boxes();
        EXPECT_EQ(all.size(), 1u);
        if (all.empty()) return testenv::RecordedBox{};
        EXPECT_EQ(all[0].owner, nullptr);
        EXPECT_EQ(all[0].caption, caption);
        EXPECT_EQ(all[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
        return all[0];
    }
    // The part of a failure message that gives the system's text.
    static std::string Reason(const std::string& text)
    {
        size_t gap = text.find("\n\n");
        return gap == std::string::npos ? std::string() : text.substr(gap + 2);
    }
};

} // namespace

TEST_F(CaptureFailureTest, MissingPortSaysSoAndCreatesNoFile)
{
    worker.Start(CString(path.c_str()), 99, 9600, 8, NoParity, OneStopBit, nullptr);
    ASSERT_TRUE(WaitForBox());
    testenv::RecordedBox box = OnlyBox("Serial Port");
    EXPECT_EQ(box.text, kOpenPortFailed);
    EXPECT_TRUE(ThreadEnded(box.threadId, 5000));
    EXPECT_FALSE(testenv::FileExists(path));
}

TEST_F(CaptureFailureTest, FileInAMissingDirectorySaysSo)
{
    std::string missing = testenv::ScratchDir() + "\\no such directory\\capture.txt";
    Start(nullptr, missing);
    ASSERT_TRUE(WaitForBox());
    EXPECT_EQ(OnlyBox("Input File").text, kOpenFileFailed);
}

TEST_F(CaptureFailureTest, LineSettingsTheDriverRejectsSayWhy)
{
    // A pty refuses 9 data bits with ERROR_NOT_SUPPORTED.
    worker.Start(CString(path.c_str()), pair.port, 9600, 9, NoParity, OneStopBit, nullptr);
    ASSERT_TRUE(WaitForBox());
    testenv::RecordedBox box = OnlyBox("Serial Port");
    EXPECT_EQ(box.text.rfind("Capture stopped", 0), 0u) << box.text;
    EXPECT_EQ(Reason(box.text), SystemText(ERROR_NOT_SUPPORTED));
}

TEST_F(CaptureFailureTest, DevicePathsAreRefusedAndTheDeviceIsLeftAlone)
{
    // The "capture file" names the far end of pair 2; the test listens on its peer.
    testenv::PortPair other;
    ASSERT_TRUE(testenv::GetPair(2, other));
    testenv::PeerPort listener;
    ASSERT_TRUE(listener.Open(other.peer));
    ASSERT_TRUE(listener.Write("probe"));
    std::string com = "COM" + std::to_string(other.port);
    const char* env = std::getenv("COLLECTOR_TESTENV");
    ASSERT_NE(env, nullptr);
    std::string pty = testenv::WindowsPath(std::string(env) + "/ports/pair" + std::to_string(other.index) + "-a");
    const std::string paths[] = {
        "\\\\.\\" + com, "//./" + com, "\\\\?\\" + com, com, testenv::ScratchDir() + "\\" + com + ".log",
        "NUL",
        // Not a device by name, but the handle is not a disk file.
        pty,
    };
    for (const std::string& device : paths) {
        SCOPED_TRACE(device);
        testenv::RecordingMessageBox local;
        Start(nullptr, device);
        ASSERT_TRUE(PumpUntil([&] { return local.Count() > 0; }, 10000));
        worker.Stop();
        std::vector<testenv::RecordedBox> shown = local.Boxes();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, "Input File");
        EXPECT_EQ(shown[0].text, kOpenFileFailed);
    }
    EXPECT_EQ(listener.Read(1, 300), "") << "something was written to the device";
    // What waited on the device is still there: nothing read it.
    testenv::PeerPort device;
    ASSERT_TRUE(device.Open(other.port));
    EXPECT_EQ(device.Read(5, 2000), "probe");
}

TEST_F(CaptureFailureTest, UnplugSaysWhyKeepsWhatCameBeforeAndStopDisposesOfTheEndedThread)
{
    peer.Close();
    SetUpPair(2);
    PlugGuard replug(pair);
    // What one call of the harness's shell costs in handles, so that the count below
    // measures the capture alone (plugging a plugged pair changes nothing else).
    unsigned shellBefore = CountHandles();
    ASSERT_TRUE(testenv::Plug(pair));
    unsigned shellCost = CountHandles() - shellBefore;
    unsigned handlesBefore = CountHandles();

    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    ASSERT_TRUE(peer.Write("before the unplug"));
    ASSERT_TRUE(WaitForFileSize(17, 5000));
    peer.Close();
    ASSERT_TRUE(testenv::Unplug(pair));
    ASSERT_TRUE(WaitForBox());

    testenv::RecordedBox box = OnlyBox("Serial Port");
    EXPECT_EQ(box.text.rfind("Capture stopped", 0), 0u) << box.text;
    // A pending read fails with ERROR_BROKEN_PIPE; status calls on the gone device with ERROR_NOT_READY.
    std::string reason = Reason(box.text);
    EXPECT_TRUE(reason == SystemText(ERROR_BROKEN_PIPE) || reason == SystemText(ERROR_NOT_READY)) << box.text;
    EXPECT_TRUE(ThreadEnded(box.threadId, 5000));
    EXPECT_EQ(FileBytes(), "before the unplug");

    unsigned handlesBeforeStop = CountHandles();
    DWORD start = GetTickCount();
    worker.Stop();
    EXPECT_LT(GetTickCount() - start, 1000u);
    // Stop releases the ended thread's object; everything else the capture held was released
    // when it ended. The peer port is closed; the unplug went through the shell.
    EXPECT_EQ(CountHandles(), handlesBeforeStop - 1);
    EXPECT_EQ(CountHandles(), handlesBefore - 1 + shellCost);
}

TEST_F(CaptureFailureTest, FullDiskSaysWhyAndEndsTheCapture)
{
    const char* drive = std::getenv("COLLECTOR_TINY_DRIVE");
    if (!drive || !*drive) GTEST_SKIP() << "the test environment could not mount a tiny disk (needs root for mount)";
    std::string file = std::string(drive) + "\\capture.txt";
    DeleteFileA(file.c_str());
    // More than the 64 KiB disk holds, but little enough beyond it that the rest fits in
    // the virtual cable once nobody reads the port: the write here must not block.
    const std::string data = EveryByteValue(80 * 1024, 5);

    Start(nullptr, file);
    ASSERT_TRUE(PumpUntil([&] { return FileSize(file) == 0; }, 5000));
    ASSERT_TRUE(peer.Write(data));
    ASSERT_TRUE(WaitForBox(20000));

    testenv::RecordedBox box = OnlyBox("Input File");
    EXPECT_EQ(box.text.rfind("Capture stopped", 0), 0u) << box.text;
    EXPECT_EQ(Reason(box.text), SystemText(ERROR_DISK_FULL));
    EXPECT_TRUE(ThreadEnded(box.threadId, 5000));
    // What fitted is what was sent.
    std::string kept = testenv::ReadFileBytes(file);
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), data.size());
    EXPECT_TRUE(data.compare(0, kept.size(), kept) == 0);
    worker.Stop();
    DeleteFileA(file.c_str());
}
