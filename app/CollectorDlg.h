#pragma once
// CCollectorDlg: the collector's one dialog. It shows the seven settings of a lane, runs and
// stops the lane's capture through the capture it is given, and lives in the notification area
// while it is minimised. With several lanes (the service's) a Lane list picks the lane shown.
#include <windows.h>

#include <shellapi.h>

#include <commctrl.h>

#include <memory>
#include <vector>

#include "app/CollectorCapture.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/MessageBoxQueue.h"
#include "platform/ProgressCtrl.h"
#include "platform/String.h"
#include "platform/UIntArray.h"
#include "serial/EnumerateSerialPorts.h"
#include "settings/SettingsStore.h"

// The tray icon's callback message.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;
// Posted by the capture (its thread or the channel's): a state changed or a message waits.
constexpr UINT WM_CAPTURENOTIFY = WM_APP + 1;

class CCollectorDlg : public CDialog {
public:
    enum { IDD = 102 };

    explicit CCollectorDlg(CWnd* parent = nullptr);
    ~CCollectorDlg() override;

    // Stops capture, saves the settings, removes the tray icon, then destroys the window.
    bool DestroyWindow() override;
    // Whether a collector's window is being closed: another start waits for it to end.
    static bool IsClosing(HWND window);
    // Set before the dialog is created: the service's lanes, or (by default) a capture of the
    // window's own.
    void UseCapture(std::unique_ptr<ICollectorCapture> capture) { m_capture = std::move(capture); }
    // The lane the window shows, and whether its capture runs or waits for its port or file.
    int ShownLane() const { return m_nLane; }
    bool Capturing() const;

    // Bound to the controls, in this order, by DoDataExchange.
    CButton m_btnStop;
    CButton m_btnRun;
    CComboBox m_cbStopBits;
    CButton m_chkRunAtStartup;
    CComboBox m_cbParity;
    CProgressCtrl m_progress;
    CEdit m_editDataFile;
    CButton m_btnBrowse;
    CComboBox m_cbDataBits;
    CComboBox m_cbCommPort;
    CComboBox m_cbBaudRate;
    // Made when there are two lanes or more; above the settings.
    CComboBox m_cbLane;
    HICON m_hIcon;

    // The settings as the user sees them (the registry values of the same names).
    int m_bRunAtStartup = 0;
    CString m_strDataFile;
    int m_nCommPort = 1;
    unsigned char m_nDataBits = 8;
    int m_nStopBits = 0;
    int m_nParity = 2;
    int m_nBaudRate = 9600;

    NOTIFYICONDATAA m_nid{};
    RECT m_rcWindow{};

    void LoadSettings();
    void OnRun();
    void OnStop();
    void OnBrowse();
    void OnSelChangeCommPort();
    void OnSelChangeBaudRate();
    void OnSelChangeDataBits();
    void OnSelChangeParity();
    void OnSelChangeStopBits();
    void OnRunAtStartupClicked();
    void OnDataFileChanged();

    void AddTrayIcon();
    void RemoveTrayIcon();
    // The capture thread's news: buttons, tray tip and messages follow the capture.
    void OnCaptureNotify();
    // Dropping down the Comm Port list lists the ports again: adapters come and go.
    void OnDropDownCommPort();
    // The tip the tray icon shows: the product, then what the capture is doing.
    const char* TrayTip() const { return m_nid.szTip; }
    // The tips of the File box (the whole path) and of the progress bar (the shown lane's
    // state); null when it could not be made.
    HWND FileTip() const { return m_hFileTip; }
    void OnSelChangeLane();
    // The next free lane, with the window's settings on a port no lane has, not running.
    void OnAddLane();
    // The shown lane goes; lane 1 stays.
    void OnRemoveLane();

    // How the ports are listed; tests stand in for hardware that Wine lists only at start.
    void (*m_enumeratePorts)(CUIntArray& ports) = EnumerateSerialPorts;

    // Set before the dialog is created: it opens hidden with only its tray icon (the /tray
    // start at logon), until a double click on the icon asks for it.
    bool m_bStartInTray = false;
    // How the icon is handed to the shell; tests stand in for a task bar that is not there yet.
    BOOL(WINAPI* m_shellNotifyIcon)(DWORD, PNOTIFYICONDATAA) = ::Shell_NotifyIconA;
    // While the shell refuses the icon, it is offered again this often.
    UINT m_trayRetryMs = 3000;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    void OnSize(UINT type, int cx, int cy) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;

private:
    void FillPortList();
    // Selects the item of m_nCommPort in the Comm Port list, or none.
    void SelectStoredPort();
    // The seven settings members take these values (the controls are not touched).
    void TakeSettings(const CollectorSettings& settings);
    void SetRunning(bool running);
    void UpdateTrayTip();
    // The shown lane's state, in the progress bar's tip and the Lane row.
    void UpdateStateTip(const CString& text);
    // A warning for the user: an owner-less box, after those still open are answered.
    void ShowWarning(const CString& text, const CString& caption);
    CollectorSettings CurrentSettings() const;
    // Logoff, shutdown or the Restart Manager: the work of a close, done before the system
    // may end the process, then the dialog ends.
    void OnEndSession(bool ending);
    // Adds the icon, or arms the retry timer when the shell is not ready for it.
    void TryAddTrayIcon();
    // The shell's messages must reach an elevated collector too.
    void AllowShellMessages();
    // Keeps a /tray start hidden from whatever shows the dialog until the icon is double-clicked.
    void KeepHiddenForTray(UINT message, LPARAM lParam);
    // Shows the window where it was, restored, as a double click on the tray icon does.
    void Restore();
    // The controls show the capture's settings of the shown lane when they changed there, so
    // that a byte count does not undo what the user is picking.
    void ShowCaptureSettings(const CollectorSettings& settings);
    // The setting controls take input only from a window that may change them.
    void EnableSettingControls(bool enable);
    // A window that may only look says why, once, when it is first on the screen.
    void ExplainViewOnly();
    void ShowTrayMenu();
    // The Lane row shows with two lanes or more; the shown lane falls back to lane 1 when it goes.
    void UpdateLanes(const std::vector<LaneState>& lanes);
    void ShowLaneRow(bool show);
    // The shown lane's network outputs in one line above the progress bar, while it has any.
    void ShowOutputs(const CString& text);
    // Add Lane and Remove Lane in the system menu, enabled as the capture allows.
    void AddLaneMenu();
    bool MayAddLane(const std::vector<LaneState>& lanes) const;
    bool MayRemoveLane(const std::vector<LaneState>& lanes) const;

    // The shell's broadcast when the task bar is (re)created: the tray icon must be added again.
    UINT m_nTaskbarCreated;
    bool m_bDestroying = false;
    bool m_bSessionEnded = false;
    // The boxes live on a thread of their own: one waiting for OK on the window's thread
    // would hold up every close (the close box, /close, logoff) until someone answered it.
    CMessageBoxQueue m_messageBoxes;
    std::unique_ptr<ICollectorCapture> m_capture;
    // A close the window must obey (/close, the tray's Exit), not just hide for.
    bool m_bExitRequested = false;
    // The File box's tip: the whole capture path.
    HWND m_hFileTip = nullptr;
    void AddFileTip();
    TOOLINFOA FileTool();
    // Sets the File box, scrolled to the path's end.
    void ShowDataFile(const CString& path);
    // The capture's settings of the shown lane as last shown, and whether any were.
    CollectorSettings m_captureSettings;
    bool m_bCaptureSettingsShown = false;
    // The lane shown, and one just asked for that the window shows once it is there.
    int m_nLane = 1;
    int m_nAddedLane = 0;
    // The Lane row's label and state, the items it lists ("Lane 2 (COM7)"), and whether it shows.
    CWnd m_laneLabel;
    CWnd m_laneState;
    std::vector<CString> m_laneItems;
    bool m_bLaneRowShown = false;
    CWnd m_outputs;
    bool m_bOutputsShown = false;
    bool m_bOutputsTip = false;
    bool m_bViewOnlyExplained = false;
};
