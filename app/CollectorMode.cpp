#include "app/CollectorMode.h"

#include "platform/Handle.h"
#include "service/ServiceHost.h"

CollectorMode DetectCollectorMode(DWORD& error)
{
    error = ERROR_SUCCESS;
    // Connect is granted to every interactive user, and so is querying our service's status.
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get()) {
        error = ::GetLastError();
        return CollectorMode::Unknown;
    }
    CServiceHandle service(::OpenServiceA(manager.Get(), kCollectorServiceName, SERVICE_QUERY_STATUS));
    if (service.Get()) return CollectorMode::Client;
    error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        error = ERROR_SUCCESS;
        return CollectorMode::Desktop;
    }
    return CollectorMode::Unknown;
}
