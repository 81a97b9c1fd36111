// The package's stop of the real service under the service manager: every window is told to go
// first, and a window believes the real service, in its own process, by the full check.
#include "service/ServiceSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/Handle.h"
#include "channel/PipeClient.h"
#include "service/ServiceHost.h"
#include "support/TestEnv.h"

using testenv::WaitFor;

namespace {

// The collector's service, registered for this test and removed after it, stopped or not.
class RegisteredService {
public:
    RegisteredService()
        : m_manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
          m_service(m_manager.Get() ? CreateServiceA(m_manager.Get(), kCollectorServiceName,
                                                     kCollectorServiceDisplayName, SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                     SERVICE_ERROR_NORMAL,
                                                     ("\"" + testenv::BuiltProgramPath(COLLECTOR_EXE) + "\" /service").c_str(), nullptr,
                                                     nullptr, nullptr, nullptr, nullptr)
                                    : nullptr)
    {
    }
    ~RegisteredService()
    {
        if (!m_service.Get()) return;
        StopCollectorService(10000);
        DeleteService(m_service.Get());
    }
    SC_HANDLE Get() const { return m_service.Get(); }

private:
    CServiceHandle m_manager;
    CServiceHandle m_service;
};

DWORD State(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

} // namespace

TEST(ServiceStop, EveryWindowIsToldToGoBeforeTheServiceStops)
{
    REQUIRE_TESTENV();
    RegisteredService service;
    ASSERT_NE(nullptr, service.Get()) << GetLastError();
    ASSERT_TRUE(StartServiceA(service.Get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitFor([&] { return State(service.Get()) == SERVICE_RUNNING; }, 10000));

    // The window's own check, against the service manager's answer: another process serves.
    CPipeClient window;
    ASSERT_TRUE(window.Start());
    ASSERT_TRUE(WaitFor([&] { return window.IsConnected(); }, 10000)) << window.UntrustedServers();
    EXPECT_EQ(0, window.UntrustedServers());
    EXPECT_FALSE(window.Dismissed());

    EXPECT_EQ(0, StopCollectorService(30000));
    EXPECT_TRUE(window.Dismissed());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(service.Get()));
}
