#pragma once
// What the benchmark programs share: time, files, polling, shell commands on the Linux side,
// percentiles, and one line per figure beside its target.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Handle.h"

namespace bench {


inline std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

inline std::string WinPath(const std::string& unixPath)
{
    std::string out = "Z:";
    for (char c : unixPath) out += c == '/' ? '\\' : c;
    return out;
}

inline double Now()
{
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

inline long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return -1;
    return (static_cast<long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

inline std::string ReadAll(const std::string& path)
{
    CHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr));
    std::string out;
    if (!f.IsValid()) return out;
    std::vector<char> buf(1 << 20);
    DWORD got = 0;
    while (ReadFile(f, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0) out.append(buf.data(), got);
    return out;
}

// Polls every millisecond: a busy poll would load the wineserver that serves the capture.
template <typename Pred>
bool Poll(Pred pred, double timeoutS)
{
    double end = Now() + timeoutS;
    while (!pred()) {
        if (Now() > end) return false;
        Sleep(1);
    }
    return true;
}

// A Windows program started with a command line; waited for and closed by its owner.
class Child {
public:
    explicit Child(std::string commandLine)
    {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            m_process.Attach(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    ~Child()
    {
        // Never leave a simulator behind, blocked on a line nobody reads.
        if (Started() && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 5000);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool Started() const { return m_process.IsValid(); }
    DWORD Wait(DWORD ms)
    {
        if (!Started() || WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0) return 0xFFFFFFFF;
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        return code;
    }

private:
    CHandle m_process;
};

// Runs a Linux shell command; Wine gives no handle to wait on, so it leaves a flag file.
inline bool Shell(const std::string& command, const std::string& dir, double timeoutS)
{
    static int n = 0;
    // Named for this process and cleared first: each benchmark program counts from 1 in the same
    // folder, and a flag an earlier program left would end the wait before the command ran.
    std::string flag = dir + "/shell" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n) + ".done";
    DeleteFileA(WinPath(flag).c_str());
    std::string line = "/bin/sh -c \"(" + command + "); echo $? > '" + flag + "'\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    return Poll([&] { return FileSize(WinPath(flag)) > 0; }, timeoutS);
}

inline void StartShell(const std::string& command)
{
    std::string line = "/bin/sh -c \"" + command + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
}

inline unsigned CountHandles()
{
    unsigned n = 0;
    for (ULONG_PTR v = 4; v < 0x20000; v += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
    }
    return n;
}

inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline void Line(const char* what, const std::string& value, const char* target, bool met)
{
    std::printf("  %-44s %-26s target %-22s %s\n", what, value.c_str(), target, met ? "met" : "NOT MET");
    std::fflush(stdout);
}

inline std::string Fmt(const char* format, double a, double b = 0, double c = 0)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// CPU time of the Wine processes whose command line matches pattern, all threads, in nanoseconds
// from /proc/PID/task/*/schedstat; -1 when it cannot be read. `timeout` is not Wine.
inline long long ProcessNanoseconds(const std::string& pattern, const std::string& dir)
{
    std::string out = dir + "/self.ns";
    DeleteFileA(WinPath(out).c_str());
    std::string script = "for p in $(pgrep -f '" + pattern + "'); do case $(readlink /proc/$p/exe) in *wine*) "
                         "cat /proc/$p/task/*/schedstat;; esac; done | awk '{s+=$1} END {printf \\\"%.0f\\\", s}' > '" +
                         out + "'";
    if (!Shell(script, dir, 10)) return -1;
    std::string text = ReadAll(WinPath(out));
    return text.empty() ? -1 : std::atoll(text.c_str());
}

// The terminal's end of a pair, with a write time-out: never hang on a line nobody reads.
inline HANDLE OpenPeer(int port)
{
    std::string name = "\\\\.\\COM" + std::to_string(port);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS to = {};
    to.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(h, &to);
    return h;
}

} // namespace bench
