#pragma once
// What the tests need from the harness (scripts/testenv.sh): the virtual null-modem
// pairs, their peer ends, and unplugging and plugging a pair back.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace testenv {

// True when the harness environment is present (run by make test).
bool Available();

// Skips the current test, with the reason, when the harness is absent.
#define REQUIRE_TESTENV()                                                                   \
    do {                                                                                    \
        if (!::testenv::Available())                                                        \
            GTEST_SKIP() << "needs the Wine test environment of make test (virtual COM pairs)"; \
    } while (0)

struct PortPair {
    int index = 0; // 1-based, as pairctl.sh knows it
    int port = 0;  // the end the product opens
    int peer = 0;  // the end the test drives
};

// Pair k (1-based) of the environment; false when there is no such pair.
bool GetPair(int k, PortPair& pair);
std::vector<PortPair> AllPairs();

// A Linux path of the test environment as Wine sees it (Z: drive).
std::string WindowsPath(const std::string& unixPath);
// A program as CMake named it: a Linux path when cross-built (Wine sees it on drive Z:).
std::string BuiltProgramPath(std::string path);
// Directory for files a test writes (Windows path, exists, emptied on first use per run).
std::string ScratchDir();

// Runs "/bin/sh -c command" on the Linux side and waits for it (bounded). True when it
// ended within timeoutMs with exit status 0.
bool RunShell(const std::string& command, DWORD timeoutMs = 20000);
// Runs a Windows program with its standard output on a pipe, as a script or an agent runs it, and
// waits for it (bounded). False when it could not be started or did not end within timeoutMs.
bool RunProgram(const std::string& commandLine, std::string& output, DWORD& exitCode, DWORD timeoutMs = 20000);
// Kills the pair's socat (an unplugged adapter) / starts it again with the same links.
bool Unplug(const PortPair& pair);
bool Plug(const PortPair& pair);

// The peer end of a pair, driven synchronously from the test.
class PeerPort {
public:
    PeerPort() = default;
    ~PeerPort() { Close(); }
    PeerPort(const PeerPort&) = delete;
    PeerPort& operator=(const PeerPort&) = delete;

    bool Open(int port);
    void Close();
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
    // Writes all of data; false on any failure.
    bool Write(const void* data, size_t size);
    bool Write(const std::string& data) { return Write(data.data(), data.size()); }
    // Reads until size bytes arrived or timeoutMs passed; returns what arrived.
    std::string Read(size_t size, DWORD timeoutMs);

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

// Plugs a pair back when the test leaves, however it leaves.
class PlugGuard {
public:
    explicit PlugGuard(const PortPair& pair) : m_pair(pair) {}
    ~PlugGuard() { Plug(m_pair); }
    PlugGuard(const PlugGuard&) = delete;
    PlugGuard& operator=(const PlugGuard&) = delete;

private:
    PortPair m_pair;
};

// Dispatches this thread's messages until pred() holds or timeoutMs passes (a worker may be
// waiting in a SendMessage to a window of this thread); returns pred()'s last answer.
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs);

// Whole file contents; empty when the file cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
// Polls until pred() holds or timeoutMs passes; returns pred()'s last answer.
template <typename Pred>
bool WaitFor(Pred pred, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount() - start >= timeoutMs) return pred();
        Sleep(5);
    }
}

} // namespace testenv
