#include "service/ServiceHost.h"

#include <string>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "platform/Handle.h"
#include "version.h"
#include "service/ServiceCore.h"

const char kCollectorServiceName[] = "OrvanePOSCollector";
const char kCollectorServiceDisplayName[] = "Orvane POS Collector";

namespace {

// A stop ends the capture within about a second and a half; the manager is told to allow more.
const DWORD kStopHintMs = 5000;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
HANDLE g_dismissEvent = nullptr;
SERVICE_STATUS g_status = {};

CString VersionText()
{
    return CString((std::to_string(COLLECTOR_VERSION_MAJOR) + "." + std::to_string(COLLECTOR_VERSION_MINOR) + "." +
                    std::to_string(COLLECTOR_VERSION_PATCH) + "." + std::to_string(COLLECTOR_VERSION_TWEAK))
                       .c_str());
}

void SetState(DWORD state, DWORD exitCode = NO_ERROR)
{
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = exitCode;
    // No control is taken while starting or stopping.
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : kStopHintMs;
    g_status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : g_status.dwCheckPoint + 1;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Answered at once; the service's own thread does the stopping.
        ::SetEvent(g_stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    case kDismissWindowsControl:
        if (g_dismissEvent) ::SetEvent(g_dismissEvent);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    g_statusHandle = ::RegisterServiceCtrlHandlerExA(kCollectorServiceName, ControlHandler, nullptr);
    if (!g_statusHandle) return;
    CHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    CHandle dismiss(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop.IsValid() || !dismiss.IsValid()) {
        SetState(SERVICE_STOPPED, ::GetLastError());
        return;
    }
    g_stopEvent = stop;
    g_dismissEvent = dismiss;
    SetState(SERVICE_START_PENDING);
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTED, {VersionText()});
    {
        CServiceCore core;
        // Without the channel the captures still run; the core logs it and tries it again.
        core.Start();
        SetState(SERVICE_RUNNING);
        core.Serve(stop, dismiss);
        SetState(SERVICE_STOP_PENDING);
        core.Shutdown();
    }
    g_stopEvent = nullptr;
    g_dismissEvent = nullptr;
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STOPPED, {VersionText()});
    SetState(SERVICE_STOPPED);
}

} // namespace

int RunCollectorService()
{
    char name[sizeof kCollectorServiceName];
    ::lstrcpynA(name, kCollectorServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Returns when the service has stopped; fails at once when no service manager started us.
    return ::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
