// A lane's network outputs on the loopback: every kind byte-exact, a recorder that stalls, one
// that goes and comes back, peers refused, output strings that cannot be read. Every wait is
// bounded; sockets and threads close with their owners even when a check fails.
#include "service/Winsock.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/Ipv4.h"
#include "service/NetworkOutput.h"
#include "service/OutputNotices.h"
#include "service/ReceiptText.h"

namespace {

const char kLoopback[] = "127.0.0.1";
// The second loopback address: a peer that "from" allows, the first being refused.
const char kOtherLoopback[] = "127.0.0.2";

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= until) return false;
        Sleep(5);
    }
}

sockaddr_in Address(const char* ip, uint16_t port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    uint32_t n = 0;
    ParseIpv4(ip, n);
    a.sin_addr.s_addr = n;
    return a;
}

// A loopback port nobody uses right now.
uint16_t FreePort(int type = SOCK_STREAM)
{
    CSocket s(socket(AF_INET, type, 0));
    sockaddr_in a = Address(kLoopback, 0);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    int size = sizeof a;
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

// Something (3 of every 256 byte values) no printable test text contains by chance.
std::string Bytes(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    unsigned x = seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// A recorder's end of a TCP connection: blocking, with reads bounded by a deadline.
class Recorder {
public:
    // From: the local address to connect from; receiveBuffer: 0 for the system's.
    bool Connect(uint16_t port, const char* from = kLoopback, int receiveBuffer = 0)
    {
        m_socket = CSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (receiveBuffer)
            setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                       sizeof receiveBuffer);
        sockaddr_in local = Address(from, 0);
        sockaddr_in remote = Address(kLoopback, port);
        return bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
               connect(m_socket.Get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    }
    void Adopt(SOCKET s) { m_socket = CSocket(s); }
    // Reads what there is within waitMs. False when the connection ended.
    bool ReadSome(DWORD waitMs)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket.Get(), &set);
        timeval tv = {static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
        if (select(0, &set, nullptr, nullptr, &tv) != 1) return true;
        char buffer[16384];
        const int n = recv(m_socket.Get(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        got.append(buffer, static_cast<size_t>(n));
        return true;
    }
    bool ReadUntil(size_t size, DWORD timeoutMs = 5000)
    {
        return WaitUntil([&] { return !ReadSome(10) || got.size() >= size; }, timeoutMs) && got.size() >= size;
    }
    // True when the other end closed the connection within timeoutMs.
    bool Closed(DWORD timeoutMs = 3000)
    {
        bool open = true;
        WaitUntil([&] { return !(open = ReadSome(10)); }, timeoutMs);
        return !open;
    }
    void Close() { m_socket.Close(); }

    std::string got;

private:
    CSocket m_socket;
};

// A recorder that listens (what a connect output connects to).
class RecorderServer {
public:
    bool Listen(uint16_t port)
    {
        m_socket = CSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in a = Address(kLoopback, port);
        return bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_socket.Get(), 4) == 0;
    }
    bool Accept(Recorder& recorder, DWORD timeoutMs = 5000)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket.Get(), &set);
        timeval tv = {static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
        if (select(0, &set, nullptr, nullptr, &tv) != 1) return false;
        recorder.Adopt(accept(m_socket.Get(), nullptr, nullptr));
        return true;
    }
    void Close() { m_socket.Close(); }

private:
    CSocket m_socket;
};

// A recorder that takes datagrams.
class DatagramRecorder {
public:
    explicit DatagramRecorder(uint16_t port) : m_socket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
    {
        sockaddr_in a = Address(kLoopback, port);
        bound = bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // The datagrams that came within timeoutMs, until count have.
    std::vector<std::string> Receive(size_t count, DWORD timeoutMs = 3000)
    {
        std::vector<std::string> got;
        WaitUntil(
            [&] {
                fd_set set;
                FD_ZERO(&set);
                FD_SET(m_socket.Get(), &set);
                timeval tv = {0, 10000};
                if (select(0, &set, nullptr, nullptr, &tv) == 1) {
                    char buffer[65536];
                    const int n = recv(m_socket.Get(), buffer, sizeof buffer, 0);
                    if (n >= 0) got.emplace_back(buffer, static_cast<size_t>(n));
                }
                return got.size() >= count;
            },
            timeoutMs);
        return got;
    }
    bool bound = false;

private:
    CSocket m_socket;
};

OutputDefinition Definition(const std::string& text)
{
    OutputDefinition definition;
    std::string why;
    EXPECT_TRUE(ParseOutput(text, definition, why)) << text << ": " << why;
    return definition;
}

class NetworkOutputTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_winsock.Error(), 0); }
    void TearDown() override { outputs.Stop(); }

    void Start(const std::vector<std::string>& texts, unsigned codePage = 437)
    {
        std::vector<OutputDefinition> definitions;
        for (const std::string& t : texts) definitions.push_back(Definition(t));
        outputs.Configure(definitions, codePage);
    }
    OutputState State(size_t i = 0)
    {
        std::vector<OutputState> states = outputs.States();
        return i < states.size() ? states[i] : OutputState();
    }
    bool WaitForPeers(size_t count, size_t output = 0)
    {
        return WaitUntil([&] { return State(output).peers.size() == count; });
    }
    bool WaitForLink(OutputState::Link link, DWORD timeoutMs = 5000)
    {
        return WaitUntil([&] { return State().link == link; }, timeoutMs);
    }
    // Every event so far, of this kind.
    std::vector<OutputEvent> Events(OutputEvent::Kind kind)
    {
        for (OutputEvent& e : outputs.TakeEvents()) events.push_back(e);
        std::vector<OutputEvent> found;
        for (const OutputEvent& e : events)
            if (e.kind == kind) found.push_back(e);
        return found;
    }
    void Capture(const std::string& bytes) { outputs.Captured(bytes.data(), bytes.size()); }

    CWinsockUser m_winsock;
    std::vector<OutputEvent> events;
    CLaneOutputs outputs;
};

} // namespace

TEST(OutputStringTest, WhatCanBeReadAndWhyTheRestCannot)
{
    struct Good {
        const char* text;
        OutputKind kind;
        const char* host;
        uint16_t port;
        std::vector<std::string> from;
        bool text_;
        const char* name;
    };
    const Good good[] = {
        {"listen 9100", OutputKind::Listen, "", 9100, {}, false, "listen 9100"},
        {"  LISTEN\t1 text ", OutputKind::Listen, "", 1, {}, true, "LISTEN\t1 text"},
        {"listen 65535 from 192.168.1.20,10.0.0.1 text", OutputKind::Listen, "", 65535,
         {"192.168.1.20", "10.0.0.1"}, true, nullptr},
        {"listen 4000 text from 10.0.0.1, 10.0.0.2", OutputKind::Listen, "", 4000, {"10.0.0.1", "10.0.0.2"}, true,
         nullptr},
        {"connect 192.168.1.20:9100", OutputKind::Connect, "192.168.1.20", 9100, {}, false, nullptr},
        {"Connect nvr-1.shop.local:4000 Text", OutputKind::Connect, "nvr-1.shop.local", 4000, {}, true, nullptr},
        {"udp 10.1.2.3:514", OutputKind::Udp, "10.1.2.3", 514, {}, false, nullptr},
    };
    for (const Good& g : good) {
        SCOPED_TRACE(g.text);
        OutputDefinition definition;
        std::string why;
        ASSERT_TRUE(ParseOutput(g.text, definition, why)) << why;
        EXPECT_EQ(definition.kind, g.kind);
        EXPECT_EQ(definition.host, g.host);
        EXPECT_EQ(definition.port, g.port);
        std::vector<uint32_t> from;
        for (const std::string& a : g.from) {
            uint32_t n = 0;
            ASSERT_TRUE(ParseIpv4(a, n));
            from.push_back(n);
        }
        EXPECT_EQ(definition.from, from);
        EXPECT_EQ(definition.text, g.text_);
        if (g.name) {
            EXPECT_EQ(definition.name, g.name);
        }
    }

    struct Bad {
        const char* text;
        const char* why;
    };
    const Bad bad[] = {
        {"", "the output is empty"},
        {"   ", "the output is empty"},
        {"tcp 9100", "unknown kind \"tcp\": an output starts with listen, connect or udp"},
        {"listen", "listen needs a port"},
        {"listen 0", "the port must be a number from 1 to 65535"},
        {"listen 65536", "the port must be a number from 1 to 65535"},
        {"listen 91OO", "the port must be a number from 1 to 65535"},
        {"listen -5", "the port must be a number from 1 to 65535"},
        {"listen 127.0.0.1:9100", "listen takes a port, not an address"},
        {"listen 9100 txt", "unknown word \"txt\""},
        {"listen 9100 text text", "\"text\" is given twice"},
        {"listen 9100 from", "from needs at least one IPv4 address"},
        {"listen 9100 from 10.0.0.256", "from takes IPv4 addresses: 10.0.0.256 is not one"},
        {"listen 9100 from 10.0.0.1,,10.0.0.2", "from needs IPv4 addresses separated by commas"},
        {"listen 9100 from nvr.local", "from takes IPv4 addresses: nvr.local is not one"},
        {"connect 192.168.1.20", "connect needs HOST:PORT, such as connect 192.168.1.20:9100"},
        {"connect", "connect needs HOST:PORT"},
        {"connect :9100", "the address before the port is missing"},
        {"connect 192.168.1.20:", "the port must be a number from 1 to 65535"},
        {"connect 192.168.1.300:9100", "192.168.1.300 is not an IPv4 address"},
        {"connect 010.1.1.1:9100", "010.1.1.1 is not an IPv4 address"},
        {"connect nvr_1:9100", "\"nvr_1\" is not a host name or an IPv4 address"},
        {"connect 10.0.0.1:9100 from 10.0.0.2", "from is for listen outputs only"},
        {"udp 10.0.0.1:99999", "the port must be a number from 1 to 65535"},
        {"udp 10.0.0.1:514 raw", "unknown word \"raw\""},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.text);
        OutputDefinition definition;
        definition.port = 7;
        std::string why;
        EXPECT_FALSE(ParseOutput(b.text, definition, why));
        EXPECT_EQ(why, b.why);
        EXPECT_EQ(definition.port, 7) << "a refused string leaves the definition alone";
    }
}

TEST(OutputStringTest, OutputsAreTheSameOnlyWhenEveryPartIs)
{
    const OutputDefinition base = Definition("listen 9100 from 10.0.0.1 text");
    EXPECT_EQ(base, Definition("listen 9100 from 10.0.0.1 text"));
    for (const char* other : {"listen 9101 from 10.0.0.1 text", "listen 9100 from 10.0.0.2 text",
                              "listen 9100 text", "listen 9100 from 10.0.0.1", "connect 10.0.0.1:9100 text"})
        EXPECT_NE(base, Definition(other)) << other;
}

TEST(BackOffTest, DoublesToThirtySecondsAndStartsOverOnlyAfterACleanMinute)
{
    CBackOff backOff;
    unsigned long long now = 1000000;
    std::vector<DWORD> waits;
    for (int i = 0; i < 7; ++i) {
        backOff.Failed(now, 0);
        waits.push_back(backOff.Wait(now));
        EXPECT_FALSE(backOff.Due(now + waits.back() - 1));
        now += waits.back();
        EXPECT_TRUE(backOff.Due(now));
    }
    EXPECT_EQ(waits, (std::vector<DWORD>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
    // Up for less than a minute: the next wait is no shorter.
    backOff.Failed(now + 59999, now);
    EXPECT_EQ(backOff.Wait(now + 59999), 30000u);
    now += 59999 + 30000;
    backOff.Failed(now + 60000, now);
    EXPECT_EQ(backOff.Wait(now + 60000), 1000u);
}

TEST_F(NetworkOutputTest, ListenGivesEachRecorderEveryByteFromItsConnectionOn)
{
    const uint16_t port = FreePort();
    Start({"listen " + std::to_string(port)});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening));
    Recorder first, second;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(WaitForPeers(1));
    const std::string before = Bytes(40000, 1);
    Capture(before.substr(0, 1));
    Capture(before.substr(1));
    ASSERT_TRUE(first.ReadUntil(before.size()));

    ASSERT_TRUE(second.Connect(port));
    ASSERT_TRUE(WaitForPeers(2));
    const std::string after = Bytes(30000, 2);
    for (size_t at = 0; at < after.size(); at += 1000) Capture(after.substr(at, 1000));
    ASSERT_TRUE(first.ReadUntil(before.size() + after.size()));
    ASSERT_TRUE(second.ReadUntil(after.size()));
    EXPECT_TRUE(first.got == before + after);
    EXPECT_TRUE(second.got == after);
    EXPECT_EQ(State().sent, before.size() + 2 * after.size());
    EXPECT_EQ(State().dropped, 0u);
    // Both come from one address: one recorder to the events.
    std::vector<OutputEvent> connected = Events(OutputEvent::Kind::Connected);
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].peer, kLoopback);
    EXPECT_EQ(connected[0].output, "listen " + std::to_string(port));
}

TEST_F(NetworkOutputTest, ConnectSendsEveryByteAndComesBackToARestartedRecorderWithWhatWaited)
{
    const uint16_t port = FreePort();
    RecorderServer server;
    ASSERT_TRUE(server.Listen(port));
    Start({"connect 127.0.0.1:" + std::to_string(port)});
    Recorder recorder;
    ASSERT_TRUE(server.Accept(recorder));
    ASSERT_TRUE(WaitForLink(OutputState::Link::Connected));
    const std::string first = Bytes(50000, 3);
    Capture(first);
    ASSERT_TRUE(recorder.ReadUntil(first.size()));
    EXPECT_TRUE(recorder.got == first);

    // The recorder restarts: the connection and its listening socket go, then come again.
    recorder.Close();
    server.Close();
    ASSERT_TRUE(WaitUntil([&] { return State().link != OutputState::Link::Connected; }));
    const std::string meanwhile = Bytes(3000, 4);
    Capture(meanwhile);
    ASSERT_TRUE(server.Listen(port));
    Recorder again;
    ASSERT_TRUE(server.Accept(again, 8000));
    const std::string later = Bytes(2000, 5);
    ASSERT_TRUE(WaitForLink(OutputState::Link::Connected));
    Capture(later);
    ASSERT_TRUE(again.ReadUntil(meanwhile.size() + later.size()));
    EXPECT_TRUE(again.got == meanwhile + later);

    EXPECT_EQ(Events(OutputEvent::Kind::Connected).size(), 1u);
    ASSERT_EQ(Events(OutputEvent::Kind::Lost).size(), 1u);
    std::vector<OutputEvent> back = Events(OutputEvent::Kind::Back);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].peer, "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(back[0].dropped, 0u);
    EXPECT_GT(back[0].outageMs, 0u);
}

TEST_F(NetworkOutputTest, UdpSendsWhatEachPieceBroughtCutAtDatagramSize)
{
    const uint16_t port = FreePort(SOCK_DGRAM);
    DatagramRecorder recorder(port);
    ASSERT_TRUE(recorder.bound);
    // By name: the lookup's address must come out as the recorder's.
    Start({"udp localhost:" + std::to_string(port)});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Connected));
    const std::string a = Bytes(10, 6), b = Bytes(1400, 7), c = Bytes(3000, 8);
    for (const std::string* piece : {&a, &b, &c}) {
        Capture(*piece);
        // One piece at a time: the next is a datagram of its own.
        ASSERT_TRUE(WaitUntil([&] { return State().sent >= 10; }));
        Sleep(20);
    }
    const std::vector<std::string> got = recorder.Receive(5);
    const std::vector<std::string> want = {a, b, c.substr(0, 1400), c.substr(1400, 1400), c.substr(2800)};
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(got[i] == want[i]) << "datagram " << i;
    EXPECT_EQ(State().sent, a.size() + b.size() + c.size());
}

TEST_F(NetworkOutputTest, TextGoesThroughTheReceiptTextAndUdpCarriesWholeLines)
{
    const uint16_t tcpPort = FreePort();
    const uint16_t udpPort = FreePort(SOCK_DGRAM);
    DatagramRecorder datagrams(udpPort);
    ASSERT_TRUE(datagrams.bound);
    Start({"listen " + std::to_string(tcpPort) + " text", "udp 127.0.0.1:" + std::to_string(udpPort) + " text"},
          850);
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening));
    Recorder recorder;
    ASSERT_TRUE(recorder.Connect(tcpPort));
    ASSERT_TRUE(WaitForPeers(1));
    ASSERT_TRUE(WaitUntil([&] { return State(1).link == OutputState::Link::Connected; }));

    // A receipt with printer commands and code page characters, cut mid-line, and lines long
    // enough that three do not fit one datagram.
    const std::string line(600, 'x');
    const std::string pieces[] = {"\x1b@\x1b!\x30" "Caf\x82 ", "\x9c 4.50\r\n\x1b" "E\x01Total\r",
                                  "\n" + line + "\r\n" + line + "\r\n" + line + "\r\n"};
    std::string all;
    for (const std::string& p : pieces) {
        Capture(p);
        all += p;
        Sleep(20);
    }
    CReceiptText converter(850);
    converter.Feed(all.data(), all.size());
    const std::string want = converter.TakeAll();
    ASSERT_TRUE(recorder.ReadUntil(want.size()));
    EXPECT_EQ(recorder.got, want);

    const std::vector<std::string> got = datagrams.Receive(4);
    std::string joined;
    for (const std::string& d : got) {
        joined += d;
        EXPECT_LE(d.size(), 1400u);
        EXPECT_EQ(d.substr(d.size() - 2), "\r\n") << "a datagram carries whole lines";
    }
    EXPECT_EQ(joined, want);
    // The first line; "Total" and two long lines; the third long line.
    EXPECT_EQ(got.size(), 3u);
}

TEST_F(NetworkOutputTest, ARecorderThatStallsLosesTheOldestAloneAndGetsTheNewestWhenItReadsAgain)
{
    const uint16_t port = FreePort();
    Start({"listen " + std::to_string(port)});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening));
    Recorder stalled, reading;
    ASSERT_TRUE(stalled.Connect(port, kOtherLoopback, 4096));
    ASSERT_TRUE(reading.Connect(port));
    ASSERT_TRUE(WaitForPeers(2));

    // Far more than the stalled one's buffer and its connection hold, while the other reads.
    const std::string data = Bytes(1500 * 1024, 9);
    for (size_t at = 0; at < data.size(); at += 1024) {
        Capture(data.substr(at, 1024));
        if ((at / 1024) % 32 == 31) {
            ASSERT_TRUE(reading.ReadUntil(at + 1024)) << at;
        }
    }
    ASSERT_TRUE(reading.ReadUntil(data.size()));
    EXPECT_TRUE(reading.got == data);
    ASSERT_TRUE(WaitUntil([&] { return State().dropped > 0; }));

    // Reading again, it gets what its buffer kept: the newest bytes, up to the last.
    ASSERT_TRUE(WaitUntil([&] {
        stalled.ReadSome(10);
        const OutputState s = State();
        return stalled.got.size() + s.dropped == data.size();
    })) << stalled.got.size() << " got, " << State().dropped << " dropped of " << data.size();
    const OutputState s = State();
    EXPECT_GE(s.dropped, data.size() - 2 * CLaneOutputs::kRecorderBuffer - 256 * 1024);
    EXPECT_EQ(stalled.got.substr(stalled.got.size() - 1000), data.substr(data.size() - 1000));
    std::vector<OutputEvent> dropping = Events(OutputEvent::Kind::Dropping);
    ASSERT_EQ(dropping.size(), 1u) << "said once for the whole stall";
    EXPECT_EQ(dropping[0].peer, kOtherLoopback);
}

TEST_F(NetworkOutputTest, APeerOutsideFromOrBeyondFourIsClosedUnread)
{
    const uint16_t port = FreePort();
    const uint16_t limited = FreePort();
    Start({"listen " + std::to_string(port), "listen " + std::to_string(limited) + " from 127.0.0.2"});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening));
    ASSERT_TRUE(WaitUntil([&] { return State(1).link == OutputState::Link::Listening; }));

    Recorder four[4], fifth, outside, inside;
    for (Recorder& r : four) ASSERT_TRUE(r.Connect(port));
    ASSERT_TRUE(WaitForPeers(4));
    ASSERT_TRUE(fifth.Connect(port));
    ASSERT_TRUE(outside.Connect(limited, kLoopback));
    ASSERT_TRUE(inside.Connect(limited, kOtherLoopback));
    ASSERT_TRUE(WaitForPeers(1, 1));
    Capture("receipt\r\n");
    EXPECT_TRUE(fifth.Closed());
    EXPECT_TRUE(outside.Closed());
    EXPECT_EQ(fifth.got, "");
    EXPECT_EQ(outside.got, "");
    ASSERT_TRUE(inside.ReadUntil(9));
    EXPECT_EQ(inside.got, "receipt\r\n");
    for (Recorder& r : four) {
        ASSERT_TRUE(r.ReadUntil(9));
        EXPECT_EQ(r.got, "receipt\r\n");
    }
    EXPECT_EQ(State(0).peers.size(), 4u);
    ASSERT_EQ(State(1).peers.size(), 1u);
    EXPECT_EQ(State(1).peers[0].rfind("127.0.0.2:", 0), 0u);
}

TEST_F(NetworkOutputTest, APortTakenOrANameThatDoesNotResolveIsSaidOnceAndHoldsUpNothing)
{
    // The port is taken by another socket; the names cannot resolve.
    RecorderServer taken;
    const uint16_t takenPort = FreePort();
    ASSERT_TRUE(taken.Listen(takenPort));
    Start({"listen " + std::to_string(takenPort), "connect no-such-recorder.invalid:9100",
           "udp no-such-recorder.invalid:514"});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Failed));
    ASSERT_TRUE(WaitUntil([&] { return Events(OutputEvent::Kind::Unusable).size() == 3; }, 15000));
    EXPECT_EQ(State(1).link, OutputState::Link::Waiting);
    EXPECT_EQ(State(2).link, OutputState::Link::Waiting);
    // The bytes go on being taken meanwhile, and the capture is never held up by them.
    Capture(Bytes(200000, 10));

    // The port comes free: the output listens within its retry.
    taken.Close();
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening, 8000));
    const ULONGLONG before = GetTickCount64();
    outputs.Stop();
    EXPECT_LT(GetTickCount64() - before, 2000u);
    EXPECT_TRUE(outputs.States().empty());
    std::vector<OutputEvent> unusable = Events(OutputEvent::Kind::Unusable);
    EXPECT_NE(unusable[0].why.find("port " + std::to_string(takenPort)), std::string::npos) << unusable[0].why;
}

TEST_F(NetworkOutputTest, ARecorderThatNeverAnswersCostsItsOutputFiveSecondsAndNothingElse)
{
    // A listener whose queue is full and never accepted: the system drops further SYNs, as a
    // recorder that is switched off or firewalled drops them.
    const uint16_t port = FreePort();
    CSocket deaf(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Address(kLoopback, port);
    ASSERT_EQ(bind(deaf.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(deaf.Get(), 1), 0);
    std::vector<CSocket> queued;
    for (int i = 0; i < 4; ++i) {
        queued.emplace_back(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        ioctlsocket(queued.back().Get(), FIONBIO, &nonBlocking);
        connect(queued.back().Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    Sleep(200);
    const uint16_t listening = FreePort();
    Start({"connect 127.0.0.1:" + std::to_string(port), "listen " + std::to_string(listening)});
    Recorder other;
    ASSERT_TRUE(other.Connect(listening));
    ASSERT_TRUE(WaitForPeers(1, 1));
    ASSERT_TRUE(WaitForLink(OutputState::Link::Connecting, 1000));
    // Meanwhile the other output gets every byte at once.
    const std::string bytes = Bytes(30000, 12);
    Capture(bytes);
    ASSERT_TRUE(other.ReadUntil(bytes.size()));
    EXPECT_EQ(other.got, bytes);
    if (State().link == OutputState::Link::Connected) GTEST_SKIP() << "this system answered a full queue";
    ASSERT_TRUE(WaitUntil([&] { return !Events(OutputEvent::Kind::Lost).empty(); }, 8000));
    EXPECT_EQ(Events(OutputEvent::Kind::Lost)[0].why, "the recorder did not answer within 5 seconds");
    EXPECT_EQ(State().link, OutputState::Link::Waiting);
    const ULONGLONG before = GetTickCount64();
    outputs.Stop();
    EXPECT_LT(GetTickCount64() - before, 2000u);
}

TEST_F(NetworkOutputTest, ConfigureKeepsAnUnchangedOutputsRecordersAndEndsTheOthers)
{
    const uint16_t kept = FreePort();
    const uint16_t dropped = FreePort();
    Start({"listen " + std::to_string(kept), "listen " + std::to_string(dropped)});
    ASSERT_TRUE(WaitForLink(OutputState::Link::Listening));
    ASSERT_TRUE(WaitUntil([&] { return State(1).link == OutputState::Link::Listening; }));
    Recorder stays, goes;
    ASSERT_TRUE(stays.Connect(kept));
    ASSERT_TRUE(goes.Connect(dropped));
    ASSERT_TRUE(WaitForPeers(1, 0));
    ASSERT_TRUE(WaitForPeers(1, 1));

    Start({"udp 127.0.0.1:9", "listen " + std::to_string(kept)});
    EXPECT_TRUE(goes.Closed());
    ASSERT_EQ(outputs.States().size(), 2u);
    EXPECT_EQ(State(1).name, "listen " + std::to_string(kept));
    EXPECT_EQ(State(1).peers.size(), 1u);
    Capture("still here\r\n");
    ASSERT_TRUE(stays.ReadUntil(12));
    EXPECT_EQ(stays.got, "still here\r\n");
}
