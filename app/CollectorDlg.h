#pragma once
// CCollectorDlg: the collector's one dialog. It shows and keeps the seven settings,
// starts and stops the capture worker, saves the settings when it closes, and lives
// in the notification area while it is minimised.
#include <windows.h>

#include <shellapi.h>

#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/ProgressCtrl.h"
#include "platform/String.h"
#include "settings/SettingsStore.h"

class CCaptureWorker;

// The tray icon's callback message.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;

class CCollectorDlg : public CDialog {
public:
    enum { IDD = 102 };

    explicit CCollectorDlg(CWnd* parent = nullptr);
    ~CCollectorDlg() override;

    // Stops capture, saves the settings, removes the tray icon, then destroys the window.
    bool DestroyWindow() override;

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

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    void OnSize(UINT type, int cx, int cy) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;

private:
    // Takes the worker out of m_pWorker before stopping it: Stop pumps messages, and a
    // click or a close handled meanwhile must find no worker to stop a second time.
    void StopWorker();
    // After a stop: the close that arrived while it pumped. true when the window is gone.
    bool FinishPendingClose();
    void SetRunning(bool running);
    CollectorSettings CurrentSettings() const;
    // Logoff or shutdown: DestroyWindow will not run, so do its work now.
    void OnEndSession(bool ending);

    // The shell's broadcast when the task bar is (re)created: the tray icon must be added again.
    UINT m_nTaskbarCreated;
    int m_nStopping = 0;
    bool m_bDestroying = false;
    bool m_bClosePending = false;
    bool m_bSessionEnded = false;
};
