#include "support/TestEnv.h"

#include "platform/Handle.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testenv {

namespace {

std::string EnvVar(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string ResultFile(const PortPair& pair)
{
    return WindowsPath(EnvVar("COLLECTOR_TESTENV") + "/ports/pair" + std::to_string(pair.index) + ".result");
}

bool PairCtl(const PortPair& pair, const char* action)
{
    std::string result = ResultFile(pair);
    DeleteFileA(result.c_str());
    std::string cmd = "'" + EnvVar("COLLECTOR_PAIRCTL") + "' " + action + " " + std::to_string(pair.index);
    // RunShell returns once the script has ended; its word in the result file is the answer.
    if (!RunShell(cmd)) return false;
    return ReadFileBytes(result).rfind("ok", 0) == 0;
}

} // namespace

bool Available()
{
    return !EnvVar("COLLECTOR_TESTENV").empty() && !EnvVar("COLLECTOR_TEST_PAIRS").empty() &&
           !EnvVar("COLLECTOR_PAIRCTL").empty();
}

std::vector<PortPair> AllPairs()
{
    std::vector<PortPair> pairs;
    std::istringstream in(EnvVar("COLLECTOR_TEST_PAIRS"));
    std::string item;
    int k = 0;
    while (in >> item) {
        size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        PortPair p;
        p.index = ++k;
        p.port = std::atoi(item.substr(0, colon).c_str());
        p.peer = std::atoi(item.substr(colon + 1).c_str());
        pairs.push_back(p);
    }
    return pairs;
}

bool GetPair(int k, PortPair& pair)
{
    std::vector<PortPair> pairs = AllPairs();
    if (k < 1 || static_cast<size_t>(k) > pairs.size()) return false;
    pair = pairs[static_cast<size_t>(k - 1)];
    return true;
}

std::string WindowsPath(const std::string& unixPath)
{
    std::string out = "Z:";
    for (char c : unixPath) out += (c == '/') ? '\\' : c;
    return out;
}

std::string BuiltProgramPath(std::string path)
{
    if (!path.empty() && path[0] == '/') return WindowsPath(path);
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string ScratchDir()
{
    static std::string dir;
    if (dir.empty()) {
        char pid[32];
        std::snprintf(pid, sizeof pid, "%lu", GetCurrentProcessId());
        std::string base = Available() ? WindowsPath(EnvVar("COLLECTOR_TESTENV")) : std::string(".");
        dir = base + "\\scratch-" + pid;
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    return dir;
}

bool RunShell(const std::string& command, DWORD timeoutMs)
{
    // Wine starts a Linux program but hands back no process handle to wait on (hProcess is
    // null, the other fields of PROCESS_INFORMATION are junk: never close them), so the
    // command leaves its exit status in a file and we poll for that.
    static LONG calls = 0;
    std::string dir = Available() ? EnvVar("COLLECTOR_TESTENV") : std::string("/tmp");
    std::string status = dir + "/shell-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(InterlockedIncrement(&calls)) + ".status";
    std::string statusPath = WindowsPath(status);
    DeleteFileA(statusPath.c_str());
    std::string line = "/bin/sh -c \"(" + command + "); echo $? >'" + status + "'\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    // The file appears when the shell opens it, before the status is written.
    std::string text;
    bool finished = WaitFor([&] { return (text = ReadFileBytes(statusPath)).find('\n') != std::string::npos; },
                            timeoutMs);
    DeleteFileA(statusPath.c_str());
    return finished && std::atoi(text.c_str()) == 0;
}

bool RunProgram(const std::string& commandLine, std::string& output, DWORD& exitCode, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return false;
    CHandle reader(readRaw);
    CHandle writer(writeRaw);
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writer;
    si.hStdError = writer;
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
    CHandle process(pi.hProcess);
    CHandle thread(pi.hThread);
    // Only the child holds the write end now: the read ends when the child does.
    writer.Close();
    output.clear();
    // Polled, never a blocking read: a child that hangs must not hang the test.
    auto drain = [&] {
        char buffer[4096];
        DWORD available = 0;
        DWORD n = 0;
        while (PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(reader, buffer, sizeof buffer, &n, nullptr) && n > 0)
            output.append(buffer, n);
    };
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
        drain();
        if (GetTickCount() - start >= timeoutMs) {
            TerminateProcess(process, 1);
            return false;
        }
    }
    drain();
    return GetExitCodeProcess(process, &exitCode) != FALSE;
}

bool Unplug(const PortPair& pair)
{
    return PairCtl(pair, "unplug");
}

bool Plug(const PortPair& pair)
{
    return PairCtl(pair, "plug");
}

bool PeerPort::Open(int port)
{
    Close();
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    m_h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_h == INVALID_HANDLE_VALUE) return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(m_h, &dcb)) {
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        SetCommState(m_h, &dcb);
    }
    // Reads return after a 50 ms gap, or at the total limit.
    COMMTIMEOUTS to = {};
    to.ReadIntervalTimeout = 50;
    to.ReadTotalTimeoutConstant = 200;
    SetCommTimeouts(m_h, &to);
    return true;
}

void PeerPort::Close()
{
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
}

bool PeerPort::Write(const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(m_h, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return true;
}

std::string PeerPort::Read(size_t size, DWORD timeoutMs)
{
    std::string out;
    DWORD start = GetTickCount();
    std::vector<char> buf(65536);
    while (out.size() < size && GetTickCount() - start < timeoutMs) {
        DWORD want = static_cast<DWORD>((buf.size() < size - out.size() ? buf.size() : size - out.size()));
        DWORD got = 0;
        if (!ReadFile(m_h, buf.data(), want, &got, nullptr)) break;
        out.append(buf.data(), got);
    }
    return out;
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (pred()) return true;
        if (GetTickCount() - start >= timeoutMs) return pred();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

std::string ReadFileBytes(const std::string& path)
{
    CHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
    if (!f.IsValid()) return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace testenv
