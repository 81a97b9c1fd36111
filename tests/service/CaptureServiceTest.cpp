// The service's captures across its own restarts and the machine's boots: only Run and a boot
// with "Run Collector At Startup" empty the file; a restart goes on appending.
#include "capture/CaptureTestSupport.h"
#include "service/CaptureService.h"
#include "service/PipeClient.h"
#include "service/ServiceCore.h"
#include "settings/BootMarks.h"
#include "support/ChannelTestSupport.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"

#include <thread>

using namespace capturetest;

namespace {

// A boot, as far as the service can tell: its volatile key is gone.
void Reboot()
{
    CString path = CRegistryKey::KeyPath(kCollectorKeyIndex) + "Boot";
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0);
}

class CaptureServiceTest : public CaptureTest {
protected:
    void Save(int runAtStartup)
    {
        CollectorSettings settings;
        settings.commPort = pair.port;
        settings.dataFile = path.c_str();
        settings.runAtStartup = runAtStartup;
        CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, settings);
    }
    // One run of the service: started, fed, stopped.
    void ServiceRun(const std::string& sent, bool expectCapture, const std::function<void(CCaptureService&)>& act = {})
    {
        CCaptureService service;
        service.Resume();
        if (act) act(service);
        CaptureView view = service.States()[0];
        EXPECT_EQ(view.running, expectCapture);
        if (expectCapture) {
            ASSERT_TRUE(PumpUntil([&] { return service.States()[0].status.state == CaptureState::Capturing; }, 5000));
            ASSERT_TRUE(peer.Write(sent));
            ASSERT_TRUE(PumpUntil([&] { return service.States()[0].status.bytes >= sent.size(); }, 5000));
        }
        service.Shutdown();
    }
    void TearDown() override
    {
        Reboot();
        CaptureTest::TearDown();
    }
};

} // namespace

TEST_F(CaptureServiceTest, OnlyABootOrRunEmptiesTheFileAndARestartAppends)
{
    Save(1);
    Reboot();
    {
        CHandle old(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n = 0;
        WriteFile(old, "yesterday", 9, &n, nullptr);
    }
    ServiceRun("boot ", true);
    EXPECT_EQ(FileBytes(), "boot ");
    // An administrator's stop and start, or a restart after a failure: the capture goes on.
    ServiceRun("restart ", true);
    EXPECT_EQ(FileBytes(), "boot restart ");
    // Run from a window starts afresh; a Stop from a window is not resumed by a restart.
    ServiceRun("run ", true, [&](CCaptureService& s) { s.Run(0, LoadCollectorSettings(), Requester()); });
    EXPECT_EQ(FileBytes(), "run ");
    {
        CCaptureService service;
        service.Resume();
        EXPECT_TRUE(service.States()[0].running);
        service.Stop(0, Requester());
    }
    ServiceRun("", false);
    // The next boot starts as the settings say.
    Reboot();
    ServiceRun("next boot", true);
    EXPECT_EQ(FileBytes(), "next boot");
    Save(0);
    Reboot();
    ServiceRun("", false);
}

TEST_F(CaptureServiceTest, WindowsRunAndStopTheServicesCaptureAndAllSeeTheSameState)
{
    Save(0);
    Reboot();
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.test";
    CServiceCore core(options);
    ASSERT_EQ(core.Start(), static_cast<DWORD>(ERROR_SUCCESS));
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread serving([&] { core.Serve(stop); });

    auto first = std::make_unique<CPipeClient>(options.name);
    CPipeClient second(options.name);
    first->SetExpectedServer(testenv::ThisProcessAsServer);
    second.SetExpectedServer(testenv::ThisProcessAsServer);
    ASSERT_TRUE(first->Start() && second.Start());
    auto state = [](const CPipeClient& c) {
        std::vector<channel::ChannelState> states = c.States();
        return states.empty() ? CaptureState::Opening : states[0].status.state;
    };
    ASSERT_TRUE(PumpUntil([&] { return first->IsConnected() && second.IsConnected(); }, 5000));
    EXPECT_EQ(state(second), CaptureState::Ended);

    // Run from one window: the file is emptied, both windows see the capture.
    {
        CHandle old(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    CollectorSettings settings = LoadCollectorSettings();
    ASSERT_TRUE(first->Run(0, settings));
    ASSERT_TRUE(PumpUntil([&] { return state(*first) == CaptureState::Capturing && state(second) == CaptureState::Capturing; }, 5000));
    ASSERT_TRUE(peer.Write("while both watch "));
    // A window that closes leaves the capture going.
    first.reset();
    ASSERT_TRUE(peer.Write("and after one closed"));
    const std::string sent = "while both watch and after one closed";
    ASSERT_TRUE(PumpUntil([&] { return !second.States().empty() && second.States()[0].status.bytes == sent.size(); }, 5000));
    EXPECT_EQ(FileBytes(), sent);
    // Stop from the other window.
    ASSERT_TRUE(second.StopCapture(0));
    EXPECT_TRUE(PumpUntil([&] { return state(second) == CaptureState::Ended; }, 5000));
    EXPECT_FALSE(core.Captures().States()[0].running);

    SetEvent(stop);
    serving.join();
    second.Stop();
    core.Shutdown();
}

TEST_F(CaptureServiceTest, AFileTheServiceCannotCreateNamesTheAccountThatMustWriteThere)
{
    CCaptureService service;
    CollectorSettings settings;
    settings.commPort = pair.port;
    settings.dataFile = (testenv::ScratchDir() + "\\no such folder\\capture.txt").c_str();
    service.Run(0, settings, Requester());
    std::vector<CaptureMessage> told;
    ASSERT_TRUE(PumpUntil([&] {
        service.Refresh();
        for (CaptureMessage& m : service.TakeMessages(0)) told.push_back(m);
        return !told.empty();
    }, 5000));
    const std::string text = told[0].text.GetString();
    EXPECT_EQ(text.rfind("Couldn't open input file.  Please check to verify you have a valid input file before "
                         "trying this operation again.\n\n", 0), 0u) << text;
    EXPECT_NE(text.find("NT AUTHORITY\\LocalService"), std::string::npos) << text;
    EXPECT_FALSE(service.States()[0].running);
}
