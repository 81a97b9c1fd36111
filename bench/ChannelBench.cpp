// Measures the control channel and prints each figure beside its target:
//   - the server's handles after 1,000 client connections (target: flat);
//   - a change of state -> a connected window's notification (target: p95 <= 200 ms),
//     with three windows connected. Server and windows share this process here; between
//     processes the path is the same pipe.
// Run by scripts/bench.sh (make bench): channel_bench [CONNECTIONS [CHANGES]]
#include "service/PipeClient.h"
#include "service/PipeServer.h"

#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using bench::CountHandles;
using bench::Now;

namespace {

constexpr UINT kNotifyMessage = WM_APP + 1;

class OneCapture : public ICaptureControl {
public:
    bool Run(int, const CollectorSettings&, const Requester&) override { return true; }
    bool Stop(int, const Requester&) override { return true; }
    bool Save(int, const CollectorSettings&, const Requester&) override { return true; }
    std::vector<channel::ChannelState> States() const override
    {
        CSingleLock guard(&m_lock, true);
        return {m_state};
    }
    void Set(const channel::ChannelState& s)
    {
        CSingleLock guard(&m_lock, true);
        m_state = s;
    }

private:
    mutable CCriticalSection m_lock;
    channel::ChannelState m_state;
};

// One connection as a window makes it, Hello to the states, then gone; every fifth says
// nothing and every seventh sends garbage, as a careless or hostile client would.
bool ConnectOnce(const std::string& name, int i)
{
    HANDLE raw = CreateFileA(name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(name.c_str(), 2000)) return false;
        raw = CreateFileA(name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (raw == INVALID_HANDLE_VALUE) return false;
    }
    CHandle pipe(raw);
    if (i % 5 == 0) return true;
    std::string bytes;
    if (i % 7 == 0)
        bytes = "\xff\xff\xff\x7fgarbage";
    else
        channel::Encode(channel::Hello{}, bytes);
    DWORD n = 0;
    if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr)) return false;
    if (i % 7 == 0) return true;
    char answer[256];
    return ReadFile(pipe, answer, sizeof answer, &n, nullptr) && n > 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int connections = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int changes = argc > 2 ? std::atoi(argv[2]) : 200;
    const std::string name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.bench." + std::to_string(GetCurrentProcessId());

    OneCapture control;
    PipeServerOptions options;
    options.name = name;
    options.helloTimeoutMs = 1000;
    CPipeServer server(control, options);
    DWORD error = server.Start();
    if (error != ERROR_SUCCESS) {
        std::printf("channel bench: the server did not start (error %lu)\n", static_cast<unsigned long>(error));
        return 1;
    }

    // Handles: a round of every kind of connection first, so that what Wine makes lazily is
    // there before counting.
    for (int i = 0; i < 35; ++i) ConnectOnce(name, i);
    for (int i = 0; i < 40 && server.ClientCount() > 0; ++i) Sleep(100);
    unsigned before = CountHandles();
    // Two rounds: a leak grows with every round; what Wine makes once, on first use, does not.
    unsigned after[2] = {};
    int failed = 0;
    double start = Now();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < connections; ++i) failed += ConnectOnce(name, i) ? 0 : 1;
        // The silent ones end at their deadline.
        for (int i = 0; i < 40 && server.ClientCount() > 0; ++i) Sleep(100);
        after[round] = CountHandles();
    }
    double took = Now() - start;
    std::printf("channel handles: %u before, %u after %d client connections, %u after %d "
                "(%d refused, %.1f s) (target: flat)%s\n",
                before, after[0], connections, after[1], 2 * connections, failed, took,
                after[1] == after[0] ? "" : "  <-- GROWS");

    // Latency, with three windows connected; the first is watched through its notifications.
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::vector<std::unique_ptr<CPipeClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<CPipeClient>(name));
        if (i == 0) clients.back()->SetNotifyWindow(window, kNotifyMessage);
        clients.back()->Start();
    }
    for (int i = 0; i < 500 && !std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->IsConnected(); }); ++i)
        Sleep(10);

    std::vector<double> ms;
    for (int i = 1; i <= changes; ++i) {
        channel::ChannelState s;
        s.status.state = CaptureState::Capturing;
        s.status.bytes = static_cast<uint64_t>(i);
        control.Set(s);
        double t0 = Now();
        server.Broadcast(s);
        bool seen = false;
        while (!seen && Now() - t0 < 2.0) {
            MSG msg;
            if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_POSTMESSAGE) != WAIT_OBJECT_0) continue;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message != kNotifyMessage) continue;
                std::vector<channel::ChannelState> states = clients[0]->States();
                if (!states.empty() && states[0].status.bytes == s.status.bytes) seen = true;
            }
        }
        ms.push_back(seen ? (Now() - t0) * 1000.0 : 2000.0);
        Sleep(10); // changes come apart in practice, not in one burst
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    std::printf("channel state change -> window (3 windows, %d changes): p50 %.2f ms, p95 %.2f ms, max %.2f ms "
                "(target: p95 <= 200 ms)%s\n",
                changes, at(0.5), at(0.95), ms.empty() ? 0.0 : ms.back(), at(0.95) <= 200.0 ? "" : "  <-- OVER");
    clients.clear();
    DestroyWindow(window);
    server.Stop();
    return 0;
}
