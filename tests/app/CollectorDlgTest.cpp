// The collector's dialog on real windows: what it shows, what it keeps, the capture
// commands, closing, the tray icon and the window state.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "app/ServiceView.h"
#include "service/ServiceCore.h"
#include "channel/PipeServer.h"
#include "settings/BootMarks.h"
#include "support/ChannelTestSupport.h"

#include <thread>
#include "platform/Handle.h"
#include "platform/UIntArray.h"
#include "res/resource.h"
#include "serial/EnumerateSerialPorts.h"
#include "support/RecordingMessageBox.h"
#include "support/TestEnv.h"

using namespace apptest;

namespace {

const char kNoFileText[] =
    "A valid output file was not specified.  Please select a valid file before attempting this operation again.";

struct Item {
    std::string text;
    DWORD data;
};

std::vector<Item> ItemsOf(const CComboBox& list)
{
    std::vector<Item> items;
    for (int i = 0; i < list.GetCount(); ++i) {
        CString text;
        list.GetLBText(i, text);
        items.push_back({text.GetString(), list.GetItemData(i)});
    }
    return items;
}

bool operator==(const Item& a, const Item& b) { return a.text == b.text && a.data == b.data; }
std::ostream& operator<<(std::ostream& out, const Item& item) { return out << item.text << "=" << item.data; }

bool Disabled(const CWnd& button) { return (button.GetStyle() & WS_DISABLED) != 0; }

std::string CaptureFile(const char* name) { return testenv::ScratchDir() + "\\" + name; }

void SeedAll(int port, int baud, int dataBits, int parity, int stopBits, const std::string& file, int runAtStartup)
{
    SeedDword("CommPort", static_cast<DWORD>(port));
    SeedDword("BaudRate", static_cast<DWORD>(baud));
    SeedDword("DataBits", static_cast<DWORD>(dataBits));
    SeedDword("Parity", static_cast<DWORD>(parity));
    SeedDword("StopBits", static_cast<DWORD>(stopBits));
    SeedString("DataFile", file.c_str());
    SeedDword("RunAtStartup", static_cast<DWORD>(runAtStartup));
}

// A modeless dialog; the fixture gives every test a clean key and a message box recorder.
class CollectorDialog : public ::testing::Test {
protected:
    void Open()
    {
        ASSERT_TRUE(dlg.Create());
        PumpFor(50);
    }
    void TearDown() override
    {
        if (dlg.GetSafeHwnd()) dlg.DestroyWindow();
    }

    RegistryGuard registry;
    testenv::RecordingMessageBox boxes;
    ScriptedDlg dlg{[](ScriptedDlg&) {}};
};

TEST_F(CollectorDialog, FirstStartShowsTheDefaults)
{
    Open();
    CUIntArray ports;
    EnumerateSerialPorts(ports);
    std::vector<Item> expectedPorts;
    int portOne = -1;
    for (int i = 0; i < ports.GetSize(); ++i) {
        expectedPorts.push_back({"COM" + std::to_string(ports[i]), ports[i]});
        if (ports[i] == 1) portOne = i;
    }
    EXPECT_EQ(ItemsOf(dlg.m_cbCommPort), expectedPorts);
    // Port 1 is selected where it is listed, and nothing else stands in for it.
    EXPECT_EQ(dlg.m_cbCommPort.GetCurSel(), portOne);

    EXPECT_EQ(ItemsOf(dlg.m_cbBaudRate),
              (std::vector<Item>{{"1200", 1200},
                                 {"2400", 2400},
                                 {"4800", 4800},
                                 {"9600", 9600},
                                 {"19200", 19200},
                                 {"38400", 38400},
                                 {"57600", 57600},
                                 {"115200", 115200}}));
    EXPECT_EQ(SelectedText(dlg.m_cbBaudRate), "9600");
    EXPECT_EQ(ItemsOf(dlg.m_cbDataBits), (std::vector<Item>{{"7", 7}, {"8", 8}}));
    EXPECT_EQ(SelectedText(dlg.m_cbDataBits), "8");
    EXPECT_EQ(ItemsOf(dlg.m_cbParity),
              (std::vector<Item>{{"EVEN", 0}, {"MARK", 1}, {"NONE", 2}, {"ODD", 3}, {"SPACE", 4}}));
    EXPECT_EQ(SelectedText(dlg.m_cbParity), "NONE");
    EXPECT_EQ(ItemsOf(dlg.m_cbStopBits), (std::vector<Item>{{"1", 0}, {"1.5", 1}, {"2", 2}}));
    EXPECT_EQ(SelectedText(dlg.m_cbStopBits), "1");
    EXPECT_EQ(TextOf(dlg.m_editDataFile), "");
    EXPECT_EQ(dlg.m_chkRunAtStartup.GetCheck(), BST_UNCHECKED);
    EXPECT_FALSE(Disabled(dlg.m_btnRun));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_EQ(boxes.Count(), 0u);

    EXPECT_EQ(reinterpret_cast<HICON>(dlg.SendMessage(WM_GETICON, ICON_BIG)), dlg.m_hIcon);
    EXPECT_EQ(reinterpret_cast<HICON>(dlg.SendMessage(WM_GETICON, ICON_SMALL)), dlg.m_hIcon);
    EXPECT_NE(dlg.m_hIcon, nullptr);
    EXPECT_TRUE(TrayIconPresent(dlg));
}

TEST_F(CollectorDialog, StoredSettingsAreShownByExactValue)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(2, pair));
    SeedAll(pair.port, 4800, 7, 3, 2, "C:\\pos\\receipts.txt", 0);
    Open();
    EXPECT_EQ(SelectedText(dlg.m_cbCommPort), "COM" + std::to_string(pair.port));
    EXPECT_EQ(SelectedText(dlg.m_cbBaudRate), "4800");
    EXPECT_EQ(SelectedText(dlg.m_cbDataBits), "7");
    EXPECT_EQ(SelectedText(dlg.m_cbParity), "ODD");
    EXPECT_EQ(SelectedText(dlg.m_cbStopBits), "2");
    EXPECT_EQ(TextOf(dlg.m_editDataFile), "C:\\pos\\receipts.txt");
    EXPECT_EQ(dlg.m_strDataFile, "C:\\pos\\receipts.txt");
}

TEST_F(CollectorDialog, ValuesThatNoItemCarriesSelectNothingAndAreKept)
{
    struct Case {
        int port, baud, dataBits, parity, stopBits;
    };
    // 300 and 12 are no item's text (12 is only the start of "1200"); port 42 is not present;
    // parity and stop bits are chosen by position, so 5 and 3 are past the lists' ends.
    for (const Case& c : {Case{42, 300, 9, 5, 3}, Case{42, 12, 6, 5, 3}}) {
        SCOPED_TRACE(c.baud);
        RegistryGuard::Clear();
        SeedAll(c.port, c.baud, c.dataBits, c.parity, c.stopBits, "", 0);
        ScriptedDlg d([](ScriptedDlg&) {});
        ASSERT_TRUE(d.Create());
        EXPECT_EQ(d.m_cbCommPort.GetCurSel(), -1);
        EXPECT_EQ(d.m_cbBaudRate.GetCurSel(), -1);
        EXPECT_EQ(d.m_cbDataBits.GetCurSel(), -1);
        EXPECT_EQ(d.m_cbParity.GetCurSel(), -1);
        EXPECT_EQ(d.m_cbStopBits.GetCurSel(), -1);
        EXPECT_EQ(d.m_nCommPort, 42);
        EXPECT_EQ(d.m_nBaudRate, c.baud);
        EXPECT_EQ(d.m_nDataBits, c.dataBits);
        d.DestroyWindow();
    }
}

TEST_F(CollectorDialog, DataBitsUseTheLowByteOfTheStoredNumber)
{
    SeedDword("DataBits", 263);
    Open();
    EXPECT_EQ(dlg.m_nDataBits, 7);
    EXPECT_EQ(SelectedText(dlg.m_cbDataBits), "7");
}

TEST_F(CollectorDialog, HandlersStoreTheItemDataAndMinusOneWithoutSelection)
{
    Open();
    struct Case {
        CComboBox* list;
        int id;
        std::function<int()> member;
        int itemIndex;
        int expected;
        int expectedNone;
    };
    const Case cases[] = {
        {&dlg.m_cbBaudRate, IDC_BAUDRATE, [&] { return dlg.m_nBaudRate; }, 4, 19200, -1},
        {&dlg.m_cbDataBits, IDC_DATABITS, [&] { return int(dlg.m_nDataBits); }, 0, 7, 255},
        {&dlg.m_cbParity, IDC_PARITY, [&] { return dlg.m_nParity; }, 4, 4, -1},
        {&dlg.m_cbStopBits, IDC_STOPBITS, [&] { return dlg.m_nStopBits; }, 1, 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        c.list->SetCurSel(c.itemIndex);
        dlg.Command(c.id, CBN_SELCHANGE);
        EXPECT_EQ(c.member(), c.expected);
        c.list->SetCurSel(-1);
        dlg.Command(c.id, CBN_SELCHANGE);
        EXPECT_EQ(c.member(), c.expectedNone);
    }
    if (dlg.m_cbCommPort.GetCount() > 0) {
        int last = dlg.m_cbCommPort.GetCount() - 1;
        dlg.m_cbCommPort.SetCurSel(last);
        dlg.Command(IDC_COMMPORT, CBN_SELCHANGE);
        EXPECT_EQ(dlg.m_nCommPort, static_cast<int>(dlg.m_cbCommPort.GetItemData(last)));
    }
    dlg.m_cbCommPort.SetCurSel(-1);
    dlg.Command(IDC_COMMPORT, CBN_SELCHANGE);
    EXPECT_EQ(dlg.m_nCommPort, -1);
}

TEST_F(CollectorDialog, TypingIntoTheParityBoxChangesNothing)
{
    Open();
    COMBOBOXINFO info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetComboBoxInfo(dlg.m_cbParity, &info));
    ASSERT_NE(info.hwndItem, nullptr);
    for (char c : std::string("ODD")) SendMessageA(info.hwndItem, WM_CHAR, static_cast<WPARAM>(c), 1);
    PumpFor(20);
    EXPECT_EQ(dlg.m_nParity, 2);
}

TEST_F(CollectorDialog, TheFileBoxAndTheCheckBoxAreKeptAsTheyChange)
{
    Open();
    SendMessageA(dlg.m_editDataFile, WM_CHAR, 'a', 1);
    EXPECT_EQ(dlg.m_strDataFile, "a");
    SendMessageA(dlg.m_editDataFile, WM_CHAR, 'b', 1);
    EXPECT_EQ(dlg.m_strDataFile, "ab");
    dlg.m_editDataFile.SetWindowText("Z:\\x.txt");
    EXPECT_EQ(dlg.m_strDataFile, "Z:\\x.txt");

    SendMessageA(dlg.m_chkRunAtStartup, BM_CLICK, 0, 0);
    EXPECT_EQ(dlg.m_bRunAtStartup, 1);
    SendMessageA(dlg.m_chkRunAtStartup, BM_CLICK, 0, 0);
    EXPECT_EQ(dlg.m_bRunAtStartup, 0);
}

TEST_F(CollectorDialog, ALongCapturePathShowsItsFileNameAndTheWholePathWhenPointedAt)
{
    const std::string path = "C:\\ProgramData\\Orvane DVR\\POSCollector\\till-one-sales.txt";
    SeedString("DataFile", path.c_str());
    Open();
    auto tip = [&] {
        char text[MAX_PATH] = {};
        TOOLINFOA tool = {};
        tool.cbSize = TTTOOLINFOA_V2_SIZE;
        tool.hwnd = dlg.GetSafeHwnd();
        tool.uId = reinterpret_cast<UINT_PTR>(dlg.m_editDataFile.GetSafeHwnd());
        tool.lpszText = text;
        SendMessageA(dlg.FileTip(), TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
        return std::string(text);
    };
    ASSERT_NE(dlg.FileTip(), nullptr);
    // The first character the box shows: past the folders, at the file's name.
    EXPECT_GT(SendMessageA(dlg.m_editDataFile, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    EXPECT_EQ(tip(), path);
    SendMessageA(dlg.m_editDataFile, WM_CHAR, 'x', 1);
    EXPECT_EQ(tip(), dlg.m_strDataFile.GetString());
}

TEST_F(CollectorDialog, RunAtStartupWithoutAFileAsksForOne)
{
    SeedDword("RunAtStartup", 1);
    Open();
    ASSERT_TRUE(testenv::WaitFor([&] { return boxes.Count() == 1; }, 2000)) << boxes.Count();
    testenv::RecordedBox box = boxes.Boxes()[0];
    EXPECT_EQ(box.text, kNoFileText);
    EXPECT_EQ(box.caption, "Select File");
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.type & MB_ICONMASK, UINT(MB_ICONWARNING));
    EXPECT_EQ(box.type & MB_TYPEMASK, UINT(MB_OK));
    EXPECT_EQ(dlg.m_chkRunAtStartup.GetCheck(), BST_CHECKED);
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_FALSE(Disabled(dlg.m_btnRun));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));
}

TEST_F(CollectorDialog, RunAndStopSwapTheDisabledStyle)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    std::string file = CaptureFile("runstop.txt");
    SeedAll(pair.port, 9600, 8, 2, 0, file, 0);
    Open();
    dlg.Command(IDC_RUN, BN_CLICKED);
    EXPECT_TRUE(dlg.Capturing());
    EXPECT_TRUE(Disabled(dlg.m_btnRun));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));
    EXPECT_TRUE(PumpUntil([&] { return testenv::FileExists(file); }, 5000));
    dlg.Command(IDC_STOP, BN_CLICKED);
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_FALSE(Disabled(dlg.m_btnRun));
    EXPECT_TRUE(Disabled(dlg.m_btnStop));
    EXPECT_EQ(boxes.Count(), 0u);
}

// The modal run of the program, with the checks inside it.
class CollectorRun : public ::testing::Test {
protected:
    RegistryGuard registry;
    testenv::RecordingMessageBox boxes;
};

TEST_F(CollectorRun, RunAtStartupCapturesBeforeTheDialogShowsAndCloseSavesEverything)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    std::string file = CaptureFile("startup.txt");
    SeedAll(pair.port, 19200, 8, 2, 0, file, 1);
    const std::string sent = "RECEIPT 0001\r\nCOFFEE      2.50\r\nTOTAL       2.50\r\n";

    ScriptedDlg dlg([&](ScriptedDlg& d) {
        if (PumpUntil([&] { return testenv::FileExists(file); }, 5000)) {
            testenv::PeerPort peer;
            if (peer.Open(pair.peer)) peer.Write(sent);
            PumpFor(300);
        }
        // The user changes a setting, then closes with the close box while capturing.
        d.m_cbBaudRate.SetCurSel(0);
        d.Command(IDC_BAUDRATE, CBN_SELCHANGE);
        d.PostMessage(WM_SYSCOMMAND, SC_CLOSE);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.capturingAtInit);
    EXPECT_FALSE(dlg.visibleAtInit);
    EXPECT_EQ(dlg.destroyCalls, 1);
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_EQ(testenv::ReadFileBytes(file), sent);

    DWORD value = 0;
    std::string text;
    EXPECT_TRUE(ReadDword("CommPort", value) && value == DWORD(pair.port)) << value;
    EXPECT_TRUE(ReadDword("BaudRate", value) && value == 1200) << value;
    EXPECT_TRUE(ReadDword("DataBits", value) && value == 8) << value;
    EXPECT_TRUE(ReadDword("Parity", value) && value == 2) << value;
    EXPECT_TRUE(ReadDword("StopBits", value) && value == 0) << value;
    EXPECT_TRUE(ReadString("DataFile", text) && text == file) << text;
    EXPECT_TRUE(ReadDword("RunAtStartup", value) && value == 1) << value;
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(CollectorRun, StopTwiceAndACloseDuringTheStopEndCleanly)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    std::string file = CaptureFile("twice.txt");
    SeedAll(pair.port, 9600, 8, 2, 0, file, 0);
    const std::string sent(3000, 'x');

    ScriptedDlg dlg([&](ScriptedDlg& d) {
        d.Command(IDC_RUN, BN_CLICKED);
        if (PumpUntil([&] { return testenv::FileExists(file); }, 5000)) {
            testenv::PeerPort peer;
            if (peer.Open(pair.peer)) peer.Write(sent);
            PumpFor(200);
        }
        // All three wait in the queue and are handled one after the other.
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDC_STOP, BN_CLICKED), reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_STOP)));
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDC_STOP, BN_CLICKED), reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_STOP)));
        d.PostMessage(WM_CLOSE);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.destroyCalls, 1);
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_EQ(testenv::ReadFileBytes(file), sent);
}

TEST_F(CollectorDialog, MinimiseHidesAndOnlyADoubleClickOnTheTrayIconBringsItBack)
{
    Open();
    RECT before;
    GetWindowRect(dlg, &before);
    dlg.SendMessage(WM_SYSCOMMAND, SC_MINIMIZE);
    PumpFor(50);
    EXPECT_FALSE(IsWindowVisible(dlg));
    EXPECT_TRUE(TrayIconPresent(dlg));

    // The callback's number is also the dialog manager's DM_SETDEFID: it must not get there.
    LRESULT defaultButton = dlg.Send(DM_GETDEFID);
    for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE}) {
        dlg.SendMessage(WM_TRAYNOTIFY, 0, mouse);
        EXPECT_FALSE(IsWindowVisible(dlg)) << mouse;
    }
    EXPECT_EQ(dlg.Send(DM_GETDEFID), defaultButton);
    dlg.SendMessage(WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK);
    PumpFor(50);
    EXPECT_TRUE(IsWindowVisible(dlg));
    EXPECT_FALSE(IsIconic(dlg));
    RECT after;
    GetWindowRect(dlg, &after);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    EXPECT_EQ(after.right, before.right);
    EXPECT_EQ(after.bottom, before.bottom);
}

TEST_F(CollectorDialog, TrayIconComesBackAfterTheShellRestartsAndGoesOnClose)
{
    Open();
    HWND h = dlg.GetSafeHwnd();
    ASSERT_TRUE(TrayIconPresent(h));
    // A restarted shell has forgotten every icon.
    NOTIFYICONDATAA nid{};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = h;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid));
    ASSERT_FALSE(TrayIconPresent(h));
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return TrayIconPresent(h); }, 2000));

    dlg.DestroyWindow();
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(TrayIconPresent(h));
}

// A shell that refuses the first two offers of an icon, as one not yet up at logon does.
int g_refusedAdds = 0;
BOOL WINAPI LateShell(DWORD message, PNOTIFYICONDATAA nid)
{
    if ((message == NIM_ADD || message == NIM_MODIFY) && g_refusedAdds < 4) {
        ++g_refusedAdds;
        return FALSE;
    }
    return Shell_NotifyIconA(message, nid);
}

TEST_F(CollectorDialog, StartedForTheTrayItStaysHiddenWithItsIconUntilTheIconIsDoubleClicked)
{
    g_refusedAdds = 0;
    dlg.m_bStartInTray = true;
    dlg.m_shellNotifyIcon = LateShell;
    dlg.m_trayRetryMs = 50;
    Open();
    EXPECT_FALSE(IsWindowVisible(dlg));
    // The icon comes when the shell takes it, without anything else happening.
    EXPECT_TRUE(PumpUntil([&] { return TrayIconPresent(dlg); }, 2000));
    EXPECT_EQ(g_refusedAdds, 4);
    EXPECT_FALSE(IsWindowVisible(dlg));

    dlg.SendMessage(WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK);
    PumpFor(50);
    EXPECT_TRUE(IsWindowVisible(dlg));
}

TEST_F(CollectorDialog, EndOfSessionStopsTheCaptureCompleteAndSaves)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(3, pair));
    std::string file = CaptureFile("endsession.txt");
    // A file left by an earlier run would be "there" before the capture has opened the port.
    DeleteFileA(file.c_str());
    SeedAll(pair.port, 9600, 8, 2, 0, file, 0);
    Open();
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return testenv::FileExists(file); }, 5000));
    const std::string sent = "last receipt before logoff\r\n";
    testenv::PeerPort peer;
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write(sent));
    PumpFor(200);
    dlg.m_cbStopBits.SetCurSel(2);
    dlg.Command(IDC_STOPBITS, CBN_SELCHANGE);

    HWND h = dlg.GetSafeHwnd();
    EXPECT_EQ(dlg.SendMessage(WM_QUERYENDSESSION, 0, 0), TRUE);
    dlg.SendMessage(WM_ENDSESSION, TRUE, 0);
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_EQ(testenv::ReadFileBytes(file), sent);
    DWORD value = 0;
    EXPECT_TRUE(ReadDword("StopBits", value) && value == 2) << value;
    EXPECT_FALSE(TrayIconPresent(h));
    // The dialog ends too, once: the Restart Manager waits for that.
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(dlg.destroyCalls, 1);
}


// The tip's second line, after "Orvane POS Emulator".
std::string TipState(const ScriptedDlg& d)
{
    std::string tip = d.TrayTip();
    size_t newline = tip.find('\n');
    EXPECT_EQ(tip.substr(0, newline), "Orvane POS Emulator");
    return newline == std::string::npos ? std::string() : tip.substr(newline + 1);
}

TEST_F(CollectorDialog, TheButtonsTheTrayTipAndTheMessagesFollowTheCapture)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    const std::string com = "COM" + std::to_string(pair.port);
    struct Case {
        int port;
        int dataBits;
        int parity;
        std::string file;
        std::string state;   // the tip's second line once the capture has settled
        const char* caption; // of the one message expected, or null
        bool running;        // Run disabled and Stop enabled
    };
    const Case cases[] = {
        {pair.port, 8, 2, CaptureFile("state.txt"), com + ": capturing", nullptr, true},
        {99, 8, 2, CaptureFile("state.txt"), "COM99: waiting for the port", "Serial Port", true},
        {pair.port, 8, 2, CaptureFile("no such folder\\state.txt"), "stopped: capture file cannot be created",
         "Input File", false},
        // The pty refuses 6 data bits; no port takes parity 9.
        {pair.port, 6, 2, CaptureFile("state.txt"), "stopped: line settings refused", "Serial Port", false},
        {pair.port, 8, 9, CaptureFile("state.txt"), "stopped: settings not valid", "Serial Port", false},
    };
    Open();
    EXPECT_EQ(TipState(dlg), "stopped");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        testenv::RecordingMessageBox local;
        dlg.m_nCommPort = c.port;
        dlg.m_nDataBits = static_cast<unsigned char>(c.dataBits);
        dlg.m_nParity = c.parity;
        dlg.m_strDataFile = c.file.c_str();
        dlg.Command(IDC_RUN, BN_CLICKED);
        EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == c.state; }, 5000)) << TipState(dlg);
        PumpFor(100);
        if (c.caption) {
            EXPECT_TRUE(testenv::WaitFor([&] { return local.Count() > 0; }, 2000));
        }
        EXPECT_EQ(Disabled(dlg.m_btnRun), c.running);
        EXPECT_EQ(Disabled(dlg.m_btnStop), !c.running);
        EXPECT_EQ(dlg.Capturing(), c.running);
        std::vector<testenv::RecordedBox> shown = local.Boxes();
        ASSERT_EQ(shown.size(), c.caption ? 1u : 0u);
        if (c.caption) {
            EXPECT_EQ(shown[0].caption, c.caption);
            EXPECT_EQ(shown[0].owner, nullptr);
            EXPECT_EQ(shown[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
            // Not by the window's thread, where a box waiting for OK would hold up a close.
            EXPECT_NE(shown[0].threadId, GetCurrentThreadId());
        }
        dlg.Command(IDC_STOP, BN_CLICKED);
        EXPECT_EQ(TipState(dlg), "stopped");
        EXPECT_FALSE(Disabled(dlg.m_btnRun));
        EXPECT_TRUE(Disabled(dlg.m_btnStop));
    }
}

TEST_F(CollectorDialog, AStopThatCannotWriteWhatWaitedForAFullDiskSaysSoInABoxAndTheTip)
{
    REQUIRE_TESTENV();
    const char* drive = std::getenv("COLLECTOR_TINY_DRIVE");
    if (!drive || !*drive) GTEST_SKIP() << "the test environment could not mount a tiny disk (needs root for mount)";
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(2, pair));
    const std::string file = std::string(drive) + "\\stop.txt", filler = std::string(drive) + "\\filler";
    struct Gone {
        std::vector<std::string> files;
        ~Gone()
        {
            for (const std::string& f : files) DeleteFileA(f.c_str());
        }
    } gone{{file, filler}};
    DeleteFileA(file.c_str());
    SeedAll(pair.port, 9600, 8, 2, 0, file, 0);
    Open();
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return testenv::FileExists(file); }, 5000));
    {
        // Every block the disk has left, so that the capture's bytes wait in memory.
        CHandle full(CreateFileA(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const std::string block(4096, 'x');
        DWORD written = 1;
        while (full.IsValid() && written > 0)
            if (!WriteFile(full, block.data(), 4096, &written, nullptr)) break;
        for (written = 1; full.IsValid() && written > 0;)
            if (!WriteFile(full, block.data(), 1, &written, nullptr)) break;
    }
    testenv::PeerPort peer;
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("a receipt the disk has no room for\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return TipState(dlg).find("waiting for the capture file") != std::string::npos; }, 5000))
        << TipState(dlg);
    dlg.Command(IDC_STOP, BN_CLICKED);
    EXPECT_EQ(TipState(dlg), "stopped: capture file cannot be written");
    const std::string heading = "Capture stopped: the capture file could not be written.\n\n";
    testenv::RecordedBox last;
    ASSERT_TRUE(testenv::WaitFor(
        [&] {
            for (const testenv::RecordedBox& box : boxes.Boxes())
                if (box.text.rfind(heading, 0) == 0) last = box;
            return !last.text.empty();
        },
        2000));
    // With the system's reason after the heading.
    EXPECT_GT(last.text.size(), heading.size()) << last.text;
    EXPECT_EQ(last.caption, "Input File");
}

// Shows real message boxes, as the program does; the dialog's close takes them away.
class SystemBoxes : public testenv::ScopedMessageBoxService {
public:
    int Show(HWND owner, const char* text, const char* caption, UINT type) override
    {
        ++shown;
        return MessageBoxA(owner, text, caption, type);
    }
    std::atomic<int> shown{0};
};

TEST_F(CollectorDialog, AnUnansweredNoticeDoesNotHoldUpTheResume)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(2, pair));
    testenv::PlugGuard replug(pair);
    std::string file = CaptureFile("resume.txt");
    DeleteFileA(file.c_str());
    SeedAll(pair.port, 9600, 8, 2, 0, file, 0);
    Open();
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return testenv::FileExists(file); }, 5000));
    testenv::PeerPort peer;
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("before "));
    ASSERT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(file) == "before "; }, 5000));
    peer.Close();

    // While the notice of the unplug waits for OK, the port comes back and a receipt arrives.
    SystemBoxes real;
    // However the test leaves, the dialog closes its boxes before the service they use goes.
    struct CloseFirst {
        ScriptedDlg& dialog;
        ~CloseFirst()
        {
            if (dialog.GetSafeHwnd()) dialog.DestroyWindow();
        }
    } closeFirst{dlg};
    ASSERT_TRUE(testenv::Unplug(pair));
    HWND notice = nullptr;
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(notice = FindWindowA("#32770", "Serial Port")) != FALSE; }, 5000));
    ASSERT_TRUE(testenv::Plug(pair));
    std::string com = "COM" + std::to_string(pair.port);
    EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == com + ": capturing"; }, 5000)) << TipState(dlg);
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("after"));
    EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(file) == "before after"; }, 5000));
    EXPECT_TRUE(IsWindowVisible(notice)) << "the notice went before the capture resumed";
    EXPECT_EQ(real.shown, 1);
    dlg.Command(IDC_STOP, BN_CLICKED);
    EXPECT_EQ(testenv::ReadFileBytes(file), "before after");
    // The close takes the notice away.
    dlg.DestroyWindow();
    EXPECT_FALSE(IsWindow(notice));
}

std::vector<unsigned> g_ports;
void ListedPorts(CUIntArray& ports)
{
    ports.RemoveAll();
    for (unsigned port : g_ports) ports.Add(port);
}

TEST_F(CollectorDialog, DroppingDownThePortListListsThePortsAgainAndKeepsTheChoice)
{
    // Wine lists ports only as its server starts, so the hardware is played by a stand-in list.
    SeedDword("CommPort", 5);
    g_ports = {3, 5};
    dlg.m_enumeratePorts = ListedPorts;
    Open();
    EXPECT_EQ(SelectedText(dlg.m_cbCommPort), "COM5");

    g_ports = {3, 5, 12};
    dlg.Command(IDC_COMMPORT, CBN_DROPDOWN);
    EXPECT_EQ(ItemsOf(dlg.m_cbCommPort), (std::vector<Item>{{"COM3", 3}, {"COM5", 5}, {"COM12", 12}}));
    EXPECT_EQ(SelectedText(dlg.m_cbCommPort), "COM5");

    // The chosen adapter is unplugged: nothing stands in for it, and the choice is kept.
    g_ports = {12};
    dlg.Command(IDC_COMMPORT, CBN_DROPDOWN);
    EXPECT_EQ(ItemsOf(dlg.m_cbCommPort), (std::vector<Item>{{"COM12", 12}}));
    EXPECT_EQ(dlg.m_cbCommPort.GetCurSel(), -1);
    EXPECT_EQ(dlg.m_nCommPort, 5);
}

} // namespace

// Where the service is installed, the window is the service's: its buttons run and stop the
// service's capture, and closing it leaves the capture going.
TEST_F(CollectorDialog, InClientModeTheWindowRunsAndStopsTheServicesCaptureAndItsCloseOnlyHides)
{
    REQUIRE_TESTENV();
    testenv::PortPair pair;
    ASSERT_TRUE(testenv::GetPair(1, pair));
    const std::string file = CaptureFile("client.txt");
    SeedAll(pair.port, 9600, 8, 2, 0, file, 1);
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.dialogtest";
    CServiceCore service(options);
    // Not a boot: the service itself starts nothing.
    bool known = false;
    FirstStartSinceBoot(known);
    SetCaptureRunning(false);
    ASSERT_EQ(service.Start(), static_cast<DWORD>(ERROR_SUCCESS));
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread serving([&] { service.Serve(stop); });

    dlg.UseCapture(std::make_unique<CServiceView>(options.name.c_str(), testenv::ThisProcessAsServer));
    Open();
    // "Run Collector At Startup" is the service's to act on at boot, not the window's.
    EXPECT_FALSE(dlg.Capturing());
    EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == "stopped"; }, 5000)) << TipState(dlg);
    dlg.Command(IDC_RUN, BN_CLICKED);
    const std::string com = "COM" + std::to_string(pair.port);
    EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == com + ": capturing"; }, 5000)) << TipState(dlg);
    EXPECT_TRUE(Disabled(dlg.m_btnRun));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));

    // The close box hides the window; the capture goes on.
    dlg.Send(WM_SYSCOMMAND, SC_CLOSE);
    EXPECT_TRUE(IsWindow(dlg.GetSafeHwnd()));
    EXPECT_FALSE(IsWindowVisible(dlg.GetSafeHwnd()));
    testenv::PeerPort peer;
    ASSERT_TRUE(peer.Open(pair.peer));
    ASSERT_TRUE(peer.Write("while hidden"));
    EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(file) == "while hidden"; }, 5000));

    dlg.Command(IDC_STOP, BN_CLICKED);
    EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == "stopped"; }, 5000)) << TipState(dlg);
    EXPECT_FALSE(service.Captures().States()[0].running);
    EXPECT_EQ(boxes.Count(), 0u);

    // A close that is not the user's (the tray's Exit, /close) ends the window, not the capture.
    dlg.Command(IDC_RUN, BN_CLICKED);
    EXPECT_TRUE(PumpUntil([&] { return service.Captures().States()[0].running; }, 5000));
    dlg.Send(WM_CLOSE);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(dlg.GetSafeHwnd()); }, 5000));
    EXPECT_TRUE(service.Captures().States()[0].running);

    SetEvent(stop);
    serving.join();
    service.Shutdown();
}

namespace {

// The service's side of the channel for the window's client mode: the lanes it runs (lane 1 to
// begin with), and what it was asked, lane by lane.
class ServiceStandIn : public ICaptureControl {
public:
    ServiceStandIn() { lanes.resize(1); }
    ControlRefusal Run(int lane, const CollectorSettings& settings, const Requester&) override
    {
        CSingleLock guard(&m_lock, true);
        runs.push_back(settings);
        runLanes.push_back(lane);
        return std::nullopt;
    }
    ControlRefusal Stop(int lane, const Requester&) override
    {
        CSingleLock guard(&m_lock, true);
        stopLanes.push_back(lane);
        return std::nullopt;
    }
    ControlRefusal Save(int, const CollectorSettings& settings, const Requester&) override
    {
        CSingleLock guard(&m_lock, true);
        saves.push_back(settings);
        return std::nullopt;
    }
    ControlRefusal AddLane(int lane, const CollectorSettings& settings, const Requester&) override
    {
        CSingleLock guard(&m_lock, true);
        added.push_back({lane, {}, settings, {}});
        return addRefusal;
    }
    ControlRefusal RemoveLane(int lane, const Requester&) override
    {
        CSingleLock guard(&m_lock, true);
        removed.push_back(lane);
        return std::nullopt;
    }
    std::vector<channel::ChannelState> States() const override
    {
        CSingleLock guard(&m_lock, true);
        return lanes;
    }
    channel::ChannelState Set(const CollectorSettings& settings, uint64_t bytes)
    {
        SetLane(1, CaptureState::Capturing, settings);
        CSingleLock guard(&m_lock, true);
        lanes[0].status.bytes = bytes;
        return lanes[0];
    }
    // Adds or changes a lane; the lanes stay in rising order, as the service keeps them.
    channel::ChannelState SetLane(int lane, CaptureState state, const CollectorSettings& settings)
    {
        CSingleLock guard(&m_lock, true);
        channel::ChannelState s;
        s.captureId = lane;
        s.status = {state, CaptureEnd::None, settings.commPort};
        s.settings = settings;
        auto at = std::find_if(lanes.begin(), lanes.end(),
                               [lane](const channel::ChannelState& l) { return l.captureId >= lane; });
        if (at != lanes.end() && at->captureId == lane)
            *at = s;
        else
            lanes.insert(at, s);
        return s;
    }
    // The lane numbers there are, after lane (if given) went.
    std::vector<int> Drop(int lane = 0)
    {
        CSingleLock guard(&m_lock, true);
        std::vector<int> numbers;
        lanes.erase(std::remove_if(lanes.begin(), lanes.end(),
                                   [lane](const channel::ChannelState& l) { return l.captureId == lane; }),
                    lanes.end());
        for (const channel::ChannelState& l : lanes) numbers.push_back(l.captureId);
        return numbers;
    }
    size_t Runs() const { CSingleLock guard(&m_lock, true); return runs.size(); }
    size_t Saves() const { CSingleLock guard(&m_lock, true); return saves.size(); }
    size_t Requests() const
    {
        CSingleLock guard(&m_lock, true);
        return runs.size() + stopLanes.size() + added.size() + removed.size();
    }

    mutable CCriticalSection m_lock;
    std::vector<channel::ChannelState> lanes;
    std::vector<CollectorSettings> runs;
    std::vector<int> runLanes;
    std::vector<int> stopLanes;
    std::vector<CollectorSettings> saves;
    std::vector<channel::ChannelState> added;
    std::vector<int> removed;
    ControlRefusal addRefusal;
};

bool MenuGreyed(const ScriptedDlg& d, UINT id)
{
    return (GetMenuState(GetSystemMenu(d, FALSE), id, MF_BYCOMMAND) & MF_GRAYED) != 0;
}

CollectorSettings ServiceSettings(int port, const char* file)
{
    CollectorSettings s;
    s.commPort = port;
    s.baudRate = 19200;
    s.dataBits = 7;
    s.parity = 0;
    s.stopBits = 2;
    s.dataFile = file;
    s.runAtStartup = 1;
    return s;
}

class ClientModeDialog : public CollectorDialog {
protected:
    void Serve(bool mayControl)
    {
        options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.dialogtest." + std::to_string(GetCurrentProcessId());
        options.identify = [mayControl](HANDLE, Requester& who) {
            who.account = "SHOP-PC\\cashier";
            who.sessionId = 1;
            who.mayControl = mayControl;
            return true;
        };
        server = std::make_unique<CPipeServer>(service, options);
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), server->Start());
        dlg.UseCapture(std::make_unique<CServiceView>(options.name.c_str(), testenv::ThisProcessAsServer));
    }
    bool Shows(const CollectorSettings& s)
    {
        return TextOf(dlg.m_editDataFile) == s.dataFile.GetString() && SelectedText(dlg.m_cbBaudRate) == "19200" &&
               SelectedText(dlg.m_cbDataBits) == "7" && SelectedText(dlg.m_cbParity) == "EVEN" &&
               SelectedText(dlg.m_cbStopBits) == "2" && dlg.m_chkRunAtStartup.GetCheck() == BST_CHECKED &&
               dlg.m_nCommPort == s.commPort;
    }
    void TearDown() override
    {
        CollectorDialog::TearDown();
        server.reset();
    }

    ServiceStandIn service;
    PipeServerOptions options;
    std::unique_ptr<CPipeServer> server;
};

} // namespace

TEST_F(ClientModeDialog, AWindowThatMayOnlyLookShowsTheServicesCaptureGreyedSaysWhyOnceAndEveryRefusal)
{
    REQUIRE_TESTENV();
    SeedAll(7, 9600, 8, 2, 0, "C:\\window.txt", 0);
    const CollectorSettings running = ServiceSettings(5, "C:\\ProgramData\\Orvane DVR\\POSCollector\\till.txt");
    service.Set(running, 10);
    Serve(false);
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(running); }, 5000)) << TextOf(dlg.m_editDataFile);
    EXPECT_EQ(SelectedText(dlg.m_cbCommPort), "COM5");
    for (const CWnd* control : std::vector<const CWnd*>{&dlg.m_btnRun, &dlg.m_btnStop, &dlg.m_cbCommPort,
                                                        &dlg.m_cbBaudRate, &dlg.m_cbDataBits, &dlg.m_cbParity,
                                                        &dlg.m_cbStopBits, &dlg.m_editDataFile, &dlg.m_btnBrowse,
                                                        &dlg.m_chkRunAtStartup})
        EXPECT_TRUE(Disabled(*control)) << control->GetDlgCtrlID();
    ASSERT_TRUE(PumpUntil([&] { return boxes.Count() == 1; }, 5000));
    EXPECT_NE(std::string::npos, boxes.Boxes()[0].text.find("SHOP-PC\\cashier")) << boxes.Boxes()[0].text;
    EXPECT_TRUE(MenuGreyed(dlg, IDM_ADDLANE));
    EXPECT_TRUE(MenuGreyed(dlg, IDM_REMOVELANE));
    EXPECT_NE(std::string::npos, boxes.Boxes()[0].text.find("Only administrators")) << boxes.Boxes()[0].text;

    // Said once: the capture going on, the window hidden and shown again say nothing more.
    server->Broadcast(service.Set(running, 20));
    dlg.Send(WM_SYSCOMMAND, SC_CLOSE);
    dlg.ShowWindow(SW_SHOW);
    PumpFor(300);
    EXPECT_EQ(1u, boxes.Count());

    // A request that gets through anyway (a script, an old window) is refused, and says so.
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return boxes.Count() == 2; }, 5000));
    EXPECT_NE(std::string::npos, boxes.Boxes()[1].text.find("only administrators")) << boxes.Boxes()[1].text;
    EXPECT_EQ(0u, service.Runs());

    // Its Exit leaves the key as it was.
    dlg.Send(WM_CLOSE);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(dlg.GetSafeHwnd()); }, 5000));
    EXPECT_STREQ("C:\\window.txt", LoadCollectorSettings().dataFile);
}

TEST_F(ClientModeDialog, TheWindowFollowsTheServicesSettingsWritesNoneAndGoesWhenTheServiceSaysSo)
{
    REQUIRE_TESTENV();
    SeedAll(7, 9600, 8, 2, 0, "C:\\window.txt", 1);
    const CollectorSettings first = ServiceSettings(5, "C:\\first.txt");
    service.Set(first, 10);
    Serve(true);
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(first); }, 5000)) << TextOf(dlg.m_editDataFile);
    EXPECT_FALSE(Disabled(dlg.m_cbBaudRate));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));

    // The user's pick survives the byte count; a change of the service's settings shows.
    dlg.m_cbBaudRate.SetCurSel(dlg.m_cbBaudRate.FindStringExact(-1, "4800"));
    dlg.Command(IDC_BAUDRATE, CBN_SELCHANGE);
    server->Broadcast(service.Set(first, 500));
    PumpFor(300);
    EXPECT_EQ(SelectedText(dlg.m_cbBaudRate), "4800");
    const CollectorSettings second = ServiceSettings(5, "C:\\second.txt");
    server->Broadcast(service.Set(second, 600));
    EXPECT_TRUE(PumpUntil([&] { return Shows(second); }, 5000)) << TextOf(dlg.m_editDataFile);

    // Run sends the window's settings; the box sends a Save; neither writes the key.
    dlg.m_chkRunAtStartup.SetCheck(BST_UNCHECKED);
    dlg.Command(IDC_RUNATSTARTUP, BN_CLICKED);
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return service.Saves() == 1 && service.Runs() == 1; }, 5000));
    EXPECT_EQ(0, service.saves[0].runAtStartup);
    EXPECT_STREQ("C:\\second.txt", service.runs[0].dataFile);
    EXPECT_EQ(boxes.Count(), 0u);

    // The service tells its windows to go: this one ends as /close ends it.
    server->BroadcastDismiss();
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(dlg.GetSafeHwnd()); }, 5000));
    EXPECT_STREQ("C:\\window.txt", LoadCollectorSettings().dataFile);
    EXPECT_EQ(1, LoadCollectorSettings().runAtStartup);
}

namespace {

// The text a tip shows for one of the dialog's controls.
std::string TipOf(const ScriptedDlg& d, HWND control)
{
    char text[MAX_PATH] = {};
    TOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.hwnd = d.GetSafeHwnd();
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = text;
    SendMessageA(d.FileTip(), TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
    return text;
}

RECT PlaceOf(const ScriptedDlg& d, const CWnd& control)
{
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool SamePlace(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::vector<std::string> LaneItems(const CComboBox& list)
{
    std::vector<std::string> items;
    for (const Item& item : ItemsOf(list)) items.push_back(item.text);
    return items;
}

class LanesDialog : public ClientModeDialog {
protected:
    // The window made, but nothing heard from the service yet: it looks as with one lane.
    void OpenAndKeepOneLaneLook()
    {
        ASSERT_TRUE(dlg.Create());
        oneLaneCommPort = PlaceOf(dlg, dlg.m_cbCommPort);
        GetClientRect(dlg, &oneLaneClient);
    }
    void Pick(int lane)
    {
        for (int i = 0; i < dlg.m_cbLane.GetCount(); ++i)
            if (static_cast<int>(dlg.m_cbLane.GetItemData(i)) == lane) dlg.m_cbLane.SetCurSel(i);
        dlg.Command(IDC_LANE, CBN_SELCHANGE);
    }
    bool ShowsFile(const char* file) { return TextOf(dlg.m_editDataFile) == file; }

    RECT oneLaneCommPort{};
    RECT oneLaneClient{};
};

} // namespace

TEST_F(LanesDialog, ThePickedLaneShowsItsSettingsAndStateAndTakesRunAndStop)
{
    REQUIRE_TESTENV();
    const CollectorSettings one = ServiceSettings(5, "C:\\pos\\one.txt");
    const CollectorSettings two = ServiceSettings(7, "C:\\ProgramData\\Orvane DVR\\POSCollector\\lane-two-sales.txt");
    const CollectorSettings three = ServiceSettings(9, "C:\\pos\\three.txt");
    service.SetLane(1, CaptureState::Capturing, one);
    service.SetLane(2, CaptureState::WaitingForPort, two);
    service.SetLane(3, CaptureState::Ended, three);
    Serve(true);
    OpenAndKeepOneLaneLook();

    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(dlg.m_cbLane) && ShowsFile("C:\\pos\\one.txt"); }, 5000));
    EXPECT_EQ(LaneItems(dlg.m_cbLane),
              (std::vector<std::string>{"Lane 1 (COM5)", "Lane 2 (COM7)", "Lane 3 (COM9)"}));
    EXPECT_EQ(SelectedText(dlg.m_cbLane), "Lane 1 (COM5)");
    // The row comes above the settings, which make room for it.
    EXPECT_GE(PlaceOf(dlg, dlg.m_cbCommPort).top, PlaceOf(dlg, dlg.m_cbLane).top + 10);
    RECT client;
    GetClientRect(dlg, &client);
    EXPECT_GT(client.bottom, oneLaneClient.bottom);
    // Too long for the tip in full words: the shorter ones.
    EXPECT_EQ(TipState(dlg), "3 lanes: 1 capturing, 1 no port, 1 stopped");

    // Lane 2: its settings, its state, its long path's end and whole path in the File box's tip.
    Pick(2);
    EXPECT_EQ(dlg.ShownLane(), 2);
    EXPECT_TRUE(ShowsFile(two.dataFile));
    EXPECT_EQ(SelectedText(dlg.m_cbCommPort), "COM7");
    EXPECT_EQ(TipOf(dlg, dlg.m_progress), "COM7: waiting for the port");
    EXPECT_EQ(TipOf(dlg, dlg.m_editDataFile), two.dataFile.GetString());
    EXPECT_GT(SendMessageA(dlg.m_editDataFile, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    EXPECT_TRUE(Disabled(dlg.m_btnRun));
    EXPECT_FALSE(Disabled(dlg.m_btnStop));
    dlg.Command(IDC_STOP, BN_CLICKED);

    // Lane 3 is stopped: Run sends the window's settings for lane 3.
    Pick(3);
    EXPECT_TRUE(ShowsFile("C:\\pos\\three.txt"));
    EXPECT_FALSE(Disabled(dlg.m_btnRun));
    EXPECT_TRUE(Disabled(dlg.m_btnStop));
    EXPECT_EQ(TipOf(dlg, dlg.m_progress), "stopped");
    dlg.Command(IDC_RUN, BN_CLICKED);
    ASSERT_TRUE(PumpUntil([&] { return service.Requests() == 2; }, 5000));
    EXPECT_EQ(service.stopLanes, std::vector<int>{2});
    EXPECT_EQ(service.runLanes, std::vector<int>{3});
    EXPECT_EQ(service.runs[0].commPort, 9);
    EXPECT_STREQ(service.runs[0].dataFile, "C:\\pos\\three.txt");

    // A change on the service's side of a lane not shown leaves the shown one as it is.
    server->Broadcast(service.SetLane(2, CaptureState::Capturing, two));
    EXPECT_TRUE(PumpUntil([&] { return TipState(dlg) == "3 lanes: 2 capturing, 1 stopped"; }, 5000)) << TipState(dlg);
    EXPECT_EQ(dlg.ShownLane(), 3);
    EXPECT_TRUE(ShowsFile("C:\\pos\\three.txt"));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(LanesDialog, AddAndRemoveReachTheServiceWithTheLaneNumberAndARemovedLaneFallsBackToLaneOne)
{
    REQUIRE_TESTENV();
    const CollectorSettings one = ServiceSettings(5, "C:\\pos\\sales.txt");
    service.SetLane(1, CaptureState::Capturing, one);
    service.SetLane(3, CaptureState::Ended, ServiceSettings(9, "C:\\pos\\sales-lane3.txt"));
    Serve(true);
    OpenAndKeepOneLaneLook();
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(dlg.m_cbLane) && ShowsFile("C:\\pos\\sales.txt"); }, 5000));
    EXPECT_FALSE(MenuGreyed(dlg, IDM_ADDLANE));
    // Lane 1 stays: nothing to remove while it is shown.
    EXPECT_TRUE(MenuGreyed(dlg, IDM_REMOVELANE));
    dlg.Send(WM_SYSCOMMAND, IDM_REMOVELANE);

    // The first free number, the window's settings on a port no lane has, a file of its own.
    dlg.Send(WM_SYSCOMMAND, IDM_ADDLANE);
    ASSERT_TRUE(PumpUntil([&] { return service.Requests() == 1; }, 5000));
    ASSERT_EQ(service.added.size(), 1u);
    const channel::ChannelState asked = service.added[0];
    EXPECT_EQ(asked.captureId, 2);
    EXPECT_NE(asked.settings.commPort, 5);
    EXPECT_NE(asked.settings.commPort, 9);
    EXPECT_STREQ(asked.settings.dataFile, "C:\\pos\\sales-lane2.txt");
    EXPECT_EQ(asked.settings.baudRate, one.baudRate);
    EXPECT_EQ(asked.settings.runAtStartup, 0);

    // The service adds it: the window shows the new lane.
    server->BroadcastLanes({1, 2, 3});
    server->Broadcast(service.SetLane(2, CaptureState::Ended, asked.settings));
    ASSERT_TRUE(PumpUntil([&] { return dlg.ShownLane() == 2; }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return ShowsFile("C:\\pos\\sales-lane2.txt"); }, 5000));
    EXPECT_EQ(dlg.m_cbLane.GetCount(), 3);
    EXPECT_FALSE(MenuGreyed(dlg, IDM_REMOVELANE));

    // Removing the shown lane: the service is asked for lane 2, and the window falls back.
    dlg.Send(WM_SYSCOMMAND, IDM_REMOVELANE);
    ASSERT_TRUE(PumpUntil([&] { return service.Requests() == 2; }, 5000));
    EXPECT_EQ(service.removed, std::vector<int>{2});
    server->BroadcastLanes(service.Drop(2));
    ASSERT_TRUE(PumpUntil([&] { return dlg.ShownLane() == 1 && ShowsFile("C:\\pos\\sales.txt"); }, 5000));

    // A refusal is said as every refusal is.
    service.addRefusal = channel::Refusal::PortInUse;
    dlg.Send(WM_SYSCOMMAND, IDM_ADDLANE);
    ASSERT_TRUE(PumpUntil([&] { return boxes.Count() == 1; }, 5000));
    EXPECT_NE(std::string::npos, boxes.Boxes()[0].text.find("another lane captures that COM port"));

    // Lane 3, shown, removed elsewhere: back to lane 1, and to the one-lane window.
    Pick(3);
    EXPECT_EQ(dlg.ShownLane(), 3);
    server->BroadcastLanes(service.Drop(3));
    ASSERT_TRUE(PumpUntil([&] { return dlg.ShownLane() == 1 && !IsWindowVisible(dlg.m_cbLane); }, 5000));
    EXPECT_TRUE(SamePlace(PlaceOf(dlg, dlg.m_cbCommPort), oneLaneCommPort));
    RECT client;
    GetClientRect(dlg, &client);
    EXPECT_EQ(client.bottom, oneLaneClient.bottom);
    EXPECT_EQ(TipState(dlg), "COM5: capturing");
}
