// The control channel end to end, over real pipes: the service's server with a stand-in for
// the captures, the sessions' client, and clients that misbehave on purpose.
#include "channel/PipeClient.h"
#include "channel/PipeServer.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Messages.h"
#include "capture/CaptureTestSupport.h"
#include "service/ClientIdentity.h"
#include "support/ChannelTestSupport.h"
#include "support/RecordingEventLog.h"
#include "support/TestEnv.h"

using namespace channel;
using testenv::WaitFor;

namespace {

class FakeControl : public ICaptureControl {
public:
    ControlRefusal Run(int captureId, const CollectorSettings& settings, const Requester&) override
    {
        CSingleLock guard(&m_mutex, true);
        runs.push_back({captureId, settings});
        return Answer();
    }
    ControlRefusal Stop(int captureId, const Requester&) override
    {
        CSingleLock guard(&m_mutex, true);
        stops.push_back(captureId);
        return Answer();
    }
    ControlRefusal Save(int captureId, const CollectorSettings& settings, const Requester& who) override
    {
        return Run(captureId, settings, who);
    }
    ControlRefusal AddLane(int captureId, const CollectorSettings& settings, const Requester& who) override
    {
        return Run(captureId, settings, who);
    }
    ControlRefusal RemoveLane(int captureId, const Requester& who) override { return Stop(captureId, who); }
    ControlRefusal Answer() const { return accept ? ControlRefusal() : ControlRefusal(Refusal::NotAccepted); }
    std::vector<ChannelState> States() const override
    {
        CSingleLock guard(&m_mutex, true);
        return {state};
    }
    void SetState(const ChannelState& s)
    {
        CSingleLock guard(&m_mutex, true);
        state = s;
    }
    size_t Runs() const
    {
        CSingleLock guard(&m_mutex, true);
        return runs.size();
    }
    size_t Stops() const
    {
        CSingleLock guard(&m_mutex, true);
        return stops.size();
    }

    // Not std::mutex: winpthreads gives each thread that first locks one a handle of its own,
    // which the handle count would take for a leak.
    mutable CCriticalSection m_mutex;
    std::vector<RunCapture> runs;
    std::vector<int> stops;
    bool accept = true;
    ChannelState state;
};

std::string UniquePipeName()
{
    static int n = 0;
    return "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.test." + std::to_string(GetCurrentProcessId()) + "." +
           std::to_string(++n);
}

ChannelState StateWithBytes(uint64_t bytes, CaptureState state = CaptureState::Capturing)
{
    ChannelState s;
    s.status = {state, CaptureEnd::None, 5};
    s.status.bytes = bytes;
    s.status.reads = static_cast<uint32_t>(bytes / 10);
    return s;
}

bool Sees(const CPipeClient& client, uint64_t bytes)
{
    std::vector<ChannelState> states = client.States();
    return states.size() == 1 && states[0].status.bytes == bytes;
}

// A client end opened by hand, as a hostile program would.
class RawClient {
public:
    explicit RawClient(const std::string& name)
        : m_h(CreateFileA(name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr)),
          m_error(GetLastError())
    {
    }
    bool IsOpen() const { return m_h.IsValid(); }
    DWORD OpenError() const { return m_error; }
    bool Write(const std::string& bytes)
    {
        DWORD n = 0;
        return WriteFile(m_h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    }
    // True once the server has ended this connection (what it sent first is read and dropped).
    bool Dropped(DWORD timeoutMs)
    {
        return WaitFor(
            [this] {
                DWORD avail = 0;
                if (!PeekNamedPipe(m_h, nullptr, 0, nullptr, &avail, nullptr)) return true;
                char buf[4096];
                DWORD n = 0;
                if (avail > 0) ReadFile(m_h, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr);
                return false;
            },
            timeoutMs);
    }
    std::string ReadAvailable()
    {
        std::string out;
        DWORD avail = 0;
        while (PeekNamedPipe(m_h, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
            char buf[4096];
            DWORD n = 0;
            if (!ReadFile(m_h, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr)) break;
            out.append(buf, n);
        }
        return out;
    }
    HANDLE Get() const { return m_h; }

private:
    CHandle m_h;
    DWORD m_error;
};

std::string Framed(const Frame& f)
{
    std::string out;
    Encode(f, out);
    return out;
}

class PipeChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        options.name = UniquePipeName();
        options.maxClients = 8;
        options.helloTimeoutMs = 300;
        options.maxQueuedBytes = 4096;
        options.maxPerProcess = 4;
        control.SetState(StateWithBytes(7, CaptureState::WaitingForPort));
        StartServer();
    }

    void StartServer()
    {
        server = std::make_unique<CPipeServer>(control, options);
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), server->Start());
    }

    std::unique_ptr<CPipeClient> Connected()
    {
        auto client = std::make_unique<CPipeClient>(options.name);
        client->SetExpectedServer(testenv::ThisProcessAsServer);
        EXPECT_TRUE(client->Start());
        EXPECT_TRUE(WaitFor([&] { return client->IsConnected() && !client->States().empty(); }, 5000));
        return client;
    }

    FakeControl control;
    PipeServerOptions options;
    std::unique_ptr<CPipeServer> server;
};

} // namespace

TEST_F(PipeChannel, RunAndStopFromAWindowReachTheCapturesAndWhatTheyRefuseIsSaid)
{
    auto client = Connected();
    CollectorSettings settings;
    settings.commPort = 5;
    settings.baudRate = 19200;
    settings.dataBits = 7;
    settings.parity = 0;
    settings.stopBits = 2;
    settings.dataFile = "C:\\ProgramData\\Orvane DVR\\receipts.txt";
    settings.runAtStartup = 1;

    ASSERT_TRUE(client->Run(1, settings));
    ASSERT_TRUE(client->StopCapture(1));
    ASSERT_TRUE(WaitFor([&] { return control.Runs() == 1 && control.Stops() == 1; }, 5000));
    const CollectorSettings& got = control.runs[0].settings;
    EXPECT_EQ(1, control.runs[0].captureId);
    EXPECT_EQ(5, got.commPort);
    EXPECT_EQ(19200, got.baudRate);
    EXPECT_EQ(7, got.dataBits);
    EXPECT_EQ(0, got.parity);
    EXPECT_EQ(2, got.stopBits);
    EXPECT_STREQ("C:\\ProgramData\\Orvane DVR\\receipts.txt", got.dataFile);
    EXPECT_EQ(1, got.runAtStartup);

    // A lane that does not exist never reaches the control, nor an added lane that does or could
    // not; one the control declines is said.
    ASSERT_TRUE(client->Run(2, settings));
    ASSERT_TRUE(client->AddLane(1, settings));
    ASSERT_TRUE(client->AddLane(17, settings));
    {
        CSingleLock guard(&control.m_mutex, true);
        control.accept = false;
    }
    ASSERT_TRUE(client->StopCapture(1));
    std::vector<Refused> refusals;
    ASSERT_TRUE(WaitFor([&] {
        for (const Refused& r : client->TakeRefusals()) refusals.push_back(r);
        return refusals.size() >= 4;
    }, 5000));
    ASSERT_EQ(4u, refusals.size());
    EXPECT_EQ(2, refusals[0].captureId);
    EXPECT_EQ(Refusal::UnknownCapture, refusals[0].reason);
    EXPECT_EQ(Refusal::NoSuchLane, refusals[1].reason);
    EXPECT_EQ(17, refusals[2].captureId);
    EXPECT_EQ(Refusal::NoSuchLane, refusals[2].reason);
    EXPECT_EQ(1, refusals[3].captureId);
    EXPECT_EQ(Refusal::NotAccepted, refusals[3].reason);
    EXPECT_EQ(1u, control.Runs());
    EXPECT_TRUE(client->IsConnected());
}

TEST_F(PipeChannel, EveryWindowGetsTheCurrentStateAtOnceAndEveryChangeAndMessage)
{
    auto first = Connected();
    auto second = Connected();
    EXPECT_TRUE(Sees(*first, 7));
    EXPECT_EQ(CaptureState::WaitingForPort, first->States()[0].status.state);

    control.SetState(StateWithBytes(1234));
    server->Broadcast(StateWithBytes(1234));
    server->BroadcastMessage(0, {"The serial port stopped responding.", "Serial Port"});
    EXPECT_TRUE(WaitFor([&] { return Sees(*first, 1234) && Sees(*second, 1234); }, 5000));
    for (CPipeClient* c : {first.get(), second.get()}) {
        std::vector<UserMessage> messages;
        ASSERT_TRUE(WaitFor([&] {
            for (const UserMessage& m : c->TakeMessages()) messages.push_back(m);
            return !messages.empty();
        }, 5000));
        ASSERT_EQ(1u, messages.size());
        EXPECT_STREQ("The serial port stopped responding.", messages[0].message.text);
        EXPECT_STREQ("Serial Port", messages[0].message.caption);
    }
    // A window that comes later starts from the state as it is now.
    auto third = Connected();
    EXPECT_TRUE(Sees(*third, 1234));
    EXPECT_EQ(3, server->ClientCount());
}

TEST_F(PipeChannel, AWindowConnectsAgainWhenTheServiceComesBack)
{
    auto client = Connected();
    server.reset();
    ASSERT_TRUE(WaitFor([&] { return !client->IsConnected(); }, 5000));
    EXPECT_TRUE(client->States().empty());
    EXPECT_FALSE(client->Run(1, CollectorSettings()));

    control.SetState(StateWithBytes(99));
    server = std::make_unique<CPipeServer>(control, options);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), server->Start());
    EXPECT_TRUE(WaitFor([&] { return client->IsConnected() && Sees(*client, 99); }, 5000));
}

TEST_F(PipeChannel, NoOtherServerCanTakeTheNameWhileTheServiceHoldsIt)
{
    FakeControl other;
    CPipeServer squatter(other, options);
    // Refused by FILE_FLAG_FIRST_PIPE_INSTANCE (ERROR_ACCESS_DENIED) or, with every instance the
    // service allows already made, by the instance limit (ERROR_PIPE_BUSY: what Wine answers).
    DWORD error = squatter.Start();
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) << error;
    auto client = Connected();
    EXPECT_EQ(1, server->ClientCount());
}

TEST_F(PipeChannel, HostileClientsEndOnlyThemselvesAndLeakNothing)
{
    auto good = Connected();
    // Handles settle after the first connection of each kind (Wine makes a few lazily), and
    // after GoogleTest's first trace (it holds a handle to the thread that traces).
    {
        SCOPED_TRACE("warming up");
        auto warmup = Connected();
        RawClient raw(options.name);
        raw.Write(Framed(Hello{}));
        WaitFor([&] { return !raw.ReadAvailable().empty(); }, 5000);
    }
    ASSERT_TRUE(WaitFor([&] { return server->ClientCount() == 1; }, 5000));
    const unsigned handlesBefore = capturetest::CountHandles();

    const struct {
        const char* what;
        std::function<void(const std::string& name)> act;
    } cases[] = {
        {"garbage",
         [](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             c.Write("GET / HTTP/1.1\r\nHost: shop-pc\r\n\r\n");
             EXPECT_TRUE(c.Dropped(5000));
         }},
        {"a 2 GB length",
         [](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             c.Write(std::string("\x00\x00\x00\x80\x01\x00", 6));
             EXPECT_TRUE(c.Dropped(5000));
         }},
        {"another version",
         [](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             c.Write(Framed(Hello{kProtocolVersion + 1}));
             std::string answer;
             ASSERT_TRUE(WaitFor([&] { return (answer += c.ReadAvailable()).size() >= 9; }, 5000));
             Frame f;
             ASSERT_EQ(Decoded::Frame, TakeFrame(answer, f));
             ASSERT_TRUE(std::holds_alternative<Refused>(f));
             EXPECT_EQ(Refusal::UnsupportedVersion, std::get<Refused>(f).reason);
             // It goes when it has the answer; the deadline ends one that stays.
             EXPECT_TRUE(c.Dropped(5000));
         }},
        {"a request before Hello",
         [](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             c.Write(Framed(StopCapture{1}));
             EXPECT_TRUE(c.Dropped(5000));
         }},
        {"no Hello at all",
         [](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             EXPECT_TRUE(c.Dropped(5000));
         }},
        {"200 connections at once",
         [this](const std::string& name) {
             std::vector<std::unique_ptr<RawClient>> clients;
             for (int i = 0; i < 200; ++i) {
                 clients.push_back(std::make_unique<RawClient>(name));
                 if (!clients.back()->IsOpen()) {
                     EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), clients.back()->OpenError());
                 }
             }
             // This process (the good client among them) keeps no more than its share.
             EXPECT_TRUE(WaitFor([&] { return server->ClientCount() <= options.maxPerProcess; }, 2000));
         }},
        {"a client that never reads",
         [this, &good](const std::string& name) {
             RawClient c(name);
             ASSERT_TRUE(c.IsOpen());
             c.Write(Framed(Hello{}));
             ASSERT_TRUE(WaitFor([&] { return server->ClientCount() == 2; }, 5000));
             const std::string text(1000, 'x');
             for (int i = 0; i < 200 && server->ClientCount() == 2; ++i) {
                 server->BroadcastMessage(0, {text.c_str(), "Serial Port"});
                 Sleep(5);
             }
             EXPECT_TRUE(WaitFor([&] { return server->ClientCount() == 1; }, 5000));
             good->TakeMessages();
         }},
    };
    uint64_t bytes = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.act(options.name);
        ASSERT_TRUE(WaitFor([&] { return server->ClientCount() == 1; }, 5000));
        // The well-behaved window still hears every change, and a new one is served.
        control.SetState(StateWithBytes(++bytes));
        server->Broadcast(StateWithBytes(bytes));
        EXPECT_TRUE(WaitFor([&] { return Sees(*good, bytes); }, 5000));
        auto next = Connected();
        EXPECT_TRUE(Sees(*next, bytes));
        next.reset();
        EXPECT_TRUE(WaitFor([&] { return server->ClientCount() == 1; }, 5000));
    }
    EXPECT_TRUE(good->IsConnected());
    // Counted once: a handle left behind by any case shows here (a count takes a second on Wine).
    EXPECT_TRUE(WaitFor([&] { return capturetest::CountHandles() == handlesBefore; }, 2000))
        << capturetest::CountHandles() << " handles, " << handlesBefore << " before";
}

TEST_F(PipeChannel, ThePipeLetsEveryLoggedOnAccountReadAndWriteAndOnlyTheServiceSideMore)
{
    RawClient c(options.name);
    ASSERT_TRUE(c.IsOpen());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetSecurityInfo(c.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                                                 nullptr, nullptr, &dacl, nullptr, &sd));
    CLocalPtr<void> owned(sd);
    ASSERT_NE(nullptr, dacl);

    // Windows stores generic rights mapped to the pipe's own; Wine keeps them as given.
    auto full = [](ACCESS_MASK m) { return m == GENERIC_ALL || m == FILE_ALL_ACCESS; };
    const ACCESS_MASK readWrite = FILE_GENERIC_READ | FILE_WRITE_DATA;
    const struct {
        WELL_KNOWN_SID_TYPE who;
        BYTE aceType; // 0xFF: no entry at all
        std::function<bool(ACCESS_MASK)> mask;
    } expected[] = {
        {WinLocalSystemSid, ACCESS_ALLOWED_ACE_TYPE, full},
        {WinBuiltinAdministratorsSid, ACCESS_ALLOWED_ACE_TYPE, full},
        {WinAuthenticatedUserSid, ACCESS_ALLOWED_ACE_TYPE, [&](ACCESS_MASK m) { return m == readWrite; }},
        {WinInteractiveSid, 0xFF, nullptr},
        {WinNetworkSid, 0xFF, nullptr},
        {WinWorldSid, 0xFF, nullptr},
        {WinAnonymousSid, 0xFF, nullptr},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.who);
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        ASSERT_TRUE(CreateWellKnownSid(e.who, nullptr, sid, &size));
        int found = -1;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr; // the denied layout is the same
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            if (!EqualSid(&ace->SidStart, sid)) continue;
            found = static_cast<int>(i);
            EXPECT_EQ(e.aceType, ace->Header.AceType);
            if (e.mask) {
                EXPECT_TRUE(e.mask(ace->Mask)) << std::hex << ace->Mask;
            }
        }
        if (e.aceType == 0xFF) {
            EXPECT_EQ(-1, found);
        } else {
            EXPECT_NE(-1, found);
        }
    }
}

TEST_F(PipeChannel, AnAccountThatMayOnlyLookIsToldSoAndNoneOfItsRequestsReachTheCaptures)
{
    testenv::RecordingEventLog log;
    server.reset();
    options.identify = [](HANDLE, Requester& who) {
        who.account = "SHOP-PC\\cashier";
        who.sessionId = 2;
        who.mayControl = false;
        return true;
    };
    StartServer();
    auto client = Connected();
    EXPECT_FALSE(client->MayControl());
    EXPECT_STREQ("SHOP-PC\\cashier", client->Account());

    CollectorSettings settings;
    settings.dataFile = "C:\\elsewhere.txt";
    // One more than the events a connection may cause: the log is not the client's to fill.
    ASSERT_TRUE(client->Run(1, settings));
    ASSERT_TRUE(client->StopCapture(1));
    ASSERT_TRUE(client->Save(0, settings));
    ASSERT_TRUE(client->StopCapture(1));
    std::vector<Refused> refusals;
    ASSERT_TRUE(WaitFor([&] {
        for (const Refused& r : client->TakeRefusals()) refusals.push_back(r);
        return refusals.size() >= 4;
    }, 5000));
    for (const Refused& r : refusals) EXPECT_EQ(Refusal::NotAllowed, r.reason);
    EXPECT_EQ(0u, control.Runs());
    EXPECT_EQ(0u, control.Stops());
    const std::vector<testenv::RecordedEvent> events = log.Events();
    ASSERT_EQ(3u, events.size());
    for (const testenv::RecordedEvent& e : events) {
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, e.type);
        EXPECT_EQ(static_cast<DWORD>(MSG_REQUEST_REFUSED), e.id);
        ASSERT_EQ(4u, e.strings.size());
        EXPECT_EQ("SHOP-PC\\cashier", e.strings[0]);
        EXPECT_EQ("2", e.strings[1]);
    }
    EXPECT_EQ("Run", events[0].strings[2]);
    EXPECT_EQ("Stop", events[1].strings[2]);
    EXPECT_EQ("Lane 1 (COM1): ", events[0].strings[3]);
    EXPECT_EQ("", events[2].strings[3]) << "lane 0 is no lane";
    EXPECT_TRUE(client->IsConnected());
}

// Wine runs the tests as an elevated administrator: the real identification must name that
// account and session and let it control.
TEST_F(PipeChannel, TheServiceNamesTheClientsOwnAccountAndSession)
{
    auto client = Connected();
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    CHandle token(raw);
    TokenFacts facts;
    DWORD session = 99;
    ASSERT_TRUE(ReadTokenFacts(token, facts, session));
    EXPECT_STREQ(AccountName(facts.user.data()), client->Account());
    EXPECT_FALSE(client->Account().IsEmpty());
    EXPECT_TRUE(client->MayControl());
}

TEST_F(PipeChannel, AWindowBelievesNothingFromAServerThatIsNotTheService)
{
    ChannelState impostor = StateWithBytes(4242, CaptureState::Capturing);
    impostor.settings.dataFile = "C:\\Windows\\System32\\config\\SAM";
    control.SetState(impostor);
    auto fooled = std::make_unique<CPipeClient>(options.name);
    fooled->SetExpectedServer(testenv::AnotherProcessAsServer);
    ASSERT_TRUE(fooled->Start());
    ASSERT_TRUE(WaitFor([&] { return fooled->UntrustedServers() >= 2; }, 5000));
    server->BroadcastMessage(0, {"Call 555-0100 to keep your capture.", "Serial Port"});
    server->Broadcast(impostor);
    Sleep(200);
    EXPECT_FALSE(fooled->IsConnected());
    EXPECT_TRUE(fooled->States().empty());
    EXPECT_TRUE(fooled->TakeMessages().empty());
    EXPECT_TRUE(fooled->TakeRefusals().empty());
    EXPECT_FALSE(fooled->Run(1, CollectorSettings()));
    // It never said Hello: the server saw a connection come and go, no more.
    EXPECT_EQ(0, server->ClientCount());

    // The same server, expected, is believed.
    auto client = Connected();
    EXPECT_TRUE(Sees(*client, 4242));
}

// Relaunched by the next test as a second process: holds many connections until told to let go.
TEST(ConnectionHolder, HoldsConnectionsForAnotherTest)
{
    char name[256] = "";
    if (!GetEnvironmentVariableA("ORVANE_TEST_HOLD_PIPE", name, sizeof name)) GTEST_SKIP() << "run by the test below";
    char count[16] = "";
    GetEnvironmentVariableA("ORVANE_TEST_HOLD_COUNT", count, sizeof count);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < std::atoi(count); ++i) {
        held.push_back(std::make_unique<RawClient>(name));
        held.back()->Write(Framed(Hello{}));
    }
    CHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(name).substr(9) + ".held").c_str()));
    CHandle release(OpenEventA(SYNCHRONIZE, FALSE, (std::string(name).substr(9) + ".release").c_str()));
    ASSERT_TRUE(ready.IsValid() && release.IsValid());
    SetEvent(ready);
    WaitForSingleObject(release, 30000);
}

TEST_F(PipeChannel, OneProcessHoldingManyConnectionsDoesNotKeepAWindowOut)
{
    const std::string base = options.name.substr(9); // without \\.\pipe\, a valid object name
    CHandle held(CreateEventA(nullptr, TRUE, FALSE, (base + ".held").c_str()));
    CHandle release(CreateEventA(nullptr, TRUE, FALSE, (base + ".release").c_str()));
    char exe[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, exe, sizeof exe));
    SetEnvironmentVariableA("ORVANE_TEST_HOLD_PIPE", options.name.c_str());
    SetEnvironmentVariableA("ORVANE_TEST_HOLD_COUNT", "200");
    std::string command = std::string("\"") + exe + "\" --gtest_filter=ConnectionHolder.*";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("ORVANE_TEST_HOLD_PIPE", nullptr);
    ASSERT_TRUE(started);
    CHandle process(pi.hProcess);
    CHandle thread(pi.hThread);
    struct Ender {
        HANDLE release, process;
        ~Ender()
        {
            SetEvent(release);
            if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
        }
    } ender{release, process};

    HANDLE waits[] = {held, process};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 30000));
    // The holder keeps its share and no more (once the server has taken every connect it made);
    // the window gets an instance all the same.
    EXPECT_TRUE(WaitFor([&] { return server->ClientCount() <= options.maxPerProcess; }, 2000)) << server->ClientCount();
    auto window = Connected();
    EXPECT_TRUE(window->IsConnected());
    EXPECT_TRUE(Sees(*window, 7));
    EXPECT_TRUE(WaitFor([&] { return server->ClientCount() <= options.maxPerProcess + 1; }, 2000));
}
