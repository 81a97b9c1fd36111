#include "app/CollectorDlg.h"

#include <commctrl.h>

#include <memory>
#include <string>

#include "app/LaneText.h"
#include "app/LocalCapture.h"
#include "channel/Protocol.h"
#include "platform/FileDialog.h"
#include "platform/UIntArray.h"
#include "platform/WinApp.h"
#include "res/resource.h"
#include "serial/EnumerateSerialPorts.h"
#include "settings/RegistryKey.h"
#include "settings/SettingsStore.h"

namespace {

// The timer that offers the tray icon again while the shell refuses it.
const UINT_PTR kTrayRetryTimer = 1;
const char kDefaultFileName[] = "Orvane_POS_CAPTURE";
const char kFileFilter[] = "POS Files (*.txt)|*.txt|";
const DWORD kBrowseFlags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_EXPLORER | OFN_ENABLESIZING;
const char kNoFileText[] =
    "A valid output file was not specified.  Please select a valid file before attempting this operation again.";
const char kNoFileCaption[] = "Select File";
// A close waits this long for the boxes it answers to go.
const DWORD kMessageBoxesCloseMs = 500;
// Marks the window of a collector that is closing, for a second start to see.
const char kClosingProp[] = "Tarnwick.OrvaneDVR.POSCollector.Closing";
const char kServiceUnreachable[] =
    "The Orvane POS Collector service cannot be reached, so the capture cannot be started or stopped from here.  "
    "It may be stopped or still starting: check the service \"Orvane POS Collector\" in Services, then try again.";
const char kServiceCaption[] = "Orvane POS Collector";
const char kViewOnlyText[] =
    "Only administrators and the operators named for this PC can start, stop or change the capture.  This window "
    "shows the capture and its settings; the service sees you as %s.  To be allowed, ask the PC's administrator to "
    "add your account or group to the collector's operators.";
// Windows starts the window again, hidden in the tray, after an install closed it; not after a
// crash, a hang or a reboot (the logon entry starts it then).
const wchar_t kRestartCommandLineW[] = L"/tray";
const DWORD kRestartFlags = RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT;
// The tray menu of a window whose capture goes on without it.
const UINT kMenuOpen = 1;
const UINT kMenuExit = 2;
const UINT kMenuAddLane = 3;
const UINT kMenuRemoveLane = 4;
const short kProgressMax = 1000;
// The Lane row, in dialog units: the settings move down by its height to make room above them.
const int kLaneRowHeight = 15;
const RECT kLaneLabelUnits = {10, 13, 42, 10};
const RECT kLaneListUnits = {54, 10, 75, 100};
const RECT kLaneStateUnits = {135, 13, 94, 10};
// The outputs' lines (two, wrapped; all of it in the tip): left and size in dialog units, the top
// the progress bar's.
const int kOutputsRowHeight = 20;
const RECT kOutputsUnits = {4, 0, 222, 18};

struct ListItem {
    const char* text;
    DWORD data;
};
// Receipt printers and terminals also run at the three fastest rates.
const ListItem kBaudRates[] = {{"1200", 1200},   {"2400", 2400},   {"4800", 4800},    {"9600", 9600},
                               {"19200", 19200}, {"38400", 38400}, {"57600", 57600}, {"115200", 115200}};
// The data are the Parity and StopBits values the serial port and the registry use.
const ListItem kParities[] = {{"EVEN", 0}, {"MARK", 1}, {"NONE", 2}, {"ODD", 3}, {"SPACE", 4}};
const ListItem kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};

template <size_t N>
void InsertItems(CComboBox& list, const ListItem (&items)[N])
{
    for (size_t i = 0; i < N; ++i) {
        int index = list.InsertString(static_cast<int>(i), items[i].text);
        list.SetItemData(index, items[i].data);
    }
}

// Selects the item whose text is exactly the number; none when no item is.
void SelectNumber(CComboBox& list, int value)
{
    CString text;
    text.Format("%d", value);
    list.SetCurSel(list.FindStringExact(-1, text));
}

// The stored value of the selected item: -1 when nothing is selected, as the control answers.
int SelectedData(const CComboBox& list)
{
    return static_cast<int>(list.GetItemData(list.GetCurSel()));
}

// A new lane's capture file beside the shown lane's: "sales.txt" becomes "sales-lane3.txt", so
// that two lanes never write one file.
CString LaneFile(const CString& path, int lane)
{
    std::string file = path.GetString();
    if (file.empty()) return path;
    const size_t slash = file.find_last_of("\\/");
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = file.size();
    std::string stem = file.substr(0, dot);
    // The shown lane's own suffix goes, so that lane 4 added from lane 3 is not "-lane3-lane4".
    const size_t suffix = stem.rfind("-lane");
    if (suffix != std::string::npos && suffix + 5 < stem.size() &&
        stem.find_first_not_of("0123456789", suffix + 5) == std::string::npos)
        stem.erase(suffix);
    return (stem + "-lane" + std::to_string(lane) + file.substr(dot)).c_str();
}

RECT DialogRect(HWND dialog, const RECT& units)
{
    RECT r = units;
    ::MapDialogRect(dialog, &r);
    return r; // left, top, width, height
}

} // namespace

CCollectorDlg::CCollectorDlg(CWnd* parent)
    : CDialog(IDD, parent),
      m_hIcon(AfxLoadIcon(IDR_MAINFRAME)),
      m_nTaskbarCreated(::RegisterWindowMessageA("TaskbarCreated")),
      m_capture(std::make_unique<CLocalCapture>())
{
}

CCollectorDlg::~CCollectorDlg()
{
    // Only when the window was never closed properly (a test dropping a modeless dialog).
    m_capture->Close("stopped");
    if (m_hWnd) RemoveTrayIcon();
}

void CCollectorDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_STOP, m_btnStop);
    DDX_Control(pDX, IDC_RUN, m_btnRun);
    DDX_Control(pDX, IDC_STOPBITS, m_cbStopBits);
    DDX_Control(pDX, IDC_RUNATSTARTUP, m_chkRunAtStartup);
    DDX_Control(pDX, IDC_PARITY, m_cbParity);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_DATAFILE, m_editDataFile);
    DDX_Control(pDX, IDC_BROWSE, m_btnBrowse);
    DDX_Control(pDX, IDC_DATABITS, m_cbDataBits);
    DDX_Control(pDX, IDC_COMMPORT, m_cbCommPort);
    DDX_Control(pDX, IDC_BAUDRATE, m_cbBaudRate);
}

bool CCollectorDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    m_capture->Start(m_hWnd, WM_CAPTURENOTIFY);
    AddFileTip();
    LoadSettings();
    AllowShellMessages();
    AddTrayIcon();
    m_progress.SetRange(0, kProgressMax);
    if (!m_capture->Connected()) {
        // Nothing to start, stop or change until the service answers.
        m_btnRun.ModifyStyle(0, WS_DISABLED);
        m_btnStop.ModifyStyle(0, WS_DISABLED);
        EnableSettingControls(false);
    }
    if (m_capture->ClosingHides()) ::RegisterApplicationRestart(kRestartCommandLineW, kRestartFlags);
    if (m_capture->HasLanes()) AddLaneMenu();
    return true;
}

void CCollectorDlg::LoadSettings()
{
    TakeSettings(LoadCollectorSettings());

    FillPortList();

    InsertItems(m_cbBaudRate, kBaudRates);
    SelectNumber(m_cbBaudRate, m_nBaudRate);

    m_cbDataBits.SetItemData(m_cbDataBits.AddString("7"), 7);
    m_cbDataBits.SetItemData(m_cbDataBits.AddString("8"), 8);
    SelectNumber(m_cbDataBits, m_nDataBits);

    InsertItems(m_cbParity, kParities);
    m_cbParity.SetCurSel(m_nParity);

    InsertItems(m_cbStopBits, kStopBits);
    m_cbStopBits.SetCurSel(m_nStopBits);

    // Raises the change notice, which stores the same text again.
    ShowDataFile(m_strDataFile);

    if (m_bRunAtStartup) {
        m_chkRunAtStartup.SetCheck(BST_CHECKED);
        // Where the capture keeps the settings, it started at boot.
        if (m_capture->WindowKeepsSettings()) OnRun();
    }
}

void CCollectorDlg::FillPortList()
{
    CUIntArray ports;
    m_enumeratePorts(ports);
    m_cbCommPort.ResetContent();
    for (int i = 0; i < ports.GetSize(); ++i) {
        CString name;
        name.Format("COM%u", ports[i]);
        int index = m_cbCommPort.InsertString(i, name);
        m_cbCommPort.SetItemData(index, ports[i]);
    }
    SelectStoredPort();
}

void CCollectorDlg::SelectStoredPort()
{
    // The item that carries the stored port, wherever it stands in the list; none when
    // the port is not present, so that the list never shows another port than Run opens.
    int portIndex = -1;
    for (int i = 0; i < m_cbCommPort.GetCount(); ++i) {
        if (static_cast<int>(m_cbCommPort.GetItemData(i)) == m_nCommPort) {
            portIndex = i;
            break;
        }
    }
    m_cbCommPort.SetCurSel(portIndex);
}

void CCollectorDlg::TakeSettings(const CollectorSettings& settings)
{
    m_nCommPort = settings.commPort;
    m_nBaudRate = settings.baudRate;
    m_nDataBits = settings.dataBits;
    m_nParity = settings.parity;
    m_nStopBits = settings.stopBits;
    m_strDataFile = settings.dataFile;
    m_bRunAtStartup = settings.runAtStartup;
}

void CCollectorDlg::OnDropDownCommPort() { FillPortList(); }

bool CCollectorDlg::OnCommand(UINT id, UINT code, HWND control)
{
    switch (id) {
    case IDOK:
    case IDCANCEL:
        // Enter and Esc close the window as the close box does: for the service, into the tray.
        if (!m_capture->ClosingHides() || m_bExitRequested) break;
        ShowWindow(SW_HIDE);
        return true;
    case IDC_STOP:
        if (code != BN_CLICKED) break;
        OnStop();
        return true;
    case IDC_RUN:
        if (code != BN_CLICKED) break;
        OnRun();
        return true;
    case IDC_STOPBITS:
        if (code != CBN_SELCHANGE) break;
        OnSelChangeStopBits();
        return true;
    case IDC_RUNATSTARTUP:
        if (code != BN_CLICKED) break;
        OnRunAtStartupClicked();
        return true;
    case IDC_PARITY:
        // Text typed into the Parity box is not a choice: only a picked item is.
        if (code != CBN_SELCHANGE) break;
        OnSelChangeParity();
        return true;
    case IDC_BROWSE:
        if (code != BN_CLICKED) break;
        OnBrowse();
        return true;
    case IDC_DATABITS:
        if (code != CBN_SELCHANGE) break;
        OnSelChangeDataBits();
        return true;
    case IDC_COMMPORT:
        if (code == CBN_DROPDOWN) {
            OnDropDownCommPort();
            return true;
        }
        if (code != CBN_SELCHANGE) break;
        OnSelChangeCommPort();
        return true;
    case IDC_BAUDRATE:
        if (code != CBN_SELCHANGE) break;
        OnSelChangeBaudRate();
        return true;
    case IDC_DATAFILE:
        if (code != EN_CHANGE) break;
        OnDataFileChanged();
        return true;
    case IDC_LANE:
        if (code != CBN_SELCHANGE) break;
        OnSelChangeLane();
        return true;
    default:
        break;
    }
    return CDialog::OnCommand(id, code, control);
}

void CCollectorDlg::OnSelChangeCommPort() { m_nCommPort = SelectedData(m_cbCommPort); }

void CCollectorDlg::OnSelChangeBaudRate() { m_nBaudRate = SelectedData(m_cbBaudRate); }

void CCollectorDlg::OnSelChangeDataBits() { m_nDataBits = static_cast<unsigned char>(SelectedData(m_cbDataBits)); }

void CCollectorDlg::OnSelChangeParity() { m_nParity = SelectedData(m_cbParity); }

void CCollectorDlg::OnSelChangeStopBits() { m_nStopBits = SelectedData(m_cbStopBits); }

void CCollectorDlg::OnRunAtStartupClicked()
{
    m_bRunAtStartup = m_chkRunAtStartup.GetCheck();
    // The service acts on it at boot: it keeps it, not this window.
    if (!m_capture->Save(m_nLane, CurrentSettings())) ShowWarning(kServiceUnreachable, kServiceCaption);
}

void CCollectorDlg::OnDataFileChanged()
{
    m_editDataFile.GetWindowText(m_strDataFile);
    if (!m_hFileTip) return;
    TOOLINFOA tool = FileTool();
    ::SendMessageA(m_hFileTip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
}

TOOLINFOA CCollectorDlg::FileTool()
{
    TOOLINFOA tool = {};
    // The size every comctl32 version takes.
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_hWnd;
    tool.uId = reinterpret_cast<UINT_PTR>(m_editDataFile.GetSafeHwnd());
    tool.lpszText = const_cast<char*>(m_strDataFile.GetString());
    return tool;
}

void CCollectorDlg::AddFileTip()
{
    // The box is narrow for a path in ProgramData: pointing at it shows the whole path. The tip
    // is owned by the dialog and goes with it.
    m_hFileTip = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                   ::GetModuleHandleA(nullptr), nullptr);
    if (!m_hFileTip) return;
    TOOLINFOA tool = FileTool();
    ::SendMessageA(m_hFileTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    tool.uId = reinterpret_cast<UINT_PTR>(m_progress.GetSafeHwnd());
    tool.lpszText = const_cast<char*>("");
    ::SendMessageA(m_hFileTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    // Long enough for any path.
    ::SendMessageA(m_hFileTip, TTM_SETMAXTIPWIDTH, 0, 600);
}

void CCollectorDlg::ShowDataFile(const CString& path)
{
    m_editDataFile.SetWindowText(path);
    // The end of a long path, the file's name, is what tells one capture from another.
    const int length = path.GetLength();
    m_editDataFile.SendMessage(EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
    m_editDataFile.SendMessage(EM_SCROLLCARET);
}

void CCollectorDlg::OnBrowse()
{
    CFileDialog dialog(false, "txt", m_strDataFile.IsEmpty() ? kDefaultFileName : m_strDataFile.GetString(),
                       kBrowseFlags, kFileFilter, this);
    if (dialog.DoModal() == IDOK) ShowDataFile(dialog.GetPathName());
}

void CCollectorDlg::OnRun()
{
    // A command that reaches the window while its close is under way starts nothing.
    if (m_bDestroying) return;
    if (m_strDataFile.IsEmpty()) {
        ShowWarning(kNoFileText, kNoFileCaption);
        return;
    }
    // The service keeps the settings it runs with; this window writes none there.
    if (!m_capture->Run(m_nLane, CurrentSettings())) {
        ShowWarning(kServiceUnreachable, kServiceCaption);
        return;
    }
    OnCaptureNotify();
}

void CCollectorDlg::OnStop()
{
    if (!m_capture->Stop(m_nLane, m_bDestroying ? "the program was closed" : "stopped by the user")) {
        ShowWarning(kServiceUnreachable, kServiceCaption);
        return;
    }
    // The last try to write what waited may have failed: that is said, not dropped.
    OnCaptureNotify();
}

bool CCollectorDlg::Capturing() const
{
    const std::vector<LaneState> lanes = m_capture->Lanes();
    const LaneState* shown = FindLane(lanes, m_nLane);
    return m_capture->Connected() && shown && shown->status.state != CaptureState::Ended;
}

void CCollectorDlg::ShowCaptureSettings(const CollectorSettings& settings)
{
    m_captureSettings = settings;
    m_bCaptureSettingsShown = true;
    TakeSettings(settings);
    SelectStoredPort();
    SelectNumber(m_cbBaudRate, m_nBaudRate);
    SelectNumber(m_cbDataBits, m_nDataBits);
    m_cbParity.SetCurSel(m_nParity);
    m_cbStopBits.SetCurSel(m_nStopBits);
    m_chkRunAtStartup.SetCheck(m_bRunAtStartup ? BST_CHECKED : BST_UNCHECKED);
    // Raises the change notice, which stores the same text.
    ShowDataFile(settings.dataFile);
}

void CCollectorDlg::EnableSettingControls(bool enable)
{
    CWnd* controls[] = {&m_cbCommPort, &m_cbBaudRate, &m_cbDataBits, &m_cbParity,
                        &m_cbStopBits, &m_editDataFile, &m_btnBrowse, &m_chkRunAtStartup};
    for (CWnd* control : controls) {
        if (control->GetSafeHwnd()) ::EnableWindow(control->GetSafeHwnd(), enable ? TRUE : FALSE);
    }
}

void CCollectorDlg::ExplainViewOnly()
{
    // Not at a hidden /tray start: the first time the user opens the window.
    if (m_bViewOnlyExplained || !IsWindowVisible()) return;
    m_bViewOnlyExplained = true;
    CString text;
    text.Format(kViewOnlyText, m_capture->Account().GetString());
    m_messageBoxes.Post(text, kServiceCaption, MB_OK | MB_ICONINFORMATION);
}

void CCollectorDlg::OnCaptureNotify()
{
    m_capture->Refresh();
    if (m_capture->Dismissed() && !m_bExitRequested && !m_bDestroying) {
        // The service goes for an install: end as /close ends the window.
        m_bExitRequested = true;
        PostMessage(WM_CLOSE);
    }
    const bool connected = m_capture->Connected();
    const bool mayControl = connected && m_capture->MayControl();
    const std::vector<LaneState> lanes = m_capture->Lanes();
    // While the service is away the lanes stay as they were shown.
    if (connected) UpdateLanes(lanes);
    const LaneState* shown = connected ? FindLane(lanes, m_nLane) : nullptr;
    if (shown) {
        if (!m_capture->WindowKeepsSettings() && (!m_bCaptureSettingsShown || shown->settings != m_captureSettings))
            ShowCaptureSettings(shown->settings);
        if (mayControl) {
            SetRunning(shown->status.state != CaptureState::Ended);
        } else {
            m_btnRun.ModifyStyle(0, WS_DISABLED);
            m_btnStop.ModifyStyle(0, WS_DISABLED);
        }
        m_progress.SetPos(static_cast<int>(shown->status.reads % kProgressMax));
    } else {
        m_bCaptureSettingsShown = false;
        m_btnRun.ModifyStyle(0, WS_DISABLED);
        m_btnStop.ModifyStyle(0, WS_DISABLED);
    }
    m_btnRun.Invalidate(true);
    m_btnStop.Invalidate(true);
    EnableSettingControls(mayControl);
    if (m_capture->HasLanes()) {
        HMENU menu = ::GetSystemMenu(m_hWnd, FALSE);
        ::EnableMenuItem(menu, IDM_ADDLANE, MF_BYCOMMAND | (MayAddLane(lanes) ? MF_ENABLED : MF_GRAYED));
        ::EnableMenuItem(menu, IDM_REMOVELANE, MF_BYCOMMAND | (MayRemoveLane(lanes) ? MF_ENABLED : MF_GRAYED));
    }
    UpdateTrayTip();
    if (connected && !mayControl) ExplainViewOnly();
    for (const CString& refusal : m_capture->TakeRefusals()) {
        // A lane refused is not waited for.
        m_nAddedLane = 0;
        ShowWarning(refusal, kServiceCaption);
    }
    for (const CaptureMessage& message : m_capture->TakeMessages()) ShowWarning(message.text, message.caption);
}

void CCollectorDlg::ShowWarning(const CString& text, const CString& caption)
{
    // Owner-less, as a box must be seen while the dialog hides in the tray.
    m_messageBoxes.Post(text, caption, MB_OK | MB_ICONWARNING);
}

void CCollectorDlg::UpdateTrayTip()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    const bool connected = m_capture->Connected();
    const std::vector<LaneState> lanes = connected ? m_capture->Lanes() : std::vector<LaneState>();
    std::vector<CaptureStatus> statuses;
    for (const LaneState& lane : lanes) statuses.push_back(lane.status);
    const CString tip = TrayTipText(connected, statuses, now);
    const LaneState* shown = FindLane(lanes, m_nLane);
    UpdateStateTip(!connected ? CString(kUnreachableText)
                              : shown ? LaneStateText(shown->status, now) : CString("stopped"));
    if (m_laneState.GetSafeHwnd())
        m_laneState.SetWindowText(shown ? LaneStateText(shown->status, now, false).GetString() : "");
    ShowOutputs(shown ? OutputsText(shown->outputs) : CString());

    ::lstrcpynA(m_nid.szTip, tip, sizeof(m_nid.szTip));
    if (!m_nid.hWnd) return;
    m_nid.uFlags = NIF_TIP;
    ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
}

void CCollectorDlg::UpdateStateTip(const CString& text)
{
    if (!m_hFileTip) return;
    TOOLINFOA tool = FileTool();
    tool.uId = reinterpret_cast<UINT_PTR>(m_progress.GetSafeHwnd());
    tool.lpszText = const_cast<char*>(text.GetString());
    ::SendMessageA(m_hFileTip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
}

void CCollectorDlg::SetRunning(bool running)
{
    // A style change and a repaint, so that the button looks and acts disabled.
    m_btnRun.ModifyStyle(running ? 0 : WS_DISABLED, running ? WS_DISABLED : 0);
    m_btnRun.Invalidate(true);
    m_btnStop.ModifyStyle(running ? WS_DISABLED : 0, running ? 0 : WS_DISABLED);
    m_btnStop.Invalidate(true);
}

CollectorSettings CCollectorDlg::CurrentSettings() const
{
    CollectorSettings settings;
    settings.commPort = m_nCommPort;
    settings.baudRate = m_nBaudRate;
    settings.dataBits = m_nDataBits;
    settings.parity = m_nParity;
    settings.stopBits = m_nStopBits;
    settings.dataFile = m_strDataFile;
    settings.runAtStartup = m_bRunAtStartup;
    return settings;
}

bool CCollectorDlg::DestroyWindow()
{
    // The DestroyWindow under way finishes the job.
    if (m_bDestroying || !m_hWnd) return false;
    m_bDestroying = true;
    ::SetPropA(m_hWnd, kClosingProp, reinterpret_cast<HANDLE>(1));
    // Messages still waiting for OK go with the window, unanswered.
    m_messageBoxes.Close(kMessageBoxesCloseMs);
    // The window's own capture ends with it; the service's goes on.
    m_capture->Close("the program was closed");
    // Saved already when the session ended; the service keeps its own.
    if (!m_bSessionEnded && m_capture->WindowKeepsSettings()) {
        CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, CurrentSettings());
    }
    RemoveTrayIcon();
    ::RemovePropA(m_hWnd, kClosingProp);
    bool destroyed = CDialog::DestroyWindow();
    m_bDestroying = false;
    return destroyed;
}

bool CCollectorDlg::IsClosing(HWND window) { return ::GetPropA(window, kClosingProp) != nullptr; }

void CCollectorDlg::OnEndSession(bool ending)
{
    if (!ending || m_bSessionEnded) return;
    // The system ends the process once this returns: the capture file must be complete
    // and the settings written now.
    m_bSessionEnded = true;
    // Settings first: a slow stop must not cost them when the system ends the process. The
    // service keeps its own.
    if (m_capture->WindowKeepsSettings()) {
        CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, CurrentSettings());
    }
    m_capture->Close("the Windows session ended");
    RemoveTrayIcon();
    m_messageBoxes.Close(kMessageBoxesCloseMs);
    // At logoff the system may end the process from now on; the Restart Manager instead waits
    // for it to end by itself.
    EndDialog(IDCANCEL);
}

void CCollectorDlg::AddTrayIcon()
{
    m_nid = NOTIFYICONDATAA{};
    // The tip only: the icon is not the shell's yet, there is nothing to modify.
    UpdateTrayTip();
    m_nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    m_nid.hWnd = m_hWnd;
    m_nid.uID = 0;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_TRAYNOTIFY;
    m_nid.hIcon = m_hIcon;
    TryAddTrayIcon();
}

void CCollectorDlg::TryAddTrayIcon()
{
    // Started at logon, the collector may come before the task bar, and the add fails. A
    // hidden collector without its icon could not be brought back: offer it again until it
    // takes. The add may also fail on a shell too busy to answer that did take the icon,
    // which a modify then finds.
    if (m_shellNotifyIcon(NIM_ADD, &m_nid) || m_shellNotifyIcon(NIM_MODIFY, &m_nid))
        ::KillTimer(m_hWnd, kTrayRetryTimer);
    else
        ::SetTimer(m_hWnd, kTrayRetryTimer, m_trayRetryMs, nullptr);
}

void CCollectorDlg::AllowShellMessages()
{
    // An elevated window gets no messages from the shell's lower integrity level unless let
    // through: without these its icon would not come back nor answer a click.
    ::ChangeWindowMessageFilterEx(m_hWnd, m_nTaskbarCreated, MSGFLT_ALLOW, nullptr);
    ::ChangeWindowMessageFilterEx(m_hWnd, WM_TRAYNOTIFY, MSGFLT_ALLOW, nullptr);
}

void CCollectorDlg::KeepHiddenForTray(UINT message, LPARAM lParam)
{
    if (!m_bStartInTray) return;
    if (message == WM_TRAYNOTIFY && static_cast<UINT>(lParam) == WM_LBUTTONDBLCLK) {
        m_bStartInTray = false;
    } else if (message == WM_WINDOWPOSCHANGING) {
        // The dialog manager shows a WS_VISIBLE template after WM_INITDIALOG; hiding it then
        // would flash it on the screen.
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
    }
}

void CCollectorDlg::RemoveTrayIcon()
{
    ::KillTimer(m_hWnd, kTrayRetryTimer);
    ::Shell_NotifyIconA(NIM_DELETE, &m_nid);
    m_nid.hWnd = nullptr;
}

void CCollectorDlg::OnSize(UINT type, int, int)
{
    GetWindowRect(&m_rcWindow);
    // A Lane row that came or went while the window was minimised is laid out now.
    if (type == SIZE_RESTORED && m_capture->HasLanes()) PostMessage(WM_CAPTURENOTIFY);
    if (type == SIZE_MINIMIZED) {
        Default();
        // Hidden, the dialog has no task-bar button: only the tray icon remains.
        ShowWindow(SW_HIDE);
    }
}

LRESULT CCollectorDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    KeepHiddenForTray(message, lParam);
    if (message == WM_TIMER && wParam == kTrayRetryTimer) {
        if (m_nid.hWnd) TryAddTrayIcon();
        return 0;
    }
    if (message == WM_TRAYNOTIFY) {
        // A window on its way out is not brought back.
        if (static_cast<UINT>(lParam) == WM_LBUTTONDBLCLK && !m_bDestroying) Restore();
        if (static_cast<UINT>(lParam) == WM_RBUTTONUP && m_capture->ClosingHides() && !m_bDestroying) ShowTrayMenu();
        // Consumed: the dialog manager reads this number as DM_SETDEFID.
        return 0;
    }
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == IDM_ADDLANE) {
        OnAddLane();
        return 0;
    }
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == IDM_REMOVELANE) {
        OnRemoveLane();
        return 0;
    }
    if (m_capture->ClosingHides() && !m_bExitRequested) {
        // The capture is the service's: closing the window only hides it in the tray.
        if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
            ShowWindow(SW_HIDE);
            return 0;
        }
        // Not the user's close box: /close, the tray's Exit, the Restart Manager.
        if (message == WM_CLOSE) m_bExitRequested = true;
    }
    if (message == WM_CAPTURENOTIFY) {
        OnCaptureNotify();
        return 0;
    }
    // Shown for the first time: a view-only window explains itself now.
    if (message == WM_SHOWWINDOW && wParam && !m_capture->MayControl()) PostMessage(WM_CAPTURENOTIFY);
    if (message == m_nTaskbarCreated && m_nTaskbarCreated != 0) {
        // The shell restarted and forgot our icon.
        AddTrayIcon();
    } else if (message == WM_ENDSESSION) {
        OnEndSession(wParam != FALSE);
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

void CCollectorDlg::Restore()
{
    m_bStartInTray = false;
    // Neither place nor size changes: the flags say so; SW_SHOWNORMAL restores it.
    SetWindowPos(HWND_TOP, m_rcWindow.left, m_rcWindow.top, m_rcWindow.right, m_rcWindow.bottom,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
    ShowWindow(SW_SHOWNORMAL);
}

void CCollectorDlg::ShowTrayMenu()
{
    CMenuHandle menu(::CreatePopupMenu());
    if (!menu.Get()) return;
    ::AppendMenuA(menu.Get(), MF_STRING, kMenuOpen, "Open");
    if (m_capture->HasLanes()) {
        // The shown lane is named: the window may be hidden.
        const std::vector<LaneState> lanes = m_capture->Lanes();
        const LaneState* shown = FindLane(lanes, m_nLane);
        CString remove("Remove Lane");
        if (MayRemoveLane(lanes) && shown) remove.Format("Remove Lane %d (COM%d)", shown->lane, shown->settings.commPort);
        ::AppendMenuA(menu.Get(), MF_SEPARATOR, 0, nullptr);
        ::AppendMenuA(menu.Get(), MF_STRING | (MayAddLane(lanes) ? 0 : MF_GRAYED), kMenuAddLane, "Add Lane");
        ::AppendMenuA(menu.Get(), MF_STRING | (MayRemoveLane(lanes) ? 0 : MF_GRAYED), kMenuRemoveLane, remove);
        ::AppendMenuA(menu.Get(), MF_SEPARATOR, 0, nullptr);
    }
    ::AppendMenuA(menu.Get(), MF_STRING, kMenuExit, "Exit");
    ::SetMenuDefaultItem(menu.Get(), kMenuOpen, FALSE);
    POINT at = {};
    ::GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(m_hWnd);
    UINT chosen = ::TrackPopupMenu(menu.Get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0,
                                   m_hWnd, nullptr);
    PostMessage(WM_NULL);
    if (chosen == kMenuOpen) Restore();
    if (chosen == kMenuAddLane) OnAddLane();
    if (chosen == kMenuRemoveLane) OnRemoveLane();
    // Only this window goes; the service's capture goes on.
    if (chosen == kMenuExit) PostMessage(WM_CLOSE);
}

void CCollectorDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    int cxIcon = ::GetSystemMetrics(SM_CXICON);
    int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CCollectorDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CCollectorDlg::AddLaneMenu()
{
    HMENU menu = ::GetSystemMenu(m_hWnd, FALSE);
    if (!menu) return;
    // Greyed until the service says this window may change the capture.
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING | MF_GRAYED, IDM_ADDLANE, "Add Lane");
    ::AppendMenuA(menu, MF_STRING | MF_GRAYED, IDM_REMOVELANE, "Remove Lane");

    // The Lane row, hidden until there is a second lane.
    HFONT font = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    m_laneLabel.Attach(::CreateWindowExA(0, "STATIC", "Lane", WS_CHILD | SS_LEFT, 0, 0, 0, 0, m_hWnd, nullptr,
                                         instance, nullptr));
    m_cbLane.Attach(::CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, 0,
                                      0, 0, m_hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LANE)),
                                      instance, nullptr));
    m_laneState.Attach(::CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 0,
                                         0, m_hWnd, nullptr, instance, nullptr));
    for (CWnd* control : {&m_laneLabel, static_cast<CWnd*>(&m_cbLane), &m_laneState}) {
        if (!control->GetSafeHwnd()) continue;
        control->SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        const RECT units = control == &m_laneLabel ? kLaneLabelUnits : control == &m_cbLane ? kLaneListUnits
                                                                                            : kLaneStateUnits;
        const RECT r = DialogRect(m_hWnd, units);
        control->SetWindowPos(nullptr, r.left, r.top, r.right, r.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    m_outputs.Attach(::CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0, 0, 0, 0,
                                       m_hWnd, nullptr, instance, nullptr));
    if (m_outputs.GetSafeHwnd()) m_outputs.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    // First in the tab order, as it comes first on the screen.
    if (m_cbLane.GetSafeHwnd()) m_cbLane.SetWindowPos(HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void CCollectorDlg::UpdateLanes(const std::vector<LaneState>& lanes)
{
    // A lane this window added is shown once the service lists it.
    if (m_nAddedLane && FindLane(lanes, m_nAddedLane)) {
        m_nLane = m_nAddedLane;
        m_nAddedLane = 0;
        m_bCaptureSettingsShown = false;
    }
    // The shown lane was removed (here or elsewhere): lane 1 is always there.
    if (!FindLane(lanes, m_nLane)) {
        m_nLane = 1;
        m_bCaptureSettingsShown = false;
    }
    if (!m_cbLane.GetSafeHwnd()) return;
    std::vector<CString> items;
    for (const LaneState& lane : lanes) {
        CString item;
        item.Format("Lane %d (COM%d)", lane.lane, lane.settings.commPort);
        items.push_back(item);
    }
    if (items != m_laneItems) {
        m_cbLane.ResetContent();
        for (size_t i = 0; i < items.size(); ++i)
            m_cbLane.SetItemData(m_cbLane.AddString(items[i]), static_cast<DWORD>(lanes[i].lane));
        m_laneItems = items;
    }
    for (int i = 0; i < m_cbLane.GetCount(); ++i)
        if (static_cast<int>(m_cbLane.GetItemData(i)) == m_nLane) m_cbLane.SetCurSel(i);
    ShowLaneRow(lanes.size() >= 2);
}

void CCollectorDlg::ShowLaneRow(bool show)
{
    // Minimised, the window's size is not its own to change: done when it is restored.
    if (show == m_bLaneRowShown || IsIconic()) return;
    m_bLaneRowShown = show;
    const RECT row = DialogRect(m_hWnd, RECT{0, 0, 0, kLaneRowHeight});
    const int dy = show ? row.bottom : -row.bottom;
    // Everything moves down by the row's height, and the window grows by it: with one lane the
    // window is exactly as it was.
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (child == m_laneLabel.GetSafeHwnd() || child == m_cbLane.GetSafeHwnd() || child == m_laneState.GetSafeHwnd())
            continue;
        RECT r;
        ::GetWindowRect(child, &r);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
        ::SetWindowPos(child, nullptr, r.left, r.top + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT window;
    GetWindowRect(&window);
    SetWindowPos(nullptr, 0, 0, window.right - window.left, window.bottom - window.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    for (CWnd* control : {&m_laneLabel, static_cast<CWnd*>(&m_cbLane), &m_laneState})
        if (control->GetSafeHwnd()) control->ShowWindow(show ? SW_SHOWNA : SW_HIDE);
    Invalidate(true);
}

void CCollectorDlg::ShowOutputs(const CString& text)
{
    if (!m_outputs.GetSafeHwnd()) return;
    CString shown;
    m_outputs.GetWindowText(shown);
    if (shown != text) {
        m_outputs.SetWindowText(text);
        if (m_hFileTip) {
            // Pointing at the lines shows them whole, however many outputs there are.
            TOOLINFOA tool = FileTool();
            tool.uId = reinterpret_cast<UINT_PTR>(m_outputs.GetSafeHwnd());
            tool.lpszText = const_cast<char*>(text.GetString());
            ::SendMessageA(m_hFileTip, m_bOutputsTip ? TTM_UPDATETIPTEXTA : TTM_ADDTOOLA, 0,
                           reinterpret_cast<LPARAM>(&tool));
            m_bOutputsTip = true;
        }
    }
    const bool show = !text.IsEmpty();
    if (show == m_bOutputsShown || IsIconic()) return;
    m_bOutputsShown = show;
    // The line takes the progress bar's place, and the bar and the window's bottom move down by
    // a row: without outputs the window is as it was.
    const RECT row = DialogRect(m_hWnd, RECT{0, 0, 0, kOutputsRowHeight});
    const int dy = show ? row.bottom : -row.bottom;
    RECT bar;
    m_progress.GetWindowRect(&bar);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&bar), 2);
    m_progress.SetWindowPos(nullptr, bar.left, bar.top + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (show) {
        const RECT line = DialogRect(m_hWnd, kOutputsUnits);
        m_outputs.SetWindowPos(nullptr, line.left, bar.top + 1, line.right, line.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT window;
    GetWindowRect(&window);
    SetWindowPos(nullptr, 0, 0, window.right - window.left, window.bottom - window.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    m_outputs.ShowWindow(show ? SW_SHOWNA : SW_HIDE);
    Invalidate(true);
}

void CCollectorDlg::OnSelChangeLane()
{
    const int lane = SelectedData(m_cbLane);
    if (lane < 1 || lane == m_nLane) return;
    m_nLane = lane;
    // The picked lane's settings replace whatever was being picked for the other one.
    m_bCaptureSettingsShown = false;
    OnCaptureNotify();
}

bool CCollectorDlg::MayAddLane(const std::vector<LaneState>& lanes) const
{
    return m_capture->HasLanes() && m_capture->Connected() && m_capture->MayControl() && !lanes.empty() &&
           static_cast<int>(lanes.size()) < channel::kMaxLanes;
}

bool CCollectorDlg::MayRemoveLane(const std::vector<LaneState>& lanes) const
{
    return m_capture->HasLanes() && m_capture->Connected() && m_capture->MayControl() && m_nLane != 1 &&
           FindLane(lanes, m_nLane);
}

void CCollectorDlg::OnAddLane()
{
    const std::vector<LaneState> lanes = m_capture->Lanes();
    if (m_bDestroying || !MayAddLane(lanes)) return;
    int lane = 2;
    while (FindLane(lanes, lane)) ++lane;
    CollectorSettings settings = CurrentSettings();
    // A port no lane has yet, where there is one: the service refuses a port taken.
    CUIntArray ports;
    m_enumeratePorts(ports);
    for (int i = 0; i < ports.GetSize(); ++i) {
        bool taken = false;
        for (const LaneState& other : lanes) taken = taken || other.settings.commPort == static_cast<int>(ports[i]);
        if (!taken) {
            settings.commPort = static_cast<int>(ports[i]);
            break;
        }
    }
    settings.dataFile = LaneFile(settings.dataFile, lane);
    // Nothing of a new lane runs until someone presses Run for it.
    settings.runAtStartup = 0;
    if (!m_capture->AddLane(lane, settings)) {
        ShowWarning(kServiceUnreachable, kServiceCaption);
        return;
    }
    m_nAddedLane = lane;
}

void CCollectorDlg::OnRemoveLane()
{
    const std::vector<LaneState> lanes = m_capture->Lanes();
    if (m_bDestroying || !MayRemoveLane(lanes)) return;
    if (!m_capture->RemoveLane(m_nLane)) ShowWarning(kServiceUnreachable, kServiceCaption);
}
