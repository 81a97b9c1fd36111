#pragma once
// Helpers shared by the capture tests: a worker on a virtual pair with its peer end open,
// message pumping while waiting, and a progress bar that records what it is sent.
#include "capture/CaptureClock.h"
#include "capture/CaptureWorker.h"
#include "platform/Handle.h"
#include "serial/SerialPort.h"
#include "support/TestEnv.h"

#include <commctrl.h>

#include <atomic>
#include <string>
#include <vector>

namespace capturetest {

// A device over the real port, every call passed on: stand-ins for drivers change a few.
class ForwardingDevice : public ISerialDevice {
public:
    void Open(int port, unsigned baud, Parity parity, unsigned char dataBits, StopBits stopBits, bool overlapped,
              FlowControl flow) override
    {
        m_real.Open(port, baud, parity, dataBits, stopBits, overlapped, flow);
    }
    void Close() override { m_real.Close(); }
    bool IsOpen() const override { return m_real.IsOpen(); }
    void Purge(unsigned flags) override { m_real.Purge(flags); }
    void SetTimeouts(COMMTIMEOUTS& timeouts) override { m_real.SetTimeouts(timeouts); }
    void GetStatus(COMSTAT& stat) override { m_real.GetStatus(stat); }
    bool Read(void* buf, unsigned count, OVERLAPPED* ov, unsigned* bytesRead) override
    {
        return m_real.Read(buf, count, ov, bytesRead);
    }
    bool GetOverlappedResult(OVERLAPPED* ov, unsigned* bytes, bool wait) override
    {
        return m_real.GetOverlappedResult(ov, bytes, wait);
    }
    void CancelIo() override { m_real.CancelIo(); }

protected:
    HANDLE Handle() const { return m_real.GetHandle(); }
    CSerialPort m_real;
};

// A clock the test moves on. Every wait of the capture moves it by the whole wait at once (after
// a real millisecond, so that nothing spins); local time is UTC plus two hours.
class FakeClock : public ICaptureClock {
public:
    static const unsigned long long kBias = 2 * 60 * kFileTimeMinute;

    // Starts at this local time.
    FakeClock(WORD year, WORD month, WORD day, WORD hour, WORD minute) { SetLocal(year, month, day, hour, minute); }
    void SetLocal(WORD year, WORD month, WORD day, WORD hour, WORD minute)
    {
        SYSTEMTIME t = {year, month, 0, day, hour, minute, 0, 0};
        FILETIME f;
        SystemTimeToFileTime(&t, &f);
        m_utc = ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) - kBias;
    }
    void Advance(unsigned long long ms) { m_utc += ms * kFileTimeMs; }
    void AdvanceMinutes(unsigned minutes) { m_utc += minutes * kFileTimeMinute; }
    // How often the capture has asked for the time: a test waits for it to look again.
    long Looks() const { return m_looks; }

    DWORD Tick() override { return static_cast<DWORD>(m_utc / kFileTimeMs); }
    unsigned long long UtcNow() override
    {
        ++m_looks;
        return m_utc;
    }
    unsigned long long LocalNow() override { return m_utc + kBias; }
    bool Wait(HANDLE stop, DWORD ms) override
    {
        if (WaitForSingleObject(stop, 1) != WAIT_TIMEOUT) return true;
        Advance(ms);
        return false;
    }

private:
    std::atomic<unsigned long long> m_utc{0};
    std::atomic<long> m_looks{0};
};

// A capture of port into path with these line settings, asked by this process.
inline CaptureRequest LineRequest(const std::string& path, int port, unsigned baud = 9600, unsigned char dataBits = 8,
                                  int parity = NoParity, int stopBits = OneStopBit)
{
    CaptureRequest request;
    request.line = {port, baud, dataBits, parity, stopBits};
    request.file = CString(path.c_str());
    request.who = ThisProcess("a window");
    return request;
}

using testenv::PumpUntil;

inline void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

inline long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// size bytes in which every run of 256 holds every byte value, in a scrambled but
// repeatable order.
inline std::string EveryByteValue(size_t size, unsigned seed = 1)
{
    std::string data(size, '\0');
    unsigned x = seed;
    unsigned key = 0;
    for (size_t i = 0; i < size; ++i) {
        if ((i & 0xFF) == 0) {
            x = x * 1103515245u + 12345u;
            key = (x >> 16) & 0xFF;
        }
        data[i] = static_cast<char>((i & 0xFF) ^ key); // a permutation of 0..255 per run
    }
    return data;
}

// Where got stops being a prefix of sent, for failure messages.
inline std::string PrefixMismatch(const std::string& sent, const std::string& got)
{
    size_t i = 0;
    while (i < got.size() && i < sent.size() && got[i] == sent[i]) ++i;
    if (i == got.size()) return "got is a prefix of sent";
    return "got " + std::to_string(got.size()) + " bytes of " + std::to_string(sent.size()) +
           ", first difference at offset " + std::to_string(i);
}

// True when the thread with this id has ended (or is gone) within timeoutMs.
inline bool ThreadEnded(DWORD threadId, DWORD timeoutMs)
{
    CHandle h(OpenThread(SYNCHRONIZE, FALSE, threadId));
    if (!h.IsValid()) return true;
    return WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
}

// The handles this process holds, counted by asking the system about every handle value in
// the low range (Wine's GetProcessHandleCount does not count them).
inline unsigned CountHandles()
{
    unsigned n = 0;
    for (ULONG_PTR value = 4; value < 0x20000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++n;
    }
    return n;
}

// The system's text for an error code, as a user would read it.
inline std::string SystemText(DWORD error)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

using testenv::PlugGuard;

// A worker capturing from pair k into a fresh file of the scratch directory, with the
// test driving the pair's peer end and collecting what the worker tells the user.
class CaptureTest : public ::testing::Test {
protected:
    void SetUpPair(int k)
    {
        ASSERT_TRUE(testenv::GetPair(k, pair));
        // Bytes an earlier test left on the line are not this test's.
        CHandle end(CreateFileA(("\\\\.\\COM" + std::to_string(pair.port)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(end.IsValid()) << "COM" << pair.port;
        PurgeComm(end, PURGE_RXCLEAR | PURGE_TXCLEAR);
        ASSERT_TRUE(peer.Open(pair.peer)) << "COM" << pair.peer;
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = testenv::ScratchDir() + "\\" + info->test_suite_name() + "." + info->name() + ".cap";
        DeleteFileA(path.c_str());
    }
    void SetUp() override
    {
        REQUIRE_TESTENV();
        SetUpPair(1);
    }
    void TearDown() override { worker.Stop(); }

    // The pair's port at 9,600 8N1 into path, or into file when one is given.
    void Start(const std::string& file = std::string())
    {
        CaptureRequest request = LineRequest(file.empty() ? path : file, pair.port);
        request.append = append;
        request.memoryBound = memoryBound;
        worker.Start(request);
    }
    // The capture thread creates the file after the port is open and set up.
    bool WaitUntilCapturing(DWORD timeoutMs = 5000)
    {
        return PumpUntil([&] { return FileSize(path) == 0; }, timeoutMs);
    }
    bool WaitForFileSize(long long size, DWORD timeoutMs)
    {
        return PumpUntil([&] { return FileSize(path) >= size; }, timeoutMs);
    }
    // Every message the worker has given so far.
    const std::vector<CaptureMessage>& Told()
    {
        for (CaptureMessage& m : worker.TakeMessages()) told.push_back(m);
        return told;
    }
    bool WaitForMessages(size_t count, DWORD timeoutMs = 10000)
    {
        return PumpUntil([&] { return Told().size() >= count; }, timeoutMs);
    }
    bool WaitForState(CaptureState state, DWORD timeoutMs = 10000)
    {
        return PumpUntil([&] { return worker.GetStatus().state == state; }, timeoutMs);
    }
    std::string FileBytes() const { return testenv::ReadFileBytes(path); }

    std::vector<CaptureMessage> told;
    // What the next Start asks besides the line.
    bool append = false;
    size_t memoryBound = CaptureRequest::kDefaultMemoryBound;
    testenv::PortPair pair;
    testenv::PeerPort peer;
    std::string path;
    CCaptureWorker worker;
};

} // namespace capturetest
