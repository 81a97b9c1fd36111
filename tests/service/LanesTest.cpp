// The service's lanes: several ports captured at once, each on its own; lanes that come and go
// through the registry and through a window; one port feeds one lane only.
#include "capture/CaptureTestSupport.h"
#include "channel/PipeClient.h"
#include "service/CaptureService.h"
#include "service/ServiceCore.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"
#include "settings/ServiceParameters.h"
#include "support/ChannelTestSupport.h"
#include "support/ParametersKeyGuard.h"
#include "support/RecordingEventLog.h"

#include "Messages.h"

#include <thread>

using namespace capturetest;

namespace {

void Reboot()
{
    CString path = CRegistryKey::KeyPath(kCollectorKeyIndex) + "Boot";
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0);
}

size_t CountOf(const testenv::RecordingEventLog& log, DWORD id)
{
    size_t n = 0;
    for (const testenv::RecordedEvent& e : log.Events()) n += e.id == id;
    return n;
}

// A value as reg.exe writes it.
void SetDword(HKEY key, const char* name, DWORD value)
{
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value), ERROR_SUCCESS);
}

// Three pairs, one lane each, and the service's keys cleared around every test.
class LanesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TESTENV();
        for (int k = 1; k <= 3; ++k) {
            ASSERT_TRUE(testenv::GetPair(k, pairs[k - 1])) << "pair " << k;
            // Bytes an earlier test left on the line are not this test's.
            CHandle end(CreateFileA(("\\\\.\\COM" + std::to_string(pairs[k - 1].port)).c_str(),
                                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (end.IsValid()) PurgeComm(end, PURGE_RXCLEAR | PURGE_TXCLEAR);
            ASSERT_TRUE(peers[k - 1].Open(pairs[k - 1].peer));
            const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
            files[k - 1] = testenv::ScratchDir() + "\\" + info->name() + ".lane" + std::to_string(k) + ".cap";
            DeleteFileA(files[k - 1].c_str());
        }
        Reboot();
    }
    void TearDown() override { Reboot(); }

    // Lane n on pair k.
    CollectorSettings Settings(int k, int runAtStartup = 1) const
    {
        CollectorSettings settings;
        settings.commPort = pairs[k - 1].port;
        settings.dataFile = files[k - 1].c_str();
        settings.runAtStartup = runAtStartup;
        return settings;
    }
    static CaptureView View(const CCaptureService& service, int lane)
    {
        for (const CaptureView& view : service.States())
            if (view.id == lane) return view;
        return CaptureView();
    }
    static std::vector<int> Lanes(const CCaptureService& service)
    {
        std::vector<int> lanes;
        for (const CaptureView& view : service.States()) lanes.push_back(view.id);
        return lanes;
    }
    // Serves as the service does, on a thread of its own (the watch and the windows' commands).
    void Serve(CServiceCore& core)
    {
        ASSERT_EQ(core.Start(), static_cast<DWORD>(ERROR_SUCCESS));
        serving = std::thread([&core, this] { core.Serve(stop); });
    }
    void EndServing(CServiceCore& core)
    {
        SetEvent(stop);
        if (serving.joinable()) serving.join();
        core.Shutdown();
    }

    testenv::ParametersKeyGuard parameters;
    testenv::PortPair pairs[3];
    testenv::PeerPort peers[3];
    std::string files[3];
    CHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::thread serving;
};

bool IsCapturing(const CaptureView& view) { return view.running && view.status.state == CaptureState::Capturing; }

} // namespace

TEST_F(LanesTest, ThreeLanesCaptureAtOnceByteExactAnUnpluggedOneLeavesTheOthersGoingAndARestartResumesEachAsItWas)
{
    ASSERT_EQ(SaveServiceSettings(Settings(1)), ERROR_SUCCESS);
    ASSERT_EQ(SaveLaneSettings(2, Settings(2)), ERROR_SUCCESS);
    ASSERT_EQ(SaveLaneSettings(3, Settings(3)), ERROR_SUCCESS);
    std::string sent[3];
    {
        CCaptureService service;
        service.Resume();
        EXPECT_EQ(Lanes(service), (std::vector<int>{1, 2, 3}));
        ASSERT_TRUE(PumpUntil([&] {
            return IsCapturing(View(service, 1)) && IsCapturing(View(service, 2)) && IsCapturing(View(service, 3));
        }, 5000));
        // Each line its own bytes, every value, all three at once.
        std::vector<std::thread> writers;
        for (int k = 0; k < 3; ++k) {
            sent[k] = EveryByteValue(48 * 1024, static_cast<unsigned>(k + 1));
            writers.emplace_back([&, k] { EXPECT_TRUE(peers[k].Write(sent[k])); });
        }
        for (std::thread& w : writers) w.join();
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(PumpUntil([&] { return FileSize(files[k]) >= static_cast<long long>(sent[k].size()); }, 10000))
                << "lane " << k + 1;
            EXPECT_EQ(testenv::ReadFileBytes(files[k]), sent[k]) << PrefixMismatch(sent[k], testenv::ReadFileBytes(files[k]));
        }

        {
            PlugGuard plug(pairs[1]);
            ASSERT_TRUE(testenv::Unplug(pairs[1]));
            ASSERT_TRUE(PumpUntil([&] { return View(service, 2).status.state == CaptureState::WaitingForPort; }, 5000));
            for (int k : {0, 2}) {
                ASSERT_TRUE(peers[k].Write("while lane 2 is out"));
                sent[k] += "while lane 2 is out";
            }
            for (int k : {0, 2})
                EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[k]) == sent[k]; }, 5000)) << "lane " << k + 1;
            EXPECT_TRUE(IsCapturing(View(service, 1)));
            EXPECT_TRUE(IsCapturing(View(service, 3)));
        }
        ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(service, 2)); }, 10000));
        peers[1].Close();
        ASSERT_TRUE(peers[1].Open(pairs[1].peer));
        ASSERT_TRUE(peers[1].Write(" back"));
        sent[1] += " back";
        EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[1]) == sent[1]; }, 5000));

        // Stopped from a window: not resumed. The others go on at the restart.
        ASSERT_TRUE(service.Stop(3, Requester()));
        EXPECT_TRUE(IsCapturing(View(service, 1)));
        service.Shutdown();
    }
    CCaptureService restarted;
    restarted.Resume();
    EXPECT_TRUE(View(restarted, 1).running);
    EXPECT_TRUE(View(restarted, 2).running);
    EXPECT_FALSE(View(restarted, 3).running);
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(restarted, 2)); }, 5000));
    ASSERT_TRUE(peers[1].Write(" restarted"));
    EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[1]) == sent[1] + " restarted"; }, 5000))
        << "a restart appends";
    restarted.Shutdown();
}

TEST_F(LanesTest, ALaneKeyADeploymentWritesStartsItsLaneAndDeletingTheKeyEndsIt)
{
    testenv::RecordingEventLog log;
    ASSERT_EQ(SaveServiceSettings(Settings(1, 0)), ERROR_SUCCESS);
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.lanewatch";
    CServiceCore core(options);
    Serve(core);
    auto view = [&] { return View(core.Captures(), 2); };

    // As `reg add ...\Parameters\Lane2 /v CommPort /t REG_DWORD /d 7` and so on, one value at a time.
    {
        HKEY made = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, LanePath(2), 0, nullptr, 0, KEY_SET_VALUE | kServiceParametersView,
                                  nullptr, &made, nullptr),
                  ERROR_SUCCESS);
        SetDword(made, "CommPort", static_cast<DWORD>(pairs[1].port));
        RegSetValueExA(made, "DataFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(files[1].c_str()),
                       static_cast<DWORD>(files[1].size() + 1));
        SetDword(made, "RunAtStartup", 1);
        RegCloseKey(made);
    }
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(view()); }, 5000));
    EXPECT_EQ(Lanes(core.Captures()), (std::vector<int>{1, 2}));
    EXPECT_FALSE(View(core.Captures(), 1).running) << "lane 1 is not touched";
    EXPECT_EQ(view().settings, Settings(2));
    ASSERT_TRUE(peers[1].Write("deployed"));
    EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[1]) == "deployed"; }, 5000));
    EXPECT_EQ(CountOf(log, MSG_LANE_ADDED), 1u);

    // A policy refresh writes the same again: nothing happens.
    const size_t events = log.Events().size();
    ASSERT_EQ(SaveLaneSettings(2, Settings(2)), ERROR_SUCCESS);
    PumpFor(700);
    EXPECT_EQ(log.Events().size(), events);

    ASSERT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, LanePath(2), kServiceParametersView, 0), ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return Lanes(core.Captures()) == std::vector<int>{1}; }, 5000));
    ASSERT_EQ(CountOf(log, MSG_LANE_REMOVED), 1u);
    ASSERT_TRUE(peers[1].Write(" after"));
    PumpFor(300);
    EXPECT_EQ(testenv::ReadFileBytes(files[1]), "deployed") << "the port is let go";
    EndServing(core);
}

TEST_F(LanesTest, TwoLanesOnOnePortLeaveTheLaterOneEndedWithOneErrorUntilItGetsAPortOfItsOwn)
{
    testenv::RecordingEventLog log;
    ASSERT_EQ(SaveServiceSettings(Settings(1, 0)), ERROR_SUCCESS);
    ASSERT_EQ(SaveLaneSettings(2, Settings(2)), ERROR_SUCCESS);
    CollectorSettings clash = Settings(3);
    clash.commPort = pairs[1].port;
    ASSERT_EQ(SaveLaneSettings(3, clash), ERROR_SUCCESS);

    CCaptureService service;
    service.Resume();
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(service, 2)); }, 5000))
        << View(service, 2).running << " " << static_cast<int>(View(service, 2).status.state);
    const CaptureView refused = View(service, 3);
    EXPECT_FALSE(refused.running);
    EXPECT_EQ(refused.status.state, CaptureState::Ended);
    std::vector<CaptureMessage> told = service.TakeMessages(3);
    ASSERT_EQ(told.size(), 1u);
    const std::string port = "COM" + std::to_string(pairs[1].port);
    EXPECT_EQ(std::string(told[0].text.GetString()).rfind("Lane 3 (" + port + "): " + port + " is the port of Lane 2 (", 0),
              0u)
        << told[0].text.GetString();
    std::vector<testenv::RecordedEvent> errors;
    for (const testenv::RecordedEvent& e : log.Events())
        if (e.id == MSG_LANE_PORT_TAKEN) errors.push_back(e);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].strings,
              (std::vector<std::string>{"Lane 3 (" + port + "): ", port, "Lane 2 (" + port + ")"}));

    // The same clash read again is not told again; a window cannot take the port either.
    service.OnParametersChanged();
    EXPECT_FALSE(service.Run(1, clash, Requester()));
    EXPECT_FALSE(View(service, 1).running);
    EXPECT_EQ(CountOf(log, MSG_LANE_PORT_TAKEN), 1u);
    EXPECT_TRUE(IsCapturing(View(service, 2))) << "the lane that had the port keeps it";

    // The deployment mends lane 3: it runs, as its settings ask.
    ASSERT_EQ(SaveLaneSettings(3, Settings(3)), ERROR_SUCCESS);
    service.OnParametersChanged();
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(service, 3)); }, 5000));
    EXPECT_TRUE(IsCapturing(View(service, 2)));
    service.Shutdown();
}

TEST_F(LanesTest, AWindowAddsALaneRunsItAndRemovesItButNeverOnAPortAnotherLaneHasNorLaneOne)
{
    testenv::RecordingEventLog log;
    ASSERT_EQ(SaveServiceSettings(Settings(1, 0)), ERROR_SUCCESS);
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.lanewindow";
    CServiceCore core(options);
    Serve(core);
    CPipeClient window(options.name);
    window.SetExpectedServer(testenv::ThisProcessAsServer);
    ASSERT_TRUE(window.Start());
    ASSERT_TRUE(PumpUntil([&] { return window.IsConnected(); }, 5000));
    ASSERT_TRUE(window.MayControl());
    auto lanes = [&] {
        std::vector<int> ids;
        for (const channel::ChannelState& s : window.States()) ids.push_back(s.captureId);
        return ids;
    };
    auto refusals = [&](size_t count) {
        std::vector<channel::Refused> got;
        PumpUntil([&] {
            for (const channel::Refused& r : window.TakeRefusals()) got.push_back(r);
            return got.size() >= count;
        }, 5000);
        return got;
    };

    ASSERT_TRUE(window.AddLane(2, Settings(2, 0)));
    ASSERT_TRUE(PumpUntil([&] { return lanes() == std::vector<int>{1, 2}; }, 5000));
    EXPECT_EQ(LoadServiceLanes()[2].settings, Settings(2, 0)) << "the lane is kept in its key";
    EXPECT_FALSE(View(core.Captures(), 2).running) << "added, not run";
    ASSERT_TRUE(window.Run(2, Settings(2, 0)));
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(core.Captures(), 2)); }, 5000));

    // Lane 2's port for a new lane or for lane 1, and lane 1 removed: each refused as it is asked.
    ASSERT_TRUE(window.AddLane(3, Settings(2, 0)));
    ASSERT_TRUE(window.Run(1, Settings(2, 0)));
    ASSERT_TRUE(window.RemoveLane(1));
    const std::vector<channel::Refused> refused = refusals(3);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].captureId, 3);
    EXPECT_EQ(refused[0].reason, channel::Refusal::PortInUse);
    EXPECT_EQ(refused[1].reason, channel::Refusal::PortInUse);
    EXPECT_EQ(refused[2].reason, channel::Refusal::NoSuchLane);
    EXPECT_FALSE(View(core.Captures(), 1).running);

    ASSERT_TRUE(window.RemoveLane(2));
    ASSERT_TRUE(PumpUntil([&] { return lanes() == std::vector<int>{1}; }, 5000));
    EXPECT_EQ(LoadServiceLanes().count(2), 0u) << "its key is gone";
    EXPECT_EQ(CountOf(log, MSG_LANE_ADDED), 1u);
    EXPECT_EQ(CountOf(log, MSG_LANE_REMOVED), 1u);
    window.Stop();
    EndServing(core);
}

namespace {

// A recorder that connects to a listen output, with every wait bounded.
class Recorder {
public:
    ~Recorder() { Close(); }
    bool Connect(unsigned short port)
    {
        Close();
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (m_socket == INVALID_SOCKET) return false;
        DWORD timeoutMs = 200;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(m_socket, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    // What came within ms, or until want bytes have.
    std::string Receive(size_t want, DWORD ms)
    {
        std::string got;
        const DWORD start = GetTickCount();
        char buffer[4096];
        while (got.size() < want && GetTickCount() - start < ms) {
            const int n = recv(m_socket, buffer, sizeof buffer, 0);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
            if (n == 0) break;
        }
        return got;
    }
    void Close()
    {
        if (m_socket != INVALID_SOCKET) closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
};

// A port nobody listens on now.
unsigned short FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    int size = sizeof at;
    getsockname(s, reinterpret_cast<sockaddr*>(&at), &size);
    closesocket(s);
    return ntohs(at.sin_port);
}

void SetOutputs(int lane, const std::vector<CString>& outputs)
{
    bool present = false;
    ServiceParameters parameters = lane == 1 ? LoadServiceParameters(present) : LoadServiceLanes()[lane];
    parameters.outputs = outputs;
    ASSERT_EQ(SaveLaneParameters(lane, parameters), ERROR_SUCCESS);
}

struct WinsockUser {
    WinsockUser()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};

} // namespace

TEST_F(LanesTest, ALanesRecordersGetItsBytesLiveAndAChangeOfOutputsLeavesTheCaptureAlone)
{
    WinsockUser winsock;
    testenv::RecordingEventLog log;
    const unsigned short first = FreePort();
    ServiceParameters lane1;
    lane1.settings = Settings(1);
    lane1.outputs = {CString(("listen " + std::to_string(first)).c_str()), "listen to the till"};
    ASSERT_EQ(SaveLaneParameters(1, lane1), ERROR_SUCCESS);
    PipeServerOptions options;
    options.name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.laneoutputs";
    CServiceCore core(options);
    Serve(core);
    auto outputs = [&] { return View(core.Captures(), 1).outputs; };
    ASSERT_TRUE(PumpUntil([&] { return IsCapturing(View(core.Captures(), 1)) && outputs().size() == 1; }, 5000));
    // The string that cannot be read is left out, said once; the other runs.
    EXPECT_EQ(CountOf(log, MSG_OUTPUT_UNUSABLE), 1u);

    Recorder recorder;
    ASSERT_TRUE(recorder.Connect(first));
    ASSERT_TRUE(PumpUntil([&] { return !outputs().empty() && outputs()[0].peers.size() == 1; }, 5000));
    const std::string receipt = EveryByteValue(8 * 1024, 7);
    ASSERT_TRUE(peers[0].Write(receipt));
    EXPECT_EQ(recorder.Receive(receipt.size(), 5000), receipt) << "raw: byte-exact";
    ASSERT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[0]) == receipt; }, 5000));
    ASSERT_TRUE(PumpUntil([&] { return CountOf(log, MSG_OUTPUT_CONNECTED) == 1; }, 5000));

    // Another port for the recorders: the old one closes, the capture and its file go on untouched.
    const size_t started = CountOf(log, MSG_CAPTURE_STARTED);
    const unsigned short second = FreePort();
    SetOutputs(1, {CString(("listen " + std::to_string(second)).c_str()), "listen to the till"});
    ASSERT_TRUE(PumpUntil([&] {
        const auto now = outputs();
        return now.size() == 1 && now[0].name == "listen " + std::to_string(second);
    }, 8000));
    EXPECT_EQ(recorder.Receive(1, 1000), "") << "the old output's recorder is let go";
    Recorder moved;
    ASSERT_TRUE(moved.Connect(second));
    ASSERT_TRUE(PumpUntil([&] { return !outputs().empty() && outputs()[0].peers.size() == 1; }, 5000));
    ASSERT_TRUE(peers[0].Write("after the move"));
    EXPECT_EQ(moved.Receive(14, 5000), "after the move");
    EXPECT_TRUE(PumpUntil([&] { return testenv::ReadFileBytes(files[0]) == receipt + "after the move"; }, 5000));
    EXPECT_EQ(CountOf(log, MSG_CAPTURE_STARTED), started) << "the capture was not restarted for its outputs";
    EXPECT_EQ(CountOf(log, MSG_OUTPUT_UNUSABLE), 1u) << "the bad string is not told again";

    // Stopped: the outputs stop with the capture.
    ASSERT_TRUE(core.Captures().Stop(1, Requester()));
    EXPECT_TRUE(outputs().empty());
    EXPECT_EQ(moved.Receive(1, 1000), "");
    EndServing(core);
}
