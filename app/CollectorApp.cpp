#include "app/CollectorApp.h"

#include "app/CollectorDlg.h"
#include "app/CommandLine.h"
#include "app/RunningCollector.h"
#include "service/ServiceHost.h"
#include "settings/SettingsStore.h"

namespace {
// One collector per session: two would fight over one port and one capture file.
const char kInstanceName[] = "Local\\Tarnwick.OrvaneDVR.POSCollector";
// A closing collector stops its capture (about a second at most) and saves; one that is
// gone from the screen but not yet from memory is given this long to end.
const DWORD kClosingWaitMs = 30000;
// /close at uninstall: long enough for a capture to stop and the settings to be saved.
const DWORD kCloseTimeoutMs = 20000;
} // namespace

// The one application object, built during static initialisation.
CCollectorApp theApp;

bool CCollectorApp::InitInstance()
{
    const CommandLineOptions options = ParseCommandLine(::GetCommandLineA());
    if (options.service) {
        m_nExitCode = RunCollectorService();
        return false;
    }
    // The installer's switches do their one job without a window.
    if (options.createKeys) {
        m_nExitCode = CreateCollectorKeys() ? 0 : 1;
        return false;
    }
    if (options.close) {
        m_nExitCode = CloseRunningCollector(kCloseTimeoutMs) ? 0 : 1;
        return false;
    }

    if (!m_instance.Claim(kInstanceName)) {
        // The logon entry while one already runs: nothing to show.
        if (options.tray) return false;
        // The running one may be hidden in the tray: restore it the way a double click on
        // its icon does. This process has just been started by the user, so it may hand
        // the foreground on. One that is closing (or has closed its window) is waited for
        // instead, and this start goes on once it has ended.
        CWnd running;
        running.Attach(FindRunningCollector());
        if (!running.GetSafeHwnd() || CCollectorDlg::IsClosing(running)) {
            if (!m_instance.WaitAndClaim(kInstanceName, kClosingWaitMs)) return false;
            running.Detach();
        }
        if (running.GetSafeHwnd()) {
            // The first collector may take the foreground only if we, the process the user
            // just started, allow it before it is asked to come back.
            DWORD runningProcess = 0;
            if (::GetWindowThreadProcessId(running, &runningProcess)) ::AllowSetForegroundWindow(runningProcess);
            running.PostMessage(WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK);
            running.SetForegroundWindow();
            return false;
        }
    }

    CCollectorDlg dlg;
    dlg.m_bStartInTray = options.tray;
    m_pMainWnd = &dlg;
    // -1: the dialog could not be created (no display); there is nobody to tell.
    if (dlg.DoModal() == -1) m_nExitCode = 1;
    m_pMainWnd = nullptr;
    return false;
}
