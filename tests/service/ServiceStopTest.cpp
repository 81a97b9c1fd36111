// The package's stop of the real service under the service manager: every window is told to go
// first, and a window believes the real service, in its own process, by the full check.
#include "service/ServiceSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/Handle.h"
#include "channel/PipeClient.h"
#include "service/ServiceHost.h"
#include "support/ParametersKeyGuard.h"
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

// A script's /status, run as a script runs it, answers from the service and otherwise says why.
void ExpectStatus(const std::string& arguments, DWORD code, const std::string& start)
{
    std::string output;
    DWORD got = 0;
    ASSERT_TRUE(testenv::RunProgram("\"" + testenv::BuiltProgramPath(COLLECTOR_EXE) + "\" " + arguments, output, got));
    EXPECT_EQ(code, got) << output;
    EXPECT_EQ(0u, output.find(start)) << output;
}

TEST(ServiceStop, EveryWindowIsToldToGoBeforeTheServiceStopsAndStatusFollowsTheService)
{
    REQUIRE_TESTENV();
    ExpectStatus("/status", 3, "Orvane POS Collector service is not installed on this PC.\r\n");
    testenv::ParametersKeyGuard parameters;
    RegisteredService service;
    ASSERT_NE(nullptr, service.Get()) << GetLastError();
    CollectorSettings settings;
    settings.commPort = 9;
    settings.dataFile = (testenv::ScratchDir() + "\\status.txt").c_str();
    ASSERT_EQ(ERROR_SUCCESS, SaveServiceSettings(settings));
    ExpectStatus("/status", 3, "Orvane POS Collector service is installed but not running (stopped).\r\n");
    ASSERT_TRUE(StartServiceA(service.Get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitFor([&] { return State(service.Get()) == SERVICE_RUNNING; }, 10000));
    // Lane 1 does not capture: nothing ran it, and "Run Collector At Startup" is off.
    ExpectStatus("/status", 2, "Lane\tPort\tState\tBytes\tLastByte\tFile\r\n1\tCOM9\tstopped\t0\t-\t" +
                                   std::string(settings.dataFile.GetString()) + "\r\n");
    ExpectStatus("/status json", 2, "{\"service\":\"running\",\"lanes\":[{\"lane\":1,\"port\":\"COM9\",\"state\":\"stopped\"");

    // The window's own check, against the service manager's answer: another process serves.
    CPipeClient window;
    ASSERT_TRUE(window.Start());
    ASSERT_TRUE(WaitFor([&] { return window.IsConnected(); }, 10000)) << window.UntrustedServers();
    EXPECT_EQ(0, window.UntrustedServers());
    EXPECT_FALSE(window.Dismissed());

    EXPECT_EQ(0, StopCollectorService(30000));
    EXPECT_TRUE(window.Dismissed());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(service.Get()));
    ExpectStatus("/status JSON", 3, "{\"service\":\"not-running\",\"message\":\"Orvane POS Collector service is "
                                    "installed but not running (stopped).\",\"lanes\":[]}\r\n");
}
