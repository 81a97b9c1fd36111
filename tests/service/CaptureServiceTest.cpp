// The service's captures across its own restarts and the machine's boots: only Run and a boot
// with "Run Collector At Startup" empty the file; a restart goes on appending.
#include "capture/CaptureTestSupport.h"
#include "service/CaptureService.h"
#include "channel/PipeClient.h"
#include "service/ServiceCore.h"
#include "settings/BootMarks.h"
#include "support/ChannelTestSupport.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"
#include "settings/ServiceParameters.h"
#include "support/ParametersKeyGuard.h"
#include "support/RecordingEventLog.h"

#include "Messages.h"
#include "platform/EventText.h"

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
    CollectorSettings Settings(int runAtStartup) const
    {
        CollectorSettings settings;
        settings.commPort = pair.port;
        settings.dataFile = path.c_str();
        settings.runAtStartup = runAtStartup;
        return settings;
    }
    // What a window's Save does: both keys.
    void Save(int runAtStartup)
    {
        SaveFamily(Settings(runAtStartup));
        ASSERT_EQ(SaveServiceSettings(Settings(runAtStartup)), ERROR_SUCCESS);
    }
    static void SaveFamily(const CollectorSettings& settings)
    {
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
    testenv::ParametersKeyGuard parameters;
};

Requester Window(const char* account, DWORD session)
{
    Requester who;
    who.account = account;
    who.sessionId = session;
    who.how = "a window";
    who.mayControl = true;
    return who;
}

std::vector<testenv::RecordedEvent> EventsOf(const testenv::RecordingEventLog& log, DWORD id, size_t from = 0)
{
    std::vector<testenv::RecordedEvent> found;
    std::vector<testenv::RecordedEvent> all = log.Events();
    for (size_t i = from; i < all.size(); ++i)
        if (all[i].id == id) found.push_back(all[i]);
    return found;
}

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
    ServiceRun("run ", true, [&](CCaptureService& s) { s.Run(1, LoadCollectorSettings(), Requester()); });
    EXPECT_EQ(FileBytes(), "run ");
    {
        CCaptureService service;
        service.Resume();
        EXPECT_TRUE(service.States()[0].running);
        service.Stop(1, Requester());
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
    ASSERT_TRUE(first->Run(1, settings));
    ASSERT_TRUE(PumpUntil([&] { return state(*first) == CaptureState::Capturing && state(second) == CaptureState::Capturing; }, 5000));
    ASSERT_TRUE(peer.Write("while both watch "));
    // A window that closes leaves the capture going.
    first.reset();
    ASSERT_TRUE(peer.Write("and after one closed"));
    const std::string sent = "while both watch and after one closed";
    ASSERT_TRUE(PumpUntil([&] { return !second.States().empty() && second.States()[0].status.bytes == sent.size(); }, 5000));
    EXPECT_EQ(FileBytes(), sent);
    // Stop from the other window.
    ASSERT_TRUE(second.StopCapture(1));
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
    service.Run(1, settings, Requester());
    std::vector<CaptureMessage> told;
    ASSERT_TRUE(PumpUntil([&] {
        service.Refresh();
        for (CaptureMessage& m : service.TakeMessages(1)) told.push_back(m);
        return !told.empty();
    }, 5000));
    const std::string text = told[0].text.GetString();
    EXPECT_EQ(text.rfind("Lane 1 (COM" + std::to_string(pair.port) + "): Couldn't open input file.  Please check to verify you have a valid input file before "
                         "trying this operation again.\n\n", 0), 0u) << text;
    EXPECT_NE(text.find("NT SERVICE\\OrvanePOSCollector"), std::string::npos) << text;
    EXPECT_FALSE(service.States()[0].running);
}

TEST_F(CaptureServiceTest, TheFirstStartTakesTheFamilyKeysSettingsOnceAndAfterThatAStaleWindowsWriteDecidesNothing)
{
    // An upgrade from a version without the Parameters key: the shop's settings are in the
    // family key alone.
    SaveFamily(Settings(1));
    Reboot();
    ServiceRun("boot ", true);
    EXPECT_EQ(FileBytes(), "boot ");
    bool present = false;
    EXPECT_EQ(LoadServiceParameters(present).settings, Settings(1));
    EXPECT_TRUE(present);

    // An older window in another session writes its port and file at its logoff.
    const std::string elsewhere = path + ".stale";
    DeleteFileA(elsewhere.c_str());
    CollectorSettings stale = Settings(1);
    stale.commPort = pair.peer;
    stale.dataFile = elsewhere.c_str();
    SaveFamily(stale);
    ServiceRun("restart ", true);
    EXPECT_EQ(FileBytes(), "boot restart ");
    Reboot();
    ServiceRun("next boot", true);
    EXPECT_EQ(FileBytes(), "next boot");
    EXPECT_EQ(FileSize(elsewhere), -1) << "the stale window's file was used";
}

TEST_F(CaptureServiceTest, ADeploymentsChangeMovesTheCaptureAppendingAndTheSameValuesOrTheServicesOwnWritesDoNothing)
{
    testenv::RecordingEventLog log;
    Save(0);
    Reboot();
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.deploymenttest";
    CServiceCore core(options);
    core.Start();
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread serving([&] { core.Serve(stop); });
    auto view = [&] { return core.Captures().States()[0]; };

    ASSERT_TRUE(core.Captures().Run(1, Settings(0), Window("TILL\\anna", 2)));
    ASSERT_TRUE(PumpUntil([&] { return view().status.state == CaptureState::Capturing; }, 5000));
    ASSERT_TRUE(peer.Write("before "));
    ASSERT_TRUE(PumpUntil([&] { return view().status.bytes == 7; }, 5000));
    std::vector<testenv::RecordedEvent> started = EventsOf(log, MSG_CAPTURE_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(std::vector<std::string>(started[0].strings.begin() + 3, started[0].strings.begin() + 6),
              (std::vector<std::string>{"TILL\\anna", "2", "a window"}));
    EXPECT_TRUE(EventsOf(log, MSG_SETTINGS_CHANGED).empty()) << "a Run with the settings it had changed nothing";

    // A tool running as SYSTEM points the capture at another file, which already holds bytes.
    const std::string moved = path + ".moved";
    {
        CHandle old(CreateFileA(moved.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n = 0;
        WriteFile(old, "kept ", 5, &n, nullptr);
    }
    CollectorSettings deployed = Settings(0);
    deployed.dataFile = moved.c_str();
    ASSERT_EQ(SaveServiceSettings(deployed), ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return view().settings == deployed && EventsOf(log, MSG_CAPTURE_STARTED).size() == 2 &&
                                       view().status.state == CaptureState::Capturing; }, 5000));
    ASSERT_TRUE(peer.Write("after "));
    ASSERT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(moved) == "kept after "; }, 5000))
        << testenv::ReadFileBytes(moved);
    EXPECT_EQ(FileBytes(), "before ");
    EXPECT_EQ(LoadCollectorSettings(), deployed) << "the recorder reads the family key";
    std::vector<testenv::RecordedEvent> changed = EventsOf(log, MSG_SETTINGS_CHANGED);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].strings[0], "DataFile: " + path + " -> " + moved);
    EXPECT_EQ(changed[0].strings[3], "a deployment");
    std::vector<testenv::RecordedEvent> ended = EventsOf(log, MSG_CAPTURE_ENDED);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].strings[1], "its settings were changed");
    EXPECT_EQ(ended[0].strings[5], "a deployment");

    // A policy refresh writes the same values again; then RunAtStartup alone changes, which
    // matters only at the next boot; then a window saves, which the service writes itself.
    const size_t before = log.Events().size();
    ASSERT_EQ(SaveServiceSettings(deployed), ERROR_SUCCESS);
    PumpUntil([] { return false; }, 600);
    deployed.runAtStartup = 1;
    ASSERT_EQ(SaveServiceSettings(deployed), ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return view().settings.runAtStartup == 1; }, 5000));
    CollectorSettings saved = deployed;
    saved.runAtStartup = 0;
    ASSERT_TRUE(core.Captures().Save(1, saved, Window("TILL\\bob", 3)));
    PumpUntil([] { return false; }, 600);
    ASSERT_TRUE(peer.Write("more"));
    ASSERT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(moved) == "kept after more"; }, 5000));
    std::vector<testenv::RecordedEvent> since = EventsOf(log, MSG_SETTINGS_CHANGED, before);
    ASSERT_EQ(since.size(), 2u);
    // The registry does not say who wrote it: the service names its own account and session.
    const std::string lane = "Lane 1 (COM" + std::to_string(pair.port) + "): ";
    EXPECT_EQ(since[0].strings, (std::vector<std::string>{"RunAtStartup: 0 -> 1", ProcessAccountName().GetString(),
                                                          std::to_string(ProcessSessionId()), "a deployment", lane}));
    EXPECT_EQ(since[1].strings,
              (std::vector<std::string>{"RunAtStartup: 1 -> 0", "TILL\\bob", "3", "a window", lane}));
    EXPECT_TRUE(EventsOf(log, MSG_CAPTURE_ENDED, before).empty()) << "the capture was restarted";
    bool present = false;
    EXPECT_EQ(LoadServiceParameters(present).settings, saved);

    SetEvent(stop);
    serving.join();
    core.Shutdown();
}
