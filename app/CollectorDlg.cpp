#include "app/CollectorDlg.h"

#include <commctrl.h>

#include <memory>

#include "capture/CaptureWorker.h"
#include "platform/FileDialog.h"
#include "platform/UIntArray.h"
#include "platform/WinApp.h"
#include "res/resource.h"
#include "serial/EnumerateSerialPorts.h"
#include "settings/RegistryKey.h"
#include "settings/SettingsStore.h"

namespace {

const char kTrayTip[] = "Orvane POS Emulator";
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
// The tray menu of client mode.
const UINT kMenuOpen = 1;
const UINT kMenuExit = 2;
const short kProgressMax = 1000;

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

} // namespace

CCollectorDlg::CCollectorDlg(CWnd* parent)
    : CDialog(IDD, parent),
      m_hIcon(AfxLoadIcon(IDR_MAINFRAME)),
      m_nTaskbarCreated(::RegisterWindowMessageA("TaskbarCreated"))
{
}

CCollectorDlg::~CCollectorDlg()
{
    // Only when the window was never closed properly (a test dropping a modeless dialog).
    StopWorker();
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
    m_pWorker = nullptr;
    AddFileTip();
    LoadSettings();
    AllowShellMessages();
    AddTrayIcon();
    m_progress.SetRange(0, kProgressMax);
    if (m_bClientMode) {
        m_service.Start(m_hWnd, WM_CAPTURENOTIFY, m_pipeName, m_expectedServer);
        // Nothing to start, stop or change until the service answers.
        m_btnRun.ModifyStyle(0, WS_DISABLED);
        m_btnStop.ModifyStyle(0, WS_DISABLED);
        EnableSettingControls(false);
        ::RegisterApplicationRestart(kRestartCommandLineW, kRestartFlags);
    }
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
        // In client mode the service started it at boot.
        if (!m_bClientMode) OnRun();
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
        // Enter and Esc close the window as the close box does: in client mode, into the tray.
        if (!m_bClientMode || m_bExitRequested) break;
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
    if (m_bClientMode && !m_service.Save(CurrentSettings())) ShowWarning(kServiceUnreachable, kServiceCaption);
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
    if (!m_bClientMode) StopWorker("a new capture was started");
    if (m_strDataFile.IsEmpty()) {
        ShowWarning(kNoFileText, kNoFileCaption);
        return;
    }
    if (m_bClientMode) {
        // The service keeps the settings it runs with; this window writes none.
        if (!m_service.Run(CurrentSettings())) ShowWarning(kServiceUnreachable, kServiceCaption);
        return;
    }
    m_lastEnd = CaptureEnd::None;
    m_pWorker = new CCaptureWorker;
    m_pWorker->SetNotifyWindow(m_hWnd, WM_CAPTURENOTIFY);
    m_progress.SetPos(0);
    m_pWorker->Start(MakeCaptureRequest(CurrentSettings(), ThisProcess("a window")));
    SetRunning(true);
    UpdateTrayTip();
}

void CCollectorDlg::OnStop()
{
    if (m_bClientMode) {
        if (!m_service.StopCapture()) ShowWarning(kServiceUnreachable, kServiceCaption);
        return;
    }
    std::vector<CaptureMessage> messages;
    m_lastEnd = StopWorker(m_bDestroying ? "the program was closed" : "stopped by the user", &messages);
    SetRunning(false);
    UpdateTrayTip();
    // The last try to write what waited may have failed: that is said, not dropped.
    for (const CaptureMessage& message : messages) ShowWarning(message.text, message.caption);
}

CaptureEnd CCollectorDlg::StopWorker(const char* why, std::vector<CaptureMessage>* messages)
{
    // Out of m_pWorker first, so that nothing reached from here can stop it twice.
    std::unique_ptr<CCaptureWorker> worker(m_pWorker);
    m_pWorker = nullptr;
    if (!worker) return CaptureEnd::None;
    worker->StopBecause(why);
    if (messages) *messages = worker->TakeMessages();
    return worker->GetStatus().end;
}

void CCollectorDlg::OnServiceNotify()
{
    if (m_service.Dismissed() && !m_bExitRequested && !m_bDestroying) {
        // The service goes for an install: end as /close ends the window.
        m_bExitRequested = true;
        PostMessage(WM_CLOSE);
    }
    const bool connected = m_service.Connected();
    const CaptureStatus status = m_service.Status();
    const bool mayControl = connected && m_service.MayControl();
    if (connected) {
        const CollectorSettings settings = m_service.Settings();
        if (!m_bServiceSettingsShown || settings != m_serviceSettings) ShowServiceSettings(settings);
        if (mayControl) {
            SetRunning(m_service.Running());
        } else {
            m_btnRun.ModifyStyle(0, WS_DISABLED);
            m_btnStop.ModifyStyle(0, WS_DISABLED);
        }
        m_lastEnd = status.state == CaptureState::Ended ? status.end : CaptureEnd::None;
        m_progress.SetPos(static_cast<int>(status.reads % kProgressMax));
    } else {
        m_bServiceSettingsShown = false;
        m_btnRun.ModifyStyle(0, WS_DISABLED);
        m_btnStop.ModifyStyle(0, WS_DISABLED);
    }
    m_btnRun.Invalidate(true);
    m_btnStop.Invalidate(true);
    EnableSettingControls(mayControl);
    UpdateTrayTip();
    if (connected && !mayControl) ExplainViewOnly();
    for (const CString& refusal : m_service.TakeRefusals()) ShowWarning(refusal, kServiceCaption);
    for (const CaptureMessage& message : m_service.TakeMessages()) ShowWarning(message.text, message.caption);
}

void CCollectorDlg::ShowServiceSettings(const CollectorSettings& settings)
{
    m_serviceSettings = settings;
    m_bServiceSettingsShown = true;
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
    text.Format(kViewOnlyText, m_service.Account().GetString());
    m_messageBoxes.Post(text, kServiceCaption, MB_OK | MB_ICONINFORMATION);
}

void CCollectorDlg::OnCaptureNotify()
{
    if (m_bClientMode) {
        OnServiceNotify();
        return;
    }
    // News from a worker already stopped is stale.
    if (!m_pWorker) return;
    CaptureStatus status = m_pWorker->GetStatus();
    std::vector<CaptureMessage> messages = m_pWorker->TakeMessages();
    m_progress.SetPos(static_cast<int>(status.reads % kProgressMax));
    if (status.state == CaptureState::Ended) {
        // Ended for good on its own: the window must not claim a capture any more.
        StopWorker();
        m_lastEnd = status.end;
        SetRunning(false);
    }
    UpdateTrayTip();
    for (const CaptureMessage& message : messages) ShowWarning(message.text, message.caption);
}

void CCollectorDlg::ShowWarning(const CString& text, const CString& caption)
{
    // Owner-less, as a box must be seen while the dialog hides in the tray.
    m_messageBoxes.Post(text, caption, MB_OK | MB_ICONWARNING);
}

CString CCollectorDlg::StateText() const
{
    CString text;
    if (m_bClientMode && !m_service.Connected()) return "the service cannot be reached";
    if (m_pWorker || (m_bClientMode && m_service.Running())) {
        CaptureStatus status = m_bClientMode ? m_service.Status() : m_pWorker->GetStatus();
        const char* what = "opening the port";
        if (status.state == CaptureState::Capturing)
            what = "capturing";
        else if (status.state == CaptureState::WaitingForPort)
            what = "waiting for the port";
        else if (status.state == CaptureState::WaitingForFile)
            what = "waiting for the capture file";
        else if (status.state == CaptureState::Ended)
            what = "stopped";
        text.Format("COM%d: %s", status.port, what);
        return text;
    }
    switch (m_lastEnd) {
    case CaptureEnd::SettingsInvalid:
        return "stopped: settings not valid";
    case CaptureEnd::SettingsRefused:
        return "stopped: line settings refused";
    case CaptureEnd::FileNotCreated:
        return "stopped: capture file cannot be created";
    case CaptureEnd::FileNotWritten:
        return "stopped: capture file cannot be written";
    case CaptureEnd::None:
        break;
    }
    return "stopped";
}

void CCollectorDlg::UpdateTrayTip()
{
    CString tip(kTrayTip);
    tip += "\n";
    tip += StateText();
    ::lstrcpynA(m_nid.szTip, tip, sizeof(m_nid.szTip));
    if (!m_nid.hWnd) return;
    m_nid.uFlags = NIF_TIP;
    ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
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
    // A window of the service's capture goes; the capture does not.
    if (m_bClientMode)
        m_service.Stop();
    else
        OnStop();
    // Saved already when the session ended; in client mode the service keeps them.
    if (!m_bSessionEnded && !m_bClientMode) {
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
    // Settings first: a slow stop must not cost them when the system ends the process. In
    // client mode the service keeps them.
    if (!m_bClientMode) {
        CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, CurrentSettings());
    }
    StopWorker("the Windows session ended");
    m_service.Stop();
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
        if (static_cast<UINT>(lParam) == WM_RBUTTONUP && m_bClientMode && !m_bDestroying) ShowTrayMenu();
        // Consumed: the dialog manager reads this number as DM_SETDEFID.
        return 0;
    }
    if (m_bClientMode && !m_bExitRequested) {
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
    if (message == WM_SHOWWINDOW && wParam && m_bClientMode) PostMessage(WM_CAPTURENOTIFY);
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
