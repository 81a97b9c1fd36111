#include "service/ServiceSetup.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "platform/Handle.h"
#include "service/ServiceHost.h"
#include "service/ServiceSid.h"
#include "service/ServiceProperties.h"

namespace {

const char kFamilyFolderName[] = "\\Orvane DVR";
const char kCaptureFolderName[] = "\\POSCollector";

// Recovery: a failed service is restarted after 5 s, three times; a day without failures starts
// the count again.
const DWORD kRestartDelayMs = 5000;
const int kRestarts = 3;
const DWORD kFailureCountResetS = 24 * 60 * 60;

// What the Security tab calls Modify: read, write, run and delete, but not change the access list.
const DWORD kModifyRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
// Users may look into the folder and read the capture, but make nothing in it: no file, no
// folder, no junction that could lead the service elsewhere.
const DWORD kReadRights = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

const DWORD kStopPollMs = 200;

void NoteFailure(const char* what, DWORD error)
{
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_COLLECTOR_NOTE,
                         {CString(what) + ": " + SystemErrorText(error)});
}

// An optional setting of the service; one the system does not have is noted and passed over.
void ChangeConfig(SC_HANDLE service, DWORD level, void* info, const char* notSet)
{
    if (!::ChangeServiceConfig2A(service, level, info)) NoteFailure(notSet, ::GetLastError());
}

void ConfigureService(SC_HANDLE service)
{
    SC_ACTION actions[kRestarts];
    for (SC_ACTION& action : actions) {
        action.Type = SC_ACTION_RESTART;
        action.Delay = kRestartDelayMs;
    }
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = kFailureCountResetS;
    failure.cActions = kRestarts;
    failure.lpsaActions = actions;
    ChangeConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "The service's restart after a failure was not set");
    // A service that stops reporting an error has failed too, not only one whose process crashed.
    SERVICE_FAILURE_ACTIONS_FLAG onErrors = {TRUE};
    ChangeConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors,
                 "The service's restart after a stop with an error was not set");
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    ChangeConfig(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, "The service's delayed start was not set");
    // Its own SID in its token, so that access lists can name this service rather than every
    // LocalService process.
    SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_UNRESTRICTED};
    ChangeConfig(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid, "The service's own SID was not set");
    // The system strips every other privilege from its token. A double-terminated list.
    char privileges[] = SE_CHANGE_NOTIFY_NAME "\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOA required = {privileges};
    ChangeConfig(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required,
                 "The service's privileges were not limited");
}

DWORD MakeFolder(const CString& path)
{
    if (::CreateDirectoryA(path, nullptr)) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_SUCCESS;
    return error;
}

// Replaces whatever the folder had or inherited, so that an upgrade sets the same list again.
DWORD ProtectCaptureFolder(const CString& folder)
{
    CLocalPtr<ACL> list;
    DWORD error = CaptureFolderAccessList(list);
    if (error != ERROR_SUCCESS) return error;
    return ::SetNamedSecurityInfoA(const_cast<char*>(static_cast<const char*>(folder)), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, list.Get(), nullptr);
}

// %ProgramData%\Orvane DVR; empty when the system names no common application data folder.
CString FamilyDataFolder()
{
    char common[MAX_PATH] = "";
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)) || !*common)
        return CString();
    return CString(common) + kFamilyFolderName;
}

// With the right to tell the windows to go where the caller has it; an account that may stop the
// service without it still stops it.
SC_HANDLE OpenServiceToStop(SC_HANDLE manager)
{
    SC_HANDLE service = ::OpenServiceA(manager, kCollectorServiceName,
                                       SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL);
    if (!service && ::GetLastError() == ERROR_ACCESS_DENIED)
        service = ::OpenServiceA(manager, kCollectorServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    return service;
}

} // namespace

DWORD CaptureFolderAccessList(CLocalPtr<ACL>& list)
{
    list.Reset();
    BYTE administrators[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return ::GetLastError();
    size = sizeof system;
    if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size)) return ::GetLastError();
    size = sizeof users;
    if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size)) return ::GetLastError();
    // Named before the service has run: the system derives the same SID from the name.
    const CString serviceSidText = CollectorServiceSidString();
    PSID serviceSid = nullptr;
    if (serviceSidText.IsEmpty() || !::ConvertStringSidToSidA(serviceSidText, &serviceSid)) return ERROR_INVALID_SID;
    CLocalPtr<void> ownedServiceSid(serviceSid);

    struct Grant {
        PSID sid;
        DWORD rights;
        TRUSTEE_TYPE type;
    } const grants[] = {{administrators, FILE_ALL_ACCESS, TRUSTEE_IS_GROUP},
                        {system, FILE_ALL_ACCESS, TRUSTEE_IS_USER},
                        {serviceSid, kModifyRights, TRUSTEE_IS_USER},
                        {users, kReadRights, TRUSTEE_IS_GROUP}};
    EXPLICIT_ACCESS_A entries[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        entries[i].grfAccessPermissions = grants[i].rights;
        entries[i].grfAccessMode = GRANT_ACCESS;
        // Passed on to every file and folder made inside.
        entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = grants[i].type;
        entries[i].Trustee.ptstrName = static_cast<LPSTR>(grants[i].sid);
    }
    return ::SetEntriesInAclA(4, entries, nullptr, list.Receive());
}

int ConfigureCollectorService(const std::map<std::string, std::string>& properties)
{
    CString refused;
    if (ConfigureServiceParameters(properties, refused) != ERROR_SUCCESS) {
        ReportCollectorEvent(EVENTLOG_ERROR_TYPE, MSG_COLLECTOR_NOTE, {refused});
        return 1;
    }
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    // Restart actions need the right to start the service as well as to change it.
    CServiceHandle service(manager.Get() ? ::OpenServiceA(manager.Get(), kCollectorServiceName,
                                                          SERVICE_CHANGE_CONFIG | SERVICE_START)
                                         : nullptr);
    if (service.Get())
        ConfigureService(service.Get());
    else
        NoteFailure("The service's recovery and delayed start were not set", ::GetLastError());

    const CString family = FamilyDataFolder();
    if (family.IsEmpty()) {
        NoteFailure("The capture folder was not made", ERROR_PATH_NOT_FOUND);
        return 1;
    }
    const CString folder = family + kCaptureFolderName;
    DWORD error = MakeFolder(family);
    if (error == ERROR_SUCCESS) error = MakeFolder(folder);
    if (error != ERROR_SUCCESS) {
        NoteFailure(CString("The capture folder ") + folder + " was not made", error);
        return 1;
    }
    error = ProtectCaptureFolder(folder);
    if (error != ERROR_SUCCESS) NoteFailure(CString("The capture folder's access list was not set on ") + folder, error);
    return 0;
}

int StartCollectorService()
{
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(manager.Get() ? ::OpenServiceA(manager.Get(), kCollectorServiceName, SERVICE_START)
                                         : nullptr);
    if (!service.Get()) return 1;
    if (::StartServiceA(service.Get(), 0, nullptr) || ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) return 0;
    return 1;
}

int StopCollectorService(DWORD timeoutMs)
{
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get()) return 1;
    CServiceHandle service(OpenServiceToStop(manager.Get()));
    if (!service.Get()) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : 1;
    // The windows of every session go first: they keep the program's file in use, and a package
    // running as SYSTEM reaches none of them itself. A service not running refuses; so does one
    // opened without the right to our control.
    SERVICE_STATUS dismissed = {};
    ::ControlService(service.Get(), kDismissWindowsControl, &dismissed);

    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    CHandle process;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                    sizeof status, &needed))
            return 1;
        // Opened before the stop is asked for, so that the id cannot name another process by
        // the time we wait on it.
        if (!process.IsValid() && status.dwProcessId != 0)
            process.Attach(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        if (status.dwCurrentState != SERVICE_STOP_PENDING) {
            // A service still starting refuses controls: it is asked again on the next round.
            SERVICE_STATUS ignored = {};
            ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored);
        }
        if (::GetTickCount64() >= deadline) return 1;
        ::Sleep(kStopPollMs);
    }
    // The manager reports the stop before the process has ended, and its exe stays in use
    // until then.
    if (!process.IsValid()) return 0;
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    return ::WaitForSingleObject(process, left) == WAIT_OBJECT_0 ? 0 : 1;
}
