#pragma once
// CCollectorDlg: the collector's one dialog. It shows and keeps the seven settings,
// starts and stops the capture worker, saves the settings when it closes, and lives
// in the notification area while it is minimised.
#include <windows.h>

#include <shellapi.h>

#include <commctrl.h>

#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/MessageBoxQueue.h"
#include "platform/ProgressCtrl.h"
#include "platform/String.h"
#include "app/ServiceView.h"
#include "capture/CaptureWorker.h"
#include "platform/UIntArray.h"
#include "serial/EnumerateSerialPorts.h"
#include "settings/SettingsStore.h"

// The tray icon's callback message.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;
// Posted by the capture thread: its state changed or it has a message for the user.
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
    HICON m_hIcon;

    // The settings as the user sees them (the registry values of the same names).
    int m_bRunAtStartup = 0;
    CString m_strDataFile;
    int m_nCommPort = 1;
    unsigned char m_nDataBits = 8;
    int m_nStopBits = 0;
    int m_nParity = 2;
    int m_nBaudRate = 9600;

    // The running capture, or null; owned here.
    CCaptureWorker* m_pWorker = nullptr;
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
    // The File box's tip, which shows the whole path; null when it could not be made.
    HWND FileTip() const { return m_hFileTip; }

    // How the ports are listed; tests stand in for hardware that Wine lists only at start.
    void (*m_enumeratePorts)(CUIntArray& ports) = EnumerateSerialPorts;

    // Set before the dialog is created: it opens hidden with only its tray icon (the /tray
    // start at logon), until a double click on the icon asks for it.
    bool m_bStartInTray = false;
    // How the icon is handed to the shell; tests stand in for a task bar that is not there yet.
    BOOL(WINAPI* m_shellNotifyIcon)(DWORD, PNOTIFYICONDATAA) = ::Shell_NotifyIconA;
    // While the shell refuses the icon, it is offered again this often.
    UINT m_trayRetryMs = 3000;
    // Set before the dialog is created: the service captures, and this window is its view and
    // its controls. Closing the window then hides it; the tray menu's Exit ends it.
    bool m_bClientMode = false;
    // The control channel in client mode (null: the service's own); tests run a service of their own.
    const char* m_pipeName = nullptr;
    // The server to believe in client mode (null: the collector service); tests serve it themselves.
    ExpectedServerSource m_expectedServer;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    void OnSize(UINT type, int cx, int cy) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;

private:
    // Stops the capture and says how it ended: a Stop while bytes wait for the file can cost
    // them. The worker's last messages go to messages when given.
    CaptureEnd StopWorker(const char* why = "stopped", std::vector<CaptureMessage>* messages = nullptr);
    void FillPortList();
    // Selects the item of m_nCommPort in the Comm Port list, or none.
    void SelectStoredPort();
    // The seven settings members take these values (the controls are not touched).
    void TakeSettings(const CollectorSettings& settings);
    void SetRunning(bool running);
    CString StateText() const;
    void UpdateTrayTip();
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
    // Client mode: the buttons, the bar, the tip and the boxes follow the service's capture.
    void OnServiceNotify();
    // Client mode: the controls show the service's settings when they changed there, so that a
    // byte count does not undo what the user is picking.
    void ShowServiceSettings(const CollectorSettings& settings);
    // Client mode: the setting controls take input only from a window that may change them.
    void EnableSettingControls(bool enable);
    // Client mode: a window that may only look says why, once, when it is first on the screen.
    void ExplainViewOnly();
    void ShowTrayMenu();

    // The shell's broadcast when the task bar is (re)created: the tray icon must be added again.
    UINT m_nTaskbarCreated;
    bool m_bDestroying = false;
    bool m_bSessionEnded = false;
    // How the last capture ended, for the tray while no capture runs.
    CaptureEnd m_lastEnd = CaptureEnd::None;
    // The boxes live on a thread of their own: one waiting for OK on the window's thread
    // would hold up every close (the close box, /close, logoff) until someone answered it.
    CMessageBoxQueue m_messageBoxes;
    CServiceView m_service;
    // Client mode: a close the window must obey (/close, the tray's Exit), not just hide for.
    bool m_bExitRequested = false;
    // The File box's tip: the whole capture path.
    HWND m_hFileTip = nullptr;
    void AddFileTip();
    TOOLINFOA FileTool();
    // Sets the File box, scrolled to the path's end.
    void ShowDataFile(const CString& path);
    // Client mode: the service's settings as last shown, and whether any were.
    CollectorSettings m_serviceSettings;
    bool m_bServiceSettingsShown = false;
    bool m_bViewOnlyExplained = false;
};
