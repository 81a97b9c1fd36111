#include "service/ServiceSetup.h"

#include <aclapi.h>
#include <shlobj.h>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "platform/Handle.h"
#include "service/ServiceHost.h"

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
const BYTE kInheritedByContents = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

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
}

DWORD MakeFolder(const CString& path)
{
    if (::CreateDirectoryA(path, nullptr)) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_SUCCESS;
    return error;
}

// An explicit entry of our own, from an earlier install: an upgrade adds no second one.
bool HasModifyEntry(PACL dacl, PSID sid)
{
    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return false;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && !(ace->Header.AceFlags & INHERITED_ACE) &&
            (ace->Header.AceFlags & kInheritedByContents) == kInheritedByContents &&
            (ace->Mask & kModifyRights) == kModifyRights && ::EqualSid(&ace->SidStart, sid))
            return true;
    }
    return false;
}

DWORD GrantServiceAccountModify(const CString& folder)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = ::GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                          &dacl, nullptr, &sd);
    if (error != ERROR_SUCCESS) return error;
    CLocalPtr<SECURITY_DESCRIPTOR> ownedSd(static_cast<SECURITY_DESCRIPTOR*>(sd));
    CLocalPtr<ACL> merged;
    error = AddServiceAccountModify(dacl, merged);
    if (error != ERROR_SUCCESS || !merged.Get()) return error;
    // Unprotected: the folder keeps what it inherits from ProgramData beside the new entry.
    return ::SetNamedSecurityInfoA(const_cast<char*>(static_cast<const char*>(folder)), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, merged.Get(), nullptr);
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

DWORD AddServiceAccountModify(PACL current, CLocalPtr<ACL>& merged)
{
    merged.Reset();
    // No list at all lets everyone in already.
    if (!current) return ERROR_SUCCESS;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!::CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sidSize)) return ::GetLastError();
    if (HasModifyEntry(current, sid)) return ERROR_SUCCESS;

    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = kModifyRights;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = static_cast<LPSTR>(static_cast<void*>(sid));
    return ::SetEntriesInAclA(1, &entry, current, merged.Receive());
}

int ConfigureCollectorService()
{
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
    error = GrantServiceAccountModify(folder);
    if (error != ERROR_SUCCESS)
        NoteFailure(CString("The service's account was not given write access to ") + folder, error);
    return 0;
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
