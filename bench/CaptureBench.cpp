// Measures the capture worker on virtual pair 1 of the test environment and prints each
// figure beside its target. Run by scripts/bench.sh (make bench):
//   capture_bench POSSIM_EXE [STEADY_SECONDS [cpu|lanes|outputs]]
// Winsock's header before windows.h.
#include <winsock2.h>

#include <psapi.h>

#include "capture/CaptureWorker.h"
#include "service/NetworkOutput.h"
#include "service/OutputString.h"
#include "serial/SerialPort.h"
#include "platform/Handle.h"

#include <memory>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using namespace bench;

namespace {
// A capture of port into path at baud, 8N1.
CaptureRequest Request(const std::string& path, int port, unsigned baud)
{
    CaptureRequest request;
    request.line = {port, baud, 8, NoParity, OneStopBit};
    request.file = CString(path.c_str());
    return request;
}

// One capture fed by a writer thread on its pair's other end: records of a fixed size on a fixed
// schedule (a writer that falls behind sends what is due at once, as a terminal's spooler does).
struct Feed {
    int port = 0, peer = 0;
    unsigned baud = 0;
    std::string file;
    CCaptureWorker worker;
    CHandle peerHandle;
    std::string sent;          // every byte written, in order
    std::vector<double> sentAt; // when each record was written
    volatile LONG records = 0;  // records written so far
    size_t recordBytes = 0;
    DWORD periodMs = 0;
    double seconds = 0;
    HANDLE thread = nullptr;
    std::shared_ptr<ICaptureTap> tap; // a lane's outputs, if any

    static DWORD WINAPI Write(LPVOID p)
    {
        Feed* f = static_cast<Feed*>(p);
        const double t0 = Now();
        const size_t total = f->sentAt.size();
        for (size_t i = 0; i < total;) {
            if (Now() < t0 + i * f->periodMs / 1000.0) {
                Sleep(1);
                continue;
            }
            DWORD n = 0;
            if (!WriteFile(f->peerHandle, f->sent.data() + i * f->recordBytes, static_cast<DWORD>(f->recordBytes), &n,
                           nullptr) ||
                n != f->recordBytes)
                break;
            f->sentAt[i] = Now();
            InterlockedExchange(&f->records, static_cast<LONG>(++i));
        }
        return 0;
    }
};

// Runs the feeds at once; for each, the time from a record's write to its last byte in the file.
void RunFeeds(std::vector<std::unique_ptr<Feed>>& feeds, std::vector<std::vector<double>>& ms, std::vector<bool>& exact)
{
    for (auto& f : feeds) {
        DeleteFileA(f->file.c_str());
        CaptureRequest request;
        request.line = {f->port, f->baud, 8, NoParity, OneStopBit};
        request.file = CString(f->file.c_str());
        request.tap = f->tap;
        f->worker.Start(request);
        Poll([&] { return FileSize(f->file) == 0; }, 10);
        f->peerHandle.Attach(OpenPeer(f->peer));
        const size_t records = static_cast<size_t>(f->seconds * 1000 / f->periodMs);
        f->sentAt.assign(records, 0);
        f->sent.clear();
        for (size_t i = 0; i < records * f->recordBytes; ++i)
            f->sent += static_cast<char>((i * 7 + f->port + (i >> 8)) & 0xFF);
    }
    for (auto& f : feeds) f->thread = CreateThread(nullptr, 0, &Feed::Write, f.get(), 0, nullptr);
    ms.assign(feeds.size(), {});
    std::vector<size_t> seen(feeds.size(), 0);
    const double end = Now() + feeds[0]->seconds + 10;
    for (;;) {
        bool done = true;
        for (size_t k = 0; k < feeds.size(); ++k) {
            Feed& f = *feeds[k];
            const size_t written = static_cast<size_t>(f.records);
            const long long size = FileSize(f.file);
            const double now = Now();
            while (seen[k] < written && size >= static_cast<long long>((seen[k] + 1) * f.recordBytes)) {
                ms[k].push_back((now - f.sentAt[seen[k]]) * 1000);
                ++seen[k];
            }
            if (seen[k] < f.sentAt.size()) done = false;
        }
        if (done || Now() > end) break;
        Sleep(1);
    }
    exact.assign(feeds.size(), false);
    for (size_t k = 0; k < feeds.size(); ++k) {
        Feed& f = *feeds[k];
        WaitForSingleObject(f.thread, 5000);
        CloseHandle(f.thread);
        f.worker.Stop();
        f.peerHandle.Close();
        exact[k] = seen[k] == f.sentAt.size() && ReadAll(f.file) == f.sent;
    }
}

class Bench {
public:
    Bench(std::string possim, int port, int peer, std::string dir, std::string pty)
        : m_possim(std::move(possim)), m_port(port), m_peer(peer), m_dir(std::move(dir)), m_pty(std::move(pty))
    {
        m_capture = WinPath(m_dir + "/capture.bin");
    }

    // The worker reads about a tenth of a second of line time at once: the baud rate matters.
    void Start(unsigned baud = 115200)
    {
        DeleteFileA(m_capture.c_str());
        m_worker.Start(Request(m_capture, m_port, baud));
        Poll([&] { return FileSize(m_capture) == 0; }, 10);
    }
    void Stop() { m_worker.Stop(); }

    std::string Possim(const std::string& args)
    {
        return "\"" + m_possim + "\" --port " + std::to_string(m_peer) + " " + args;
    }

    void Throughput()
    {
        const std::string copy = WinPath(m_dir + "/sent.bin");
        const std::string args = "--burst --gap 0 --all-bytes --receipts 60000 --seed 11 --copy \"" + copy + "\"";
        // Capture.
        Start();
        Child sim(Possim(args));
        double first = 0, last = 0;
        Poll([&] { return FileSize(m_capture) > 0; }, 30);
        first = Now();
        DWORD code = sim.Wait(120000);
        long long total = FileSize(copy);
        Poll([&] { return FileSize(m_capture) >= total; }, 60);
        last = Now();
        Stop();
        bool exact = code == 0 && ReadAll(m_capture) == ReadAll(copy);
        double capture = total / (last - first) / 1e6;

        // A native Linux reader of the same pty, on the same bytes, timed by itself from
        // its first byte to its last.
        std::string out = m_dir + "/native.bin", times = m_dir + "/native.times";
        DeleteFileA(WinPath(times).c_str());
        StartShell("stty -F '" + m_pty + "' raw -echo; exec 3<'" + m_pty + "'; head -c 1 <&3 >'" + out +
                   "'; t0=$(date +%s%N); timeout 120 head -c " + std::to_string(total - 1) + " <&3 >>'" + out +
                   "'; t1=$(date +%s%N); echo $t0 $t1 >'" + times + "'");
        Sleep(500);
        Child sim2(Possim(args));
        sim2.Wait(120000);
        bool complete = Poll([&] { return FileSize(WinPath(times)) > 0; }, 130) && FileSize(WinPath(out)) == total;
        long long n0 = 0, n1 = 0;
        std::sscanf(ReadAll(WinPath(times)).c_str(), "%lld %lld", &n0, &n1);
        double native = n1 > n0 ? (total - 1) / ((n1 - n0) / 1e9) / 1e6 : 0;
        std::printf("  capture %.1f MB/s (%s), native reader %.1f MB/s%s, %.1f MB each\n", capture,
                    exact ? "byte-exact" : "DIFFERS", native, complete ? "" : " (incomplete)", total / 1e6);
        double ratio = native > 0 ? capture / native : 0;
        Line("throughput, capture / native reader", Fmt("%.2f", ratio), ">= 0.5", exact && complete && ratio >= 0.5);
    }

    void Latency()
    {
        Start();
        CHandle peer(OpenPeer(m_peer));
        std::vector<double> ms;
        long long expected = 0;
        for (int i = 0; i < 100; ++i) {
            char data[10];
            for (int j = 0; j < 10; ++j) data[j] = static_cast<char>('0' + (i + j) % 10);
            DWORD written = 0;
            double t0 = Now();
            WriteFile(peer, data, sizeof data, &written, nullptr);
            expected += written;
            if (Poll([&] { return FileSize(m_capture) >= expected; }, 5)) ms.push_back((Now() - t0) * 1000);
            Sleep(100);
        }
        Stop();
        Line("latency of 10-byte writes, p50 / p95 / max",
             Fmt("%.1f / %.1f / %.1f ms", Percentile(ms, 0.5), Percentile(ms, 0.95), Percentile(ms, 1.0)),
             "p95 <= 20 ms", ms.size() == 100 && Percentile(ms, 0.95) <= 20);
    }

    void SteadyStream(int seconds)
    {
        const std::string copy = WinPath(m_dir + "/steady.bin");
        DeleteFileA(copy.c_str());
        Start(9600);
        Child sim(Possim("--baud 9600 --gap 0 --seconds " + std::to_string(seconds) + " --copy \"" + copy + "\""));
        // Sizes of the copy (what possim has sent) and of the capture, as they change.
        std::vector<std::pair<double, long long>> sent, seen;
        double end = Now() + seconds + 10;
        while (Now() < end) {
            double t = Now();
            long long s = FileSize(copy), c = FileSize(m_capture);
            if (s > 0 && (sent.empty() || s != sent.back().second)) sent.push_back({t, s});
            if (c > 0 && (seen.empty() || c != seen.back().second)) seen.push_back({t, c});
            if (sim.Wait(0) != 0xFFFFFFFF && !sent.empty() && !seen.empty() && seen.back().second >= sent.back().second)
                break;
            Sleep(1);
        }
        Stop();
        // The oldest byte of each delivery waited longest: from when it was sent to then.
        double worst = 0;
        long long before = 0;
        for (const auto& d : seen) {
            auto it = std::lower_bound(sent.begin(), sent.end(), before + 1,
                                       [](const std::pair<double, long long>& e, long long v) { return e.second < v; });
            if (it != sent.end()) worst = std::max(worst, d.first - it->first);
            before = d.second;
        }
        bool all = !sent.empty() && !seen.empty() && seen.back().second == sent.back().second;
        Line(("largest delay, " + std::to_string(seconds) + " s steady stream at 9600 baud").c_str(),
             Fmt("%.0f ms", worst * 1000) + (all ? "" : " (bytes missing)"), "<= 150 ms", all && worst <= 0.150);
    }

    // From the moment an unplugged adapter is back to its first byte in the file; the
    // terminal writes a byte every 10 ms meanwhile.
    void Resume(const std::string& pairctl)
    {
        std::vector<double> ms;
        Start(9600);
        CHandle peer;
        long long expected = 0;
        for (int i = 0; i < 5; ++i) {
            peer.Close();
            if (!Shell("'" + pairctl + "' unplug 1", m_dir, 20)) break;
            if (!Poll([&] { return m_worker.GetStatus().state == CaptureState::WaitingForPort; }, 10)) break;
            // Somewhere within the worker's one-second retry.
            Sleep(300 + 150 * i);
            if (!Shell("'" + pairctl + "' plug 1", m_dir, 20)) break;
            double t0 = Now();
            long long before = FileSize(m_capture);
            bool arrived = false;
            while (Now() - t0 < 5 && !arrived) {
                if (!peer.IsValid()) peer.Attach(OpenPeer(m_peer));
                DWORD n = 0;
                if (peer.IsValid() && WriteFile(peer, "r", 1, &n, nullptr)) expected += n;
                Sleep(10);
                arrived = FileSize(m_capture) > before;
            }
            if (!arrived) break;
            ms.push_back((Now() - t0) * 1000);
        }
        Poll([&] { return FileSize(m_capture) >= expected; }, 2);
        Stop();
        bool exact = FileSize(m_capture) == expected;
        Line("port back to first byte in the file, max of 5",
             Fmt("%.0f ms", Percentile(ms, 1.0)) + (exact ? "" : " (bytes missing)"), "<= 1.5 s",
             ms.size() == 5 && exact && Percentile(ms, 1.0) <= 1500);
    }

    // CPU over a minute of an idle line, and over 30 s of waiting for a port that is missing.
    void IdleCpu(const std::string& wineserverPid, bool missingPort, int seconds)
    {
        if (missingPort) {
            m_worker.Start(Request(m_capture, 99, 9600));
            Poll([&] { return m_worker.GetStatus().state == CaptureState::WaitingForPort; }, 10);
        } else {
            Start();
        }
        Sleep(500);
        FILETIME c, e, k0, u0, k1, u1;
        GetProcessTimes(GetCurrentProcess(), &c, &e, &k0, &u0);
        long long server0 = ServerTicks(wineserverPid);
        long long ns0 = ProcessNanoseconds("capture_bench.exe", m_dir);
        double t0 = Now();
        Sleep(static_cast<DWORD>(seconds) * 1000);
        double t1 = Now();
        long long ns1 = ProcessNanoseconds("capture_bench.exe", m_dir);
        GetProcessTimes(GetCurrentProcess(), &c, &e, &k1, &u1);
        long long server1 = ServerTicks(wineserverPid);
        Stop();
        // The scheduler's nanoseconds where Linux tells them; the system's 10 ms ticks otherwise.
        auto ticks = [](FILETIME f) { return (static_cast<long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
        double used = ns0 >= 0 && ns1 >= ns0 ? (ns1 - ns0) / 1e9 : (ticks(k1) - ticks(k0) + ticks(u1) - ticks(u0)) / 1e7;
        double pct = used / (t1 - t0) * 100;
        std::string what = "CPU of the capturing process, " + std::to_string(seconds) +
                           (missingPort ? " s waiting for a port" : " s idle line");
        Line(what.c_str(), Fmt("%.3f %% of one core", pct), "<= 0.1 %", pct <= 0.1);
        if (server0 >= 0 && server1 >= 0)
            std::printf("  (the wineserver meanwhile, serving all of Wine's I/O: %.2f %% of one core)\n",
                        (server1 - server0) / 100.0 / (t1 - t0) * 100);
    }

    void StopLatency()
    {
        std::vector<double> idle, busy;
        unsigned seed = 7;
        auto rnd = [&](unsigned range) {
            seed = seed * 1103515245u + 12345u;
            return (seed >> 16) % range;
        };
        for (int i = 0; i < 20; ++i) {
            Start();
            Sleep(rnd(600));
            double t0 = Now();
            Stop();
            idle.push_back((Now() - t0) * 1000);
        }
        // Mid-stream: 12 bytes a millisecond, about 115,200 baud.
        CHandle peer(OpenPeer(m_peer));
        volatile LONG halt = 0;
        struct Writer {
            HANDLE peer;
            volatile LONG* halt;
            static DWORD WINAPI Run(LPVOID p)
            {
                Writer* w = static_cast<Writer*>(p);
                char data[12] = "0123456789\n";
                while (!*w->halt) {
                    DWORD n = 0;
                    WriteFile(w->peer, data, sizeof data, &n, nullptr);
                    Sleep(1);
                }
                return 0;
            }
        } writer{peer, &halt};
        CHandle thread(CreateThread(nullptr, 0, &Writer::Run, &writer, 0, nullptr));
        for (int i = 0; i < 20; ++i) {
            Start();
            Sleep(100 + rnd(300));
            double t0 = Now();
            Stop();
            busy.push_back((Now() - t0) * 1000);
        }
        InterlockedExchange(&halt, 1);
        WaitForSingleObject(thread, 5000);
        Line("Stop latency, idle line, p50 / p95 / max",
             Fmt("%.0f / %.0f / %.0f ms", Percentile(idle, 0.5), Percentile(idle, 0.95), Percentile(idle, 1)),
             "p95 <= 300 ms", Percentile(idle, 0.95) <= 300);
        Line("Stop latency, mid-stream, p50 / p95 / max",
             Fmt("%.0f / %.0f / %.0f ms", Percentile(busy, 0.5), Percentile(busy, 0.95), Percentile(busy, 1)),
             "p95 <= 300 ms", Percentile(busy, 0.95) <= 300);
    }

    // A driver whose read ignores its time-outs, the cancel and the close.
    void StopDeafDriver()
    {
        struct DeafPort : ISerialDevice {
            CSerialPort real;
            void Open(int port, unsigned baud, Parity parity, unsigned char dataBits, StopBits stopBits,
                      bool overlapped, FlowControl flow) override
            {
                real.Open(port, baud, parity, dataBits, stopBits, overlapped, flow);
            }
            void Close() override { real.Close(); }
            bool IsOpen() const override { return real.IsOpen(); }
            void Purge(unsigned flags) override { real.Purge(flags); }
            void SetTimeouts(COMMTIMEOUTS& timeouts) override { real.SetTimeouts(timeouts); }
            void GetStatus(COMSTAT& stat) override { real.GetStatus(stat); }
            bool Read(void*, unsigned, OVERLAPPED* ov, unsigned*) override
            {
                ResetEvent(ov->hEvent);
                return false;
            }
            bool GetOverlappedResult(OVERLAPPED*, unsigned*, bool) override { return false; }
            void CancelIo() override {}
        };
        std::vector<double> ms;
        m_worker.SetPortFactory([] { return std::unique_ptr<ISerialDevice>(new DeafPort); });
        for (int i = 0; i < 5; ++i) {
            Start(9600);
            Poll([&] { return m_worker.GetStatus().state == CaptureState::Capturing; }, 10);
            Sleep(200);
            double t0 = Now();
            Stop();
            ms.push_back((Now() - t0) * 1000);
        }
        m_worker.SetPortFactory(nullptr);
        Line("Stop latency, driver ignoring cancel and close, max", Fmt("%.0f ms", Percentile(ms, 1)), "<= 1.5 s",
             Percentile(ms, 1) <= 1500);
    }

    // The capture file on a full disk for a minute of a 9,600-baud stream, then room again.
    void FileOutage(const std::string& drive, int seconds)
    {
        if (drive.empty()) {
            std::printf("  (no tiny disk in this environment: file outage not measured)\n");
            return;
        }
        const std::string file = drive + "\\bench.cap", filler = drive + "\\filler";
        const std::string copy = WinPath(m_dir + "/outage.bin");
        DeleteFileA(file.c_str());
        DeleteFileA(copy.c_str());
        m_worker.Start(Request(file, m_port, 9600));
        Poll([&] { return FileSize(file) == 0; }, 10);
        {
            CHandle fill(CreateFileA(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            std::string block(4096, 'x');
            DWORD n = 1;
            while (fill.IsValid() && n > 0 && WriteFile(fill, block.data(), 4096, &n, nullptr)) {}
            for (n = 1; fill.IsValid() && n > 0 && WriteFile(fill, block.data(), 1, &n, nullptr);) {}
        }
        Child sim(Possim("--baud 9600 --gap 0 --seconds " + std::to_string(seconds) + " --copy \"" + copy + "\""));
        sim.Wait(static_cast<DWORD>(seconds + 30) * 1000);
        Sleep(300);
        long long sent = FileSize(copy);
        long long held = sent - std::max(0LL, FileSize(file));
        bool waited = m_worker.GetStatus().state == CaptureState::WaitingForFile;
        double t0 = Now();
        DeleteFileA(filler.c_str());
        bool all = Poll([&] { return FileSize(file) >= sent; }, 30);
        double took = Now() - t0;
        m_worker.Stop();
        bool exact = all && ReadAll(file) == ReadAll(copy);
        std::printf("  bytes held in memory after %d s of a full disk at 9600 baud: %lld%s\n", seconds, held,
                    waited ? "" : " (the capture was not waiting for the file)");
        Line("file back to the last held byte written", Fmt("%.1f s", took) + (exact ? "" : " (bytes missing)"),
             "<= 5 s", exact && waited && took <= 5);
        DeleteFileA(file.c_str());
    }

    // A 9,600-baud line given more than it carries: a 10-byte record every 10 ms, back to back.
    void SaturatedLine(int seconds)
    {
        std::vector<std::unique_ptr<Feed>> feeds;
        feeds.emplace_back(new Feed);
        Feed& f = *feeds[0];
        f.port = m_port;
        f.peer = m_peer;
        f.baud = 9600;
        f.file = m_capture;
        f.recordBytes = 10;
        f.periodMs = 10;
        f.seconds = seconds;
        std::vector<std::vector<double>> ms;
        std::vector<bool> exact;
        RunFeeds(feeds, ms, exact);
        Line(("byte to file, 9600 baud saturated " + std::to_string(seconds) + " s, p50 / p95 / max").c_str(),
             Fmt("%.1f / %.1f / %.1f ms", Percentile(ms[0], 0.5), Percentile(ms[0], 0.95), Percentile(ms[0], 1)) +
                 (exact[0] ? "" : " (NOT byte-exact)"),
             "p95 <= 150 ms", exact[0] && Percentile(ms[0], 0.95) <= 150);
    }

    // Four captures at once on pairs 2 to 5, each fed a 64-byte line every 20 ms at 115,200 baud.
    void FourLanes(int seconds)
    {
        std::vector<std::unique_ptr<Feed>> feeds;
        for (int k = 0; k < 4; ++k) {
            feeds.emplace_back(new Feed);
            Feed& f = *feeds.back();
            f.port = 7 + 2 * k;
            f.peer = 8 + 2 * k;
            f.baud = 115200;
            f.file = WinPath(m_dir + "/lane" + std::to_string(k + 2) + ".bin");
            f.recordBytes = 64;
            f.periodMs = 20;
            f.seconds = seconds;
        }
        std::vector<std::vector<double>> ms;
        std::vector<bool> exact;
        RunFeeds(feeds, ms, exact);
        for (size_t k = 0; k < feeds.size(); ++k) {
            std::string what = "4 lanes at once, COM" + std::to_string(feeds[k]->port) + ", byte to file p50 / p95";
            Line(what.c_str(),
                 Fmt("%.1f / %.1f ms", Percentile(ms[k], 0.5), Percentile(ms[k], 0.95)) +
                     (exact[k] ? ", exact" : " (NOT byte-exact)"),
                 "p95 <= 20 ms", exact[k] && Percentile(ms[k], 0.95) <= 20);
        }
    }

    // A lane whose recorder stops reading for the whole run, beside one that reads: the file must
    // not notice, and the outputs' memory must stay bounded.
    void StalledRecorder(int seconds)
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        auto outputs = std::make_shared<CLaneOutputs>();
        OutputDefinition definition;
        std::string why;
        const unsigned short port = 9411;
        ParseOutput("listen " + std::to_string(port), definition, why);
        outputs->Configure({definition}, 437);
        auto recorder = [&](int receiveBuffer) {
            SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
            sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            return s;
        };
        SOCKET stalled = recorder(4096);
        SOCKET reading = recorder(65536);
        Poll([&] { return !outputs->States().empty() && outputs->States()[0].peers.size() == 2; }, 5);
        struct Reader {
            SOCKET s;
            volatile LONG64 bytes = 0;
            static DWORD WINAPI Run(LPVOID p)
            {
                Reader* r = static_cast<Reader*>(p);
                char buffer[16384];
                int n;
                while ((n = recv(r->s, buffer, sizeof buffer, 0)) > 0) InterlockedExchangeAdd64(&r->bytes, n);
                return 0;
            }
        } reader{reading};
        HANDLE readerThread = CreateThread(nullptr, 0, &Reader::Run, &reader, 0, nullptr);
        auto memory = [] {
            PROCESS_MEMORY_COUNTERS m = {};
            GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
            return m.PagefileUsage / 1048576.0;
        };
        const double before = memory();

        std::vector<std::unique_ptr<Feed>> feeds;
        feeds.emplace_back(new Feed);
        Feed& f = *feeds.back();
        f.port = m_port;
        f.peer = m_peer;
        f.baud = 115200;
        f.file = WinPath(m_dir + "/stalled.bin");
        // As a busy till: a record every 20 ms, a third of what the line can carry.
        f.recordBytes = 64;
        f.periodMs = 20;
        f.seconds = seconds;
        f.tap = outputs;
        std::vector<std::vector<double>> ms;
        std::vector<bool> exact;
        RunFeeds(feeds, ms, exact);
        const double after = memory();
        const size_t sentBytes = f.sent.size();
        const bool tappedExact = exact[0];
        Poll([&] { return reader.bytes >= static_cast<LONG64>(sentBytes); }, 5);
        const OutputState state = outputs->States().empty() ? OutputState() : outputs->States()[0];
        outputs->Stop();
        closesocket(stalled);
        closesocket(reading);
        WaitForSingleObject(readerThread, 5000);
        CloseHandle(readerThread);
        WSACleanup();

        Line(("a recorder stalled " + std::to_string(seconds) + " s, byte to file p50 / p95").c_str(),
             Fmt("%.1f / %.1f ms", Percentile(ms[0], 0.5), Percentile(ms[0], 0.95)) +
                 (tappedExact ? ", exact" : " (NOT byte-exact)"),
             "p95 <= 20 ms", tappedExact && Percentile(ms[0], 0.95) <= 20);
        // The same line without outputs, for comparison.
        f.tap.reset();
        f.seconds = std::min(seconds, 20);
        std::vector<std::vector<double>> alone;
        RunFeeds(feeds, alone, exact);
        std::printf("  without outputs, byte to file p50 / p95 %.1f / %.1f ms\n", Percentile(alone[0], 0.5),
                    Percentile(alone[0], 0.95));
        std::printf("  the reading recorder got %lld of %u bytes; %llu dropped for the stalled one\n",
                    static_cast<long long>(reader.bytes), static_cast<unsigned>(sentBytes), state.dropped);
        Line("committed memory before / after the stall", Fmt("%.1f / %.1f MB", before, after), "bounded",
             after - before < 8);
    }

    // A fresh worker each time, as lanes come and go in the service.
    void WorkerHandles()
    {
        {
            CCaptureWorker warm;
            warm.Start(Request(m_capture, m_port, 115200));
            warm.Stop();
        }
        unsigned before = CountHandles();
        double t0 = Now();
        for (int i = 0; i < 1000; ++i) {
            std::unique_ptr<CCaptureWorker> worker(new CCaptureWorker);
            worker->Start(Request(m_capture, m_port, 115200));
            worker->Stop();
        }
        double t1 = Now();
        unsigned after = CountHandles();
        Line("handles before / after 1,000 new workers", Fmt("%.0f / %.0f", before, after), "flat", before == after);
        std::printf("  (%.1f ms a worker)\n", (t1 - t0));
    }

    void Handles()
    {
        Start();
        Stop();
        unsigned before = CountHandles();
        DWORD apiBefore = 0, apiAfter = 0;
        GetProcessHandleCount(GetCurrentProcess(), &apiBefore);
        double t0 = Now();
        for (int i = 0; i < 1000; ++i) {
            m_worker.Start(Request(m_capture, m_port, 115200));
            m_worker.Stop();
        }
        double t1 = Now();
        unsigned after = CountHandles();
        GetProcessHandleCount(GetCurrentProcess(), &apiAfter);
        Line("handles before / after 1,000 Start/Stop", Fmt("%.0f / %.0f", before, after), "flat", before == after);
        std::printf("  (%.1f ms a cycle; GetProcessHandleCount under Wine: %lu / %lu)\n", (t1 - t0), apiBefore,
                    apiAfter);
    }

private:

    long long ServerTicks(const std::string& pid)
    {
        if (pid.empty()) return -1;
        std::string out = m_dir + "/server.stat";
        DeleteFileA(WinPath(out).c_str());
        if (!Shell("cat /proc/" + pid + "/stat > '" + out + "'", m_dir, 10)) return -1;
        std::string stat = ReadAll(WinPath(out));
        size_t p = stat.rfind(')');
        if (p == std::string::npos) return -1;
        // Fields after the name: state is field 3; utime and stime are 14 and 15.
        std::vector<long long> f;
        size_t i = p + 2;
        while (i < stat.size()) {
            size_t j = stat.find(' ', i);
            f.push_back(std::atoll(stat.substr(i, j - i).c_str()));
            if (j == std::string::npos) break;
            i = j + 1;
        }
        return f.size() > 12 ? f[11] + f[12] : -1;
    }

    std::string m_possim;
    int m_port, m_peer;
    std::string m_dir, m_pty, m_capture;
    CCaptureWorker m_worker;
};

} // namespace

int main(int argc, char** argv)
{
    std::string env = Env("COLLECTOR_TESTENV");
    if (argc < 2 || env.empty()) {
        std::fprintf(stderr, "usage: capture_bench POSSIM_EXE (inside the test environment: make bench)\n");
        return 2;
    }
    int steadySeconds = argc > 2 ? std::atoi(argv[2]) : 90;
    std::string dir = env + "/bench";
    CreateDirectoryA(WinPath(dir).c_str(), nullptr);
    // Pair 1: COM5 is captured, COM6 is the POS terminal's end; pair1-a is COM5's pty.
    Bench bench(argv[1], 5, 6, dir, env + "/ports/pair1-a");
    std::printf("Capture benchmark, COM5 <- COM6 (virtual null-modem pair under Wine)\n");
    // A third argument picks one group: cpu, or lanes (the saturated line, four lanes, workers).
    std::string only = argc > 3 ? argv[3] : "";
    if (only.empty() || only == "outputs") {
        bench.StalledRecorder(std::min(steadySeconds, 60));
        if (only == "outputs") return 0;
    }
    if (only.empty() || only == "lanes") {
        bench.SaturatedLine(std::min(steadySeconds, 30));
        bench.FourLanes(std::min(steadySeconds, 20));
        bench.WorkerHandles();
        if (only == "lanes") return 0;
    }
    if (only.empty()) {
        bench.Throughput();
        bench.Latency();
        bench.SteadyStream(steadySeconds);
        bench.Resume(Env("COLLECTOR_PAIRCTL"));
    }
    bench.IdleCpu(Env("BENCH_WINESERVER_PID"), false, 60);
    bench.IdleCpu(Env("BENCH_WINESERVER_PID"), true, 30);
    if (only.empty()) {
        bench.StopLatency();
        bench.StopDeafDriver();
        bench.FileOutage(Env("COLLECTOR_TINY_DRIVE"), 60);
        bench.Handles();
    }
    return 0;
}
