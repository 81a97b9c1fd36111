#include "app/CollectorApp.h"

#include "app/CollectorDlg.h"
#include "app/CollectorMode.h"
#include "app/CommandLine.h"
#include "app/RunningCollector.h"
#include "app/ServiceView.h"
#include "app/StatusCommand.h"
#include "platform/EventText.h"
#include "platform/MessageBox.h"
#include "service/FirewallRule.h"
#include "service/ServiceHost.h"
#include "service/ServiceSetup.h"
#include "settings/ServiceParameters.h"
#include "settings/SettingsStore.h"

namespace {
// One collector per PC: two would fight over one port, and the later one's Run would empty
// the capture file. The logon entry starts one in every session, so the machine's name
// decides; the session's name tells whether the running one is in this session.
const char kSessionName[] = "Local\\Tarnwick.OrvaneDVR.POSCollector";
const char kMachineName[] = "Global\\Tarnwick.OrvaneDVR.POSCollector";
const char kRunsElsewhereText[] =
    "Orvane POS Collector is already running in another Windows session on this PC (another user's logon or a "
    "remote desktop) and captures there.  Only one collector runs on a PC at a time: to see or change it, use "
    "that session.";
const char kRunsElsewhereCaption[] = "Orvane POS Collector";
const char kModeUnknownText[] =
    "Orvane POS Collector cannot tell whether its service is installed on this PC: the service manager did not "
    "answer.  Nothing was started, so that no second capture runs beside the service.";
// A collector that has let go of this session's name lets go of the machine's as its process ends.
const DWORD kHandOverMs = 2000;
// A closing collector stops its capture (about a second at most) and saves; one that is
// gone from the screen but not yet from memory is given this long to end.
const DWORD kClosingWaitMs = 30000;
// /close at uninstall: long enough for a capture to stop and the settings to be saved.
const DWORD kCloseTimeoutMs = 20000;
// /stopservice: what Windows Installer gives a service to stop.
const DWORD kStopServiceTimeoutMs = 30000;
} // namespace

// The one application object, built during static initialisation.
CCollectorApp theApp;

bool CCollectorApp::InitInstance()
{
    const CommandLineOptions options = ParseCommandLine(::GetCommandLineA());
    // For scripts: no window, no box, no single-instance claim; any account may ask.
    if (options.status) {
        m_nExitCode = RunStatusCommand(options.statusJson);
        return false;
    }
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
    if (options.configureService) {
        m_nExitCode = ConfigureCollectorService(options.serviceProperties);
        return false;
    }
    if (options.stopService) {
        // Removing the service deletes its key: its settings are kept for the install that follows.
        CopyServiceParametersAside();
        m_nExitCode = StopCollectorService(kStopServiceTimeoutMs);
        return false;
    }
    if (options.startService) {
        m_nExitCode = StartCollectorService();
        return false;
    }
    if (options.addFirewallRule) {
        m_nExitCode = RunAddFirewallRuleSwitch();
        return false;
    }
    if (options.removeFirewallRule) {
        m_nExitCode = RunRemoveFirewallRuleSwitch();
        return false;
    }

    // The service captures where it is installed; this program is then its window.
    DWORD modeError = ERROR_SUCCESS;
    const CollectorMode mode = DetectCollectorMode(modeError);
    if (mode == CollectorMode::Unknown) {
        ShowMessageBox(nullptr, WithSystemText(kModeUnknownText, modeError), kRunsElsewhereCaption,
                       MB_OK | MB_ICONWARNING);
        m_nExitCode = 1;
        return false;
    }

    bool afterClosing = false;
    if (!m_session.Claim(kSessionName)) {
        // The logon entry while one already runs: nothing to show.
        if (options.tray) return false;
        // The running one may be hidden in the tray: restore it the way a double click on
        // its icon does. This process has just been started by the user, so it may hand
        // the foreground on. One that is closing (or has closed its window) is waited for
        // instead, and this start goes on once it has ended.
        CWnd running;
        running.Attach(FindRunningCollector());
        if (!running.GetSafeHwnd() || CCollectorDlg::IsClosing(running)) {
            if (!m_session.WaitAndClaim(kSessionName, kClosingWaitMs)) return false;
            running.Detach();
            afterClosing = true;
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

    if (mode == CollectorMode::Desktop && !ClaimCapture(afterClosing)) {
        // This start captures nothing: another start in this session must not take it for
        // the session's collector.
        m_session.Release();
        if (!options.tray)
            ShowMessageBox(nullptr, kRunsElsewhereText, kRunsElsewhereCaption, MB_OK | MB_ICONINFORMATION);
        return false;
    }

    CCollectorDlg dlg;
    dlg.m_bStartInTray = options.tray;
    // Chosen once: the service's lanes, or the window's own capture.
    if (mode == CollectorMode::Client) dlg.UseCapture(std::make_unique<CServiceView>());
    m_pMainWnd = &dlg;
    // -1: the dialog could not be created (no display); there is nobody to tell.
    if (dlg.DoModal() == -1) m_nExitCode = 1;
    m_pMainWnd = nullptr;
    return false;
}

bool CCollectorApp::ClaimCapture(bool afterClosing)
{
    return afterClosing ? m_machine.WaitAndClaim(kMachineName, kHandOverMs) : m_machine.Claim(kMachineName);
}
