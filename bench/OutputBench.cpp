// output_bench: a lane's network outputs on the loopback. Byte to recorder for listen (four
// recorders on one lane), connect and udp; a recorder that stops reading for N seconds while
// another reads (how long Captured takes, memory before and after); a restarted recorder's
// reconnect. Usage: output_bench [STALL_SECONDS]
#include "service/Winsock.h"

#include <psapi.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "bench/BenchSupport.h"
#include "service/Ipv4.h"
#include "service/NetworkOutput.h"

using namespace bench;

namespace {

// Each sample is a 16-byte record: its number, then padding. The send times are a side table.
const size_t kRecord = 16;
const int kSamples = 400;
const DWORD kPaceMs = 5;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    uint32_t n = 0;
    ParseIpv4("127.0.0.1", n);
    a.sin_addr.s_addr = n;
    return a;
}

uint16_t FreePort(int type)
{
    CSocket s(socket(AF_INET, type, 0));
    sockaddr_in a = Loopback(0);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    int size = sizeof a;
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

std::vector<OutputDefinition> Definitions(const std::string& text)
{
    OutputDefinition definition;
    std::string why;
    ParseOutput(text, definition, why);
    return {definition};
}

bool WaitFor(const std::function<bool()>& done, double seconds)
{
    const double until = Now() + seconds;
    while (!done()) {
        if (Now() > until) return false;
        Sleep(2);
    }
    return true;
}

// Reads records from a socket (stream or datagrams) and notes when each arrived.
class Receiver {
public:
    explicit Receiver(CSocket s) : m_socket(std::move(s)), m_arrived(kSamples, 0)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~Receiver()
    {
        m_socket.Close(); // ends the blocking read
        if (m_thread.joinable()) m_thread.join();
    }
    const std::vector<double>& Arrived() const { return m_arrived; }

private:
    void Run()
    {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const int n = recv(m_socket.Get(), buffer, sizeof buffer, 0);
            if (n <= 0) return;
            const double now = Now();
            pending.append(buffer, static_cast<size_t>(n));
            size_t at = 0;
            for (; pending.size() - at >= kRecord; at += kRecord) {
                int number = 0;
                std::memcpy(&number, pending.data() + at, sizeof number);
                if (number >= 0 && number < kSamples && m_arrived[number] == 0) m_arrived[number] = now;
            }
            pending.erase(0, at);
        }
    }
    CSocket m_socket;
    std::vector<double> m_arrived;
    std::thread m_thread;
};

// Sends kSamples records through the lane at a steady pace; the milliseconds each took to
// reach each receiver.
std::vector<double> Latencies(CLaneOutputs& outputs, const std::vector<std::unique_ptr<Receiver>>& receivers)
{
    std::vector<double> sent(kSamples, 0);
    char record[kRecord] = {};
    for (int i = 0; i < kSamples; ++i) {
        std::memcpy(record, &i, sizeof i);
        sent[i] = Now();
        outputs.Captured(record, sizeof record);
        Sleep(kPaceMs);
    }
    Sleep(300);
    std::vector<double> ms;
    for (const auto& r : receivers)
        for (int i = 0; i < kSamples; ++i)
            if (r->Arrived()[i] != 0) ms.push_back((r->Arrived()[i] - sent[i]) * 1000);
    return ms;
}

void Report(const char* what, const std::vector<double>& ms, size_t expected)
{
    const bool all = ms.size() == expected;
    Line(what,
         Fmt("%.2f / %.2f / %.1f ms", Percentile(ms, 0.5), Percentile(ms, 0.95), Percentile(ms, 1.0)) +
             (all ? "" : " (" + std::to_string(expected - ms.size()) + " lost)"),
         "p95 <= 20 ms", all && Percentile(ms, 0.95) <= 20);
}

CSocket ConnectTo(uint16_t port, int receiveBuffer = 0)
{
    CSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (receiveBuffer)
        setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
    sockaddr_in a = Loopback(port);
    connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

CSocket ListenOn(uint16_t port)
{
    CSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    // The closed connection's TIME_WAIT must not keep the restarted recorder from its port
    // (Wine passes bind to Linux, which refuses it then; Windows does not).
    BOOL reuse = TRUE;
    setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in a = Loopback(port);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s.Get(), 4);
    return s;
}

CSocket AcceptWithin(const CSocket& listener, double seconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener.Get(), &set);
    const long us = static_cast<long>(seconds * 1e6);
    timeval tv = {us / 1000000, us % 1000000};
    if (select(0, &set, nullptr, nullptr, &tv) != 1) return CSocket();
    return CSocket(accept(listener.Get(), nullptr, nullptr));
}

void ListenLatency()
{
    CLaneOutputs outputs;
    const uint16_t port = FreePort(SOCK_STREAM);
    outputs.Configure(Definitions("listen " + std::to_string(port)), 437);
    std::vector<std::unique_ptr<Receiver>> receivers;
    for (int i = 0; i < 4; ++i) receivers.push_back(std::make_unique<Receiver>(ConnectTo(port)));
    WaitFor([&] { return outputs.States()[0].peers.size() == 4; }, 5);
    Report("listen, 4 recorders, byte to recorder p50/p95/max", Latencies(outputs, receivers), 4 * kSamples);
}

void ConnectLatency()
{
    const uint16_t port = FreePort(SOCK_STREAM);
    CSocket listener = ListenOn(port);
    CLaneOutputs outputs;
    outputs.Configure(Definitions("connect 127.0.0.1:" + std::to_string(port)), 437);
    std::vector<std::unique_ptr<Receiver>> receivers;
    receivers.push_back(std::make_unique<Receiver>(AcceptWithin(listener, 5)));
    WaitFor([&] { return outputs.States()[0].link == OutputState::Link::Connected; }, 5);
    Report("connect, byte to recorder p50/p95/max", Latencies(outputs, receivers), kSamples);
}

void UdpLatency()
{
    const uint16_t port = FreePort(SOCK_DGRAM);
    CSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_in a = Loopback(port);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<std::unique_ptr<Receiver>> receivers;
    receivers.push_back(std::make_unique<Receiver>(std::move(s)));
    CLaneOutputs outputs;
    outputs.Configure(Definitions("udp 127.0.0.1:" + std::to_string(port)), 437);
    WaitFor([&] { return outputs.States()[0].link == OutputState::Link::Connected; }, 5);
    Report("udp, byte to recorder p50/p95/max", Latencies(outputs, receivers), kSamples);
}

void Memory(const char* when)
{
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    std::printf("  memory %-37s working set %.1f MB, committed %.1f MB\n", when, m.WorkingSetSize / 1048576.0,
                m.PagefileUsage / 1048576.0);
}

void Stall(double seconds)
{
    CLaneOutputs outputs;
    const uint16_t port = FreePort(SOCK_STREAM);
    outputs.Configure(Definitions("listen " + std::to_string(port)), 437);
    CSocket stalled = ConnectTo(port, 4096); // never read
    CSocket reading = ConnectTo(port);
    std::atomic<unsigned long long> read{0};
    std::thread reader([&] {
        char buffer[65536];
        int n;
        while ((n = recv(reading.Get(), buffer, sizeof buffer, 0)) > 0) read += static_cast<unsigned long long>(n);
    });
    WaitFor([&] { return outputs.States()[0].peers.size() == 2; }, 5);
    Memory("before the stall");
    // 100 KB a second, 1 KiB a call: far beyond a receipt printer's line.
    const std::string piece(1024, 'r');
    std::vector<double> callMs;
    unsigned long long captured = 0;
    const double end = Now() + seconds;
    while (Now() < end) {
        const double t = Now();
        outputs.Captured(piece.data(), piece.size());
        callMs.push_back((Now() - t) * 1000);
        captured += piece.size();
        Sleep(10);
    }
    WaitFor([&] { return read == captured; }, 5);
    Memory("after the stall");
    const OutputState state = outputs.States()[0];
    Line("stalled recorder: Captured() p95 / max", Fmt("%.3f / %.3f ms", Percentile(callMs, 0.95), Percentile(callMs, 1.0)),
         "p95 <= 1 ms", Percentile(callMs, 0.95) <= 1);
    Line("stalled recorder: the reading one got all", Fmt("%.0f of %.0f bytes", double(read), double(captured)),
         "all", read == captured);
    std::printf("  stalled recorder: dropped %llu bytes of %llu (%.0f s)\n", state.dropped, captured, seconds);
    outputs.Stop();
    reading.Close();
    reader.join();
}

// The recorder restarts: its connection and its listening socket go and come again. The
// milliseconds until the output is connected again, -1 when it is not within 35 s.
double Restart(CSocket& listener, CSocket& peer, uint16_t port)
{
    const double t = Now();
    peer.Close();
    listener.Close();
    listener = ListenOn(port);
    peer = AcceptWithin(listener, 35);
    return peer.IsValid() ? (Now() - t) * 1000 : -1;
}

void Reconnect(double holdSeconds)
{
    const uint16_t port = FreePort(SOCK_STREAM);
    CSocket listener = ListenOn(port);
    CLaneOutputs outputs;
    outputs.Configure(Definitions("connect 127.0.0.1:" + std::to_string(port)), 437);
    CSocket peer = AcceptWithin(listener, 5);
    Sleep(static_cast<DWORD>(holdSeconds * 1000));
    const double first = Restart(listener, peer, port);
    Line("restarted recorder: reconnect", Fmt("%.0f ms after %.1f s connected", first, holdSeconds), "<= 2 s",
         first >= 0 && first <= 2000);
    Sleep(1500);
    const double second = Restart(listener, peer, port);
    std::printf("  restarted again 1.5 s later: reconnect %.0f ms (the back-off's second step, 2 s)\n", second);
}

} // namespace

int main(int argc, char** argv)
{
    CWinsockUser winsock;
    const double stallSeconds = argc > 1 ? std::atof(argv[1]) : 60;
    std::printf("output_bench: a lane's network outputs on the loopback\n");
    ListenLatency();
    ConnectLatency();
    UdpLatency();
    Stall(stallSeconds);
    // A connection that lasted a clean minute starts its back-off from 1 s again.
    Reconnect(stallSeconds >= 60 ? 61 : 1.5);
    return 0;
}
