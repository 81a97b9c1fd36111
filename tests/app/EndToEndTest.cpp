// The real program under Wine, a simulated POS terminal on the other end of its port.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "platform/Handle.h"
#include "platform/SingleInstance.h"
#include "res/resource.h"
#include "support/TestEnv.h"

using namespace apptest;

namespace {

const char kDialogCaption[] = "Orvane POS Collector";

// A program built beside this test: build/i686/<relative>.
std::string BuiltProgram(const std::string& relative)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    // .../build/i686/tests/app/app_tests.exe -> .../build/i686
    for (int up = 0; up < 3; ++up) dir = dir.substr(0, dir.find_last_of('\\'));
    return dir + "\\" + relative;
}

// A started process, ended by force only when a test leaves it running.
class Process {
public:
    bool Start(const std::string& commandLine)
    {
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        std::string line = commandLine;
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
        m_process.Attach(pi.hProcess);
        m_id = pi.dwProcessId;
        CloseHandle(pi.hThread);
        return true;
    }
    DWORD Id() const { return m_id; }
    bool WaitExit(DWORD timeoutMs) { return WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode()
    {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(m_process, &code);
        return code;
    }
    ~Process()
    {
        if (m_process.IsValid() && !WaitExit(0)) {
            TerminateProcess(m_process, 99);
            WaitExit(5000);
        }
    }

private:
    CHandle m_process;
    DWORD m_id = 0;
};

HWND CollectorWindow() { return FindWindowA("#32770", kDialogCaption); }

// A top-level dialog window (a message box or the collector's own) of the process with the
// caption, hidden ones too unless visibleOnly; null when there is none.
HWND WindowOf(DWORD processId, const char* caption, bool visibleOnly)
{
    for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", caption); w;
         w = FindWindowExA(nullptr, w, "#32770", caption)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == processId && (!visibleOnly || IsWindowVisible(w))) return w;
    }
    return nullptr;
}

std::string CollectorProgram() { return "\"" + BuiltProgram("POSCollector.exe") + "\""; }

TEST(EndToEnd, TheCollectorCapturesWhatTheTerminalSentAndSavesOnClose)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(2, pair));
    RegistryGuard registry;
    std::string capture = testenv::ScratchDir() + "\\e2e-capture.txt";
    std::string sent = testenv::ScratchDir() + "\\e2e-sent.txt";
    SeedDword("CommPort", static_cast<DWORD>(pair.port));
    SeedDword("BaudRate", 9600);
    SeedDword("DataBits", 264); // only the low byte counts: 8, and 8 is what the close saves
    SeedDword("Parity", 2);
    SeedDword("StopBits", 0);
    SeedString("DataFile", capture.c_str());
    SeedDword("RunAtStartup", 1);

    std::string collectorExe = BuiltProgram("POSCollector.exe");
    std::string possimExe = BuiltProgram("tools\\possim\\possim.exe");
    ASSERT_TRUE(testenv::FileExists(collectorExe)) << collectorExe;
    ASSERT_TRUE(testenv::FileExists(possimExe)) << possimExe;

    Process collector;
    ASSERT_TRUE(collector.Start("\"" + collectorExe + "\""));
    ASSERT_TRUE(testenv::WaitFor([] { return IsWindowVisible(CollectorWindow()) != FALSE; }, 15000));
    HWND window = CollectorWindow();
    // Run at startup: the capture file is there once the port is open.
    ASSERT_TRUE(testenv::WaitFor([&] { return testenv::FileExists(capture); }, 10000));

    Process terminal;
    ASSERT_TRUE(terminal.Start("\"" + possimExe + "\" --port " + std::to_string(pair.peer) +
                               " --baud 9600 --receipts 3 --gap 100 --all-bytes --seed 6 --copy \"" + sent + "\""));
    ASSERT_TRUE(terminal.WaitExit(60000));
    EXPECT_EQ(terminal.ExitCode(), 0u);

    // A second start brings the running collector back from the tray and ends.
    PostMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(testenv::WaitFor([&] { return !IsWindowVisible(window); }, 5000));
    {
        Process second;
        ASSERT_TRUE(second.Start("\"" + collectorExe + "\""));
        EXPECT_TRUE(second.WaitExit(15000));
    }
    EXPECT_TRUE(testenv::WaitFor([&] { return IsWindowVisible(window) != FALSE; }, 5000));
    EXPECT_EQ(CollectorWindow(), window);

    Sleep(300); // the last bytes on their way through the line
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(collector.WaitExit(15000));
    EXPECT_EQ(collector.ExitCode(), 0u);

    std::string expected = testenv::ReadFileBytes(sent);
    EXPECT_GT(expected.size(), 0u);
    std::string got = testenv::ReadFileBytes(capture);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);

    DWORD value = 0;
    std::string text;
    EXPECT_TRUE(ReadDword("CommPort", value) && value == DWORD(pair.port)) << value;
    EXPECT_TRUE(ReadDword("BaudRate", value) && value == 9600) << value;
    EXPECT_TRUE(ReadDword("DataBits", value) && value == 8) << value;
    EXPECT_TRUE(ReadDword("Parity", value) && value == 2) << value;
    EXPECT_TRUE(ReadDword("StopBits", value) && value == 0) << value;
    EXPECT_TRUE(ReadString("DataFile", text) && text == capture) << text;
    EXPECT_TRUE(ReadDword("RunAtStartup", value) && value == 1) << value;
}

TEST(EndToEnd, ACloseFromAnySourceEndsTheCollectorWhileItsMessageWaitsForOk)
{
    REQUIRE_TESTENV();
    struct Case {
        const char* source;
        std::function<bool(HWND)> close;
    };
    const Case cases[] = {
        {"the close box", [](HWND w) { return PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE; }},
        // The package's uninstall and upgrade close it so.
        {"/close",
         [](HWND) {
             Process closer;
             return closer.Start(CollectorProgram() + " /close") && closer.WaitExit(20000) && closer.ExitCode() == 0;
         }},
        // Logoff; the Restart Manager sends the same with ENDSESSION_CLOSEAPP.
        {"end of session",
         [](HWND w) {
             DWORD_PTR mayEnd = FALSE;
             if (!SendMessageTimeoutA(w, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &mayEnd) ||
                 !mayEnd)
                 return false;
             return SendMessageTimeoutA(w, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, nullptr) != 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        RegistryGuard registry;
        // Started at logon to capture from a port that is not there: "Failed to open serial
        // port..." waits for OK, with nobody at the PC.
        SeedDword("CommPort", 99);
        SeedDword("DataBits", 264); // the close saves 8: proof of the save
        SeedString("DataFile", (testenv::ScratchDir() + "\\close-capture.txt").c_str());
        SeedDword("RunAtStartup", 1);
        Process collector;
        ASSERT_TRUE(collector.Start(CollectorProgram() + " /tray"));
        ASSERT_TRUE(testenv::WaitFor([&] { return WindowOf(collector.Id(), "Serial Port", true) != nullptr; }, 15000));
        HWND window = WindowOf(collector.Id(), kDialogCaption, false);
        ASSERT_NE(window, nullptr);

        const DWORD start = GetTickCount();
        EXPECT_TRUE(c.close(window));
        EXPECT_TRUE(collector.WaitExit(3000)) << "the message held up the close";
        std::printf("[ closed by %s in %lu ms ]\n", c.source, GetTickCount() - start);
        EXPECT_EQ(collector.ExitCode(), 0u);
        DWORD value = 0;
        EXPECT_TRUE(ReadDword("DataBits", value) && value == 8) << "not saved: " << value;
        EXPECT_FALSE(TrayIconPresent(window));
    }
}

TEST(EndToEnd, AStartWhileACollectorRunsInAnotherSessionEndsWithoutCapturing)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    RegistryGuard registry;
    std::string capture = testenv::ScratchDir() + "\\elsewhere-capture.txt";
    DeleteFileA(capture.c_str());
    SeedDword("CommPort", static_cast<DWORD>(pair.port));
    SeedString("DataFile", capture.c_str());
    SeedDword("RunAtStartup", 1);
    // What a collector of another session holds: the machine's name, not this session's.
    CSingleInstance otherSession;
    ASSERT_TRUE(otherSession.Claim("Global\\Tarnwick.OrvaneDVR.POSCollector"));

    struct Case {
        const char* arguments;
        bool tells; // a box says so; the logon entry's start says nothing
    };
    for (const Case& c : {Case{"", true}, Case{" /tray", false}}) {
        SCOPED_TRACE(c.arguments);
        Process start;
        ASSERT_TRUE(start.Start(CollectorProgram() + c.arguments));
        bool collectorWindow = false;
        HWND notice = nullptr;
        EXPECT_TRUE(testenv::WaitFor(
            [&] {
                HWND w = WindowOf(start.Id(), kDialogCaption, false);
                if (w && GetDlgItem(w, IDC_RUN)) collectorWindow = true;
                if (w && !GetDlgItem(w, IDC_RUN) && IsWindowVisible(w) && !notice) {
                    notice = w;
                    PostMessageA(notice, WM_COMMAND, IDOK, 0);
                }
                return start.WaitExit(0);
            },
            15000));
        EXPECT_EQ(notice != nullptr, c.tells);
        EXPECT_FALSE(collectorWindow);
        EXPECT_EQ(start.ExitCode(), 0u);
        EXPECT_FALSE(testenv::FileExists(capture)) << "it captured";
    }
}

} // namespace
