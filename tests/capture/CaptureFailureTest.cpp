// What the user is told when capture cannot start or cannot go on, what is kept, and how
// the capture waits for a port that is missing or goes away.
#include "CaptureTestSupport.h"
#include "Messages.h"
#include "support/RecordingEventLog.h"

#include <cstdlib>

using namespace capturetest;

namespace {

const char kOpenPortFailed[] = "Failed to open serial port.  Please check your settings and/or hardware "
                               "configuration before attempting this operation again.";
const char kOpenFileFailed[] = "Couldn't open input file.  Please check to verify you have a valid input file "
                               "before trying this operation again.";

class CaptureFailureTest : public CaptureTest {
protected:
    // The one message given, which must carry this caption.
    CaptureMessage OnlyMessage(const char* caption)
    {
        std::vector<CaptureMessage> all = Told();
        EXPECT_EQ(all.size(), 1u);
        if (all.empty()) return CaptureMessage{};
        EXPECT_STREQ(all[0].caption, caption);
        return all[0];
    }
    // The part of a failure message that gives the system's text.
    static std::string Reason(const CString& text)
    {
        std::string s = text.GetString();
        size_t gap = s.rfind("\n\n");
        return gap == std::string::npos ? std::string() : s.substr(gap + 2);
    }
    static bool StartsWith(const CString& text, const char* prefix)
    {
        return std::string(text.GetString()).rfind(prefix, 0) == 0;
    }
    void ExpectEnded(CaptureEnd end)
    {
        EXPECT_TRUE(WaitForState(CaptureState::Ended));
        EXPECT_EQ(static_cast<int>(worker.GetStatus().end), static_cast<int>(end));
    }
};

} // namespace

TEST_F(CaptureFailureTest, SettingsNoPortTakesOrTheDriverRefusesEndTheCaptureAndSaySo)
{
    struct Case {
        int port;
        unsigned baud;
        unsigned char dataBits;
        int parity;
        int stopBits;
        const char* named; // in the message; null: the driver's refusal
        CaptureEnd end;
    };
    const Case cases[] = {
        {0, 9600, 8, NoParity, OneStopBit, "Comm Port", CaptureEnd::SettingsInvalid},
        {4097, 9600, 8, NoParity, OneStopBit, "Comm Port", CaptureEnd::SettingsInvalid},
        {pair.port, 0, 8, NoParity, OneStopBit, "Baud Rate", CaptureEnd::SettingsInvalid},
        {pair.port, 0xFFFFFFFF, 8, NoParity, OneStopBit, "Baud Rate", CaptureEnd::SettingsInvalid},
        {pair.port, 9600, 0, NoParity, OneStopBit, "Data Bits", CaptureEnd::SettingsInvalid},
        {pair.port, 9600, 9, NoParity, OneStopBit, "Data Bits", CaptureEnd::SettingsInvalid},
        {pair.port, 9600, 8, 9, OneStopBit, "Parity", CaptureEnd::SettingsInvalid},
        {pair.port, 9600, 8, -1, OneStopBit, "Parity", CaptureEnd::SettingsInvalid},
        {pair.port, 9600, 8, NoParity, 7, "Stop Bits", CaptureEnd::SettingsInvalid},
        // A pty refuses 6 data bits with ERROR_INVALID_PARAMETER, as drivers refuse what
        // their hardware cannot do.
        {pair.port, 9600, 6, NoParity, OneStopBit, nullptr, CaptureEnd::SettingsRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named ? c.named : "driver");
        told.clear();
        worker.Start(LineRequest(path, c.port, c.baud, c.dataBits, c.parity, c.stopBits));
        ExpectEnded(c.end);
        CaptureMessage message = OnlyMessage("Serial Port");
        // Nothing was captured, so nothing "stopped".
        EXPECT_FALSE(StartsWith(message.text, "Capture stopped")) << message.text.GetString();
        if (c.named)
            EXPECT_NE(std::string(message.text.GetString()).find(c.named), std::string::npos) << message.text.GetString();
        else
            EXPECT_EQ(Reason(message.text), SystemText(ERROR_INVALID_PARAMETER));
        worker.Stop();
        EXPECT_FALSE(testenv::FileExists(path));
    }
}

TEST_F(CaptureFailureTest, FileInAMissingDirectorySaysSoAndEnds)
{
    std::string missing = testenv::ScratchDir() + "\\no such directory\\capture.txt";
    Start(missing);
    ExpectEnded(CaptureEnd::FileNotCreated);
    EXPECT_STREQ(OnlyMessage("Input File").text, kOpenFileFailed);
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
        told.clear();
        Start(device);
        ASSERT_TRUE(WaitForState(CaptureState::Ended));
        worker.Stop();
        EXPECT_STREQ(OnlyMessage("Input File").text, kOpenFileFailed);
    }
    EXPECT_EQ(listener.Read(1, 300), "") << "something was written to the device";
    // What waited on the device is still there: nothing read it.
    testenv::PeerPort device;
    ASSERT_TRUE(device.Open(other.port));
    EXPECT_EQ(device.Read(5, 2000), "probe");
}

TEST_F(CaptureFailureTest, APortMissingAtRunIsWaitedForAndCapturedFromWhenItAppears)
{
    peer.Close();
    SetUpPair(2);
    PlugGuard replug(pair);
    peer.Close();
    ASSERT_TRUE(testenv::Unplug(pair));

    Start();
    ASSERT_TRUE(WaitForState(CaptureState::WaitingForPort));
    EXPECT_STREQ(OnlyMessage("Serial Port").text, kOpenPortFailed);
    // Three seconds of retries: no file yet, and no second message.
    Sleep(3000);
    EXPECT_FALSE(testenv::FileExists(path));
    EXPECT_EQ(Told().size(), 1u);

    // A receipt sent the moment the adapter is back, before the capture has opened it, was
    // sent after Run: it is kept.
    ASSERT_TRUE(testenv::Plug(pair));
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("sent at once\r\n"));
    ASSERT_TRUE(WaitUntilCapturing(5000)) << "the capture did not start when the port appeared";
    ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    ASSERT_TRUE(peer.Write("after it appeared"));
    ASSERT_TRUE(WaitForFileSize(31, 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), "sent at once\r\nafter it appeared");
    EXPECT_EQ(Told().size(), 1u);
}

TEST_F(CaptureFailureTest, StopWhileWaitingForAPortEndsAtOnce)
{
    worker.Start(LineRequest(path, 99));
    ASSERT_TRUE(WaitForState(CaptureState::WaitingForPort));
    Sleep(200);
    DWORD start = GetTickCount();
    worker.Stop();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_FALSE(testenv::FileExists(path));
}

TEST_F(CaptureFailureTest, ThreeUnplugsDuringOneCaptureLoseNothingThatReachedThePort)
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
    testenv::RecordingEventLog log;
    Start();
    ASSERT_TRUE(WaitUntilCapturing());
    std::string sent;
    for (int outage = 0; outage < 3; ++outage) {
        SCOPED_TRACE(outage);
        std::string piece = "receipt " + std::to_string(outage) + " before the unplug\r\n";
        ASSERT_TRUE(peer.Write(piece));
        sent += piece;
        ASSERT_TRUE(WaitForFileSize(static_cast<long long>(sent.size()), 5000));
        peer.Close();
        ASSERT_TRUE(testenv::Unplug(pair));
        ASSERT_TRUE(WaitForState(CaptureState::WaitingForPort));
        ASSERT_TRUE(WaitForMessages(1));
        ASSERT_TRUE(testenv::Plug(pair));
        // Back within a minute, gone again: the same outage; the port brought bytes, so it is
        // tried again every second.
        ASSERT_TRUE(WaitForState(CaptureState::Capturing, 3000)) << "the capture did not resume";
        ASSERT_TRUE(peer.Open(pair.peer));
    }
    ASSERT_TRUE(peer.Write("after the last replug"));
    sent += "after the last replug";
    ASSERT_TRUE(WaitForFileSize(static_cast<long long>(sent.size()), 5000));
    worker.Stop();
    EXPECT_EQ(FileBytes(), sent);

    // One notice for the outage: the port stopped, capture goes on, nothing is lost, and why.
    ASSERT_EQ(Told().size(), 1u);
    for (const CaptureMessage& m : Told()) {
        EXPECT_STREQ(m.caption, "Serial Port");
        std::string text = m.text.GetString();
        EXPECT_NE(text.find("stopped responding"), std::string::npos) << text;
        EXPECT_NE(text.find("nothing received so far is lost"), std::string::npos) << text;
        // A pending read fails with ERROR_BROKEN_PIPE; calls on the gone device with ERROR_NOT_READY.
        std::string reason = Reason(m.text);
        EXPECT_TRUE(reason == SystemText(ERROR_BROKEN_PIPE) || reason == SystemText(ERROR_NOT_READY)) << text;
    }
    // The log has what happened while nobody watched: one outage, and the port back.
    std::vector<DWORD> ids;
    for (const testenv::RecordedEvent& e : log.Events()) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<DWORD>{MSG_CAPTURE_STARTED, MSG_PORT_LOST, MSG_PORT_BACK, MSG_CAPTURE_ENDED}));
    if (ids.size() == 4) {
        EXPECT_EQ(log.Events()[1].strings, (std::vector<std::string>{"COM" + std::to_string(pair.port), Reason(Told()[0].text), ""}));
        EXPECT_EQ(log.Events()[3].strings[2], std::to_string(sent.size()));
    }
    // Closed ports, abandoned reads and the thread: nothing is left behind. The peer is
    // open again, as it was before the capture.
    EXPECT_EQ(CountHandles(), handlesBefore + 6 * shellCost);
}

// Fills what is left of the disk; the file is removed with the object.
class DiskFiller {
public:
    explicit DiskFiller(const std::string& path) : m_path(path)
    {
        CHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const std::string block(4096, 'x');
        DWORD written = 1;
        while (file.IsValid() && written > 0)
            if (!WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr)) break;
        for (written = 1; file.IsValid() && written > 0;)
            if (!WriteFile(file, block.data(), 1, &written, nullptr)) break;
    }
    ~DiskFiller() { Free(); }
    void Free() { DeleteFileA(m_path.c_str()); }

private:
    std::string m_path;
};

TEST_F(CaptureFailureTest, AFullDiskIsRiddenOutInMemoryUntilItsBound)
{
    const char* drive = std::getenv("COLLECTOR_TINY_DRIVE");
    if (!drive || !*drive) GTEST_SKIP() << "the test environment could not mount a tiny disk (needs root for mount)";
    const std::string file = std::string(drive) + "\\capture.txt";
    const std::string filler = std::string(drive) + "\\filler";
    struct Case {
        size_t bound;
        bool freed; // space is freed while the capture waits
        CaptureEnd end;
    };
    const Case cases[] = {{CCaptureWorker::kDefaultMemoryBound, true, CaptureEnd::None},
                          {4096, false, CaptureEnd::FileNotWritten}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bound);
        told.clear();
        DeleteFileA(file.c_str());
        memoryBound = c.bound;
        Start(file);
        ASSERT_TRUE(PumpUntil([&] { return FileSize(file) == 0; }, 5000));
        DiskFiller full(filler);
        std::string sent;
        for (int i = 0; i < 4; ++i) {
            std::string piece = EveryByteValue(3000, 7 + i);
            ASSERT_TRUE(peer.Write(piece));
            sent += piece;
            PumpFor(300);
        }
        if (!c.freed) {
            ExpectEnded(c.end);
            CaptureMessage last = Told().back();
            EXPECT_STREQ(last.text.GetString(),
                         ("Capture stopped: the capture file could not be written.\n\n" + SystemText(ERROR_DISK_FULL)).c_str());
            worker.Stop();
            continue;
        }
        // Told once, with the system's reason; the capture goes on.
        ASSERT_TRUE(WaitForState(CaptureState::WaitingForFile));
        CaptureMessage message = OnlyMessage("Input File");
        EXPECT_FALSE(StartsWith(message.text, "Capture stopped")) << message.text.GetString();
        EXPECT_EQ(Reason(message.text), SystemText(ERROR_DISK_FULL));
        full.Free();
        ASSERT_TRUE(WaitForState(CaptureState::Capturing, 8000)) << "the file was not written again";
        ASSERT_TRUE(peer.Write("after the disk had room"));
        sent += "after the disk had room";
        PumpUntil([&] { return FileSize(file) >= static_cast<long long>(sent.size()); }, 5000);
        worker.Stop();
        std::string got = testenv::ReadFileBytes(file);
        EXPECT_TRUE(got == sent) << PrefixMismatch(sent, got);
        EXPECT_EQ(static_cast<int>(worker.GetStatus().end), static_cast<int>(c.end));
    }
    DeleteFileA(file.c_str());
}
