// possim: simulates a POS terminal wired to a COM port. It writes receipt-printer
// traffic (ESC/POS escape sequences, item lines, totals, CR/LF, cut commands) to the
// port, paced like a serial line at the given baud rate, or in bursts.
//
//   possim --port N [--baud B] [--seconds S | --receipts N] [--burst] [--all-bytes]
//          [--seed S] [--gap MS] [--copy PATH]
//
// Exit code 0 when everything it meant to send was written (and copied).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: possim --port N [--baud B] [--seconds S | --receipts N] [--burst] [--all-bytes]\n"
    "              [--seed S] [--gap MS] [--copy PATH]\n"
    "  --port N       write to COMN (the peer end of the collector's port)\n"
    "  --baud B       pace the bytes like a line at B baud, 10 bits a byte (default 9600)\n"
    "  --seconds S    stop after S seconds (may end inside a receipt)\n"
    "  --receipts N   stop after N receipts (default 10 when --seconds is not given)\n"
    "  --burst        send each receipt as fast as the port takes it, pausing between receipts\n"
    "  --all-bytes    every receipt carries a logo image holding all 256 byte values\n"
    "  --seed S       seed of the generator (default 1): the same seed sends the same bytes\n"
    "  --gap MS       pause between receipts in milliseconds (default 500)\n"
    "  --copy PATH    write exactly the bytes sent to PATH\n";

struct Options {
    int port = 0;
    unsigned baud = 9600;
    double seconds = 0; // 0: no time limit
    unsigned receipts = 0;
    bool burst = false;
    bool allBytes = false;
    unsigned seed = 1;
    unsigned gapMs = 500;
    std::string copyPath;
};

bool ParseUnsigned(const char* s, unsigned& out)
{
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, 10);
    if (!*s || *end || v > 0xFFFFFFFFul) return false;
    out = static_cast<unsigned>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    bool haveSeconds = false, haveReceipts = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](unsigned& out) { return i + 1 < argc && ParseUnsigned(argv[++i], out); };
        unsigned v = 0;
        if (a == "--port") {
            if (!value(v) || v == 0 || v > 255) return false;
            o.port = static_cast<int>(v);
        } else if (a == "--baud") {
            if (!value(v) || v < 10) return false;
            o.baud = v;
        } else if (a == "--seconds") {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            o.seconds = std::strtod(argv[++i], &end);
            if (*end || !(o.seconds > 0)) return false;
            haveSeconds = true;
        } else if (a == "--receipts") {
            if (!value(v) || v == 0) return false;
            o.receipts = v;
            haveReceipts = true;
        } else if (a == "--burst") {
            o.burst = true;
        } else if (a == "--all-bytes") {
            o.allBytes = true;
        } else if (a == "--seed") {
            if (!value(v)) return false;
            o.seed = v;
        } else if (a == "--gap") {
            if (!value(v)) return false;
            o.gapMs = v;
        } else if (a == "--copy") {
            if (i + 1 >= argc) return false;
            o.copyPath = argv[++i];
        } else {
            return false;
        }
    }
    if (o.port == 0 || (haveSeconds && haveReceipts)) return false;
    if (!haveSeconds && !haveReceipts) o.receipts = 10;
    return true;
}

// ESC/POS commands of a typical thermal receipt printer.
const char ESC = 0x1B, GS = 0x1D;

class ReceiptWriter {
public:
    ReceiptWriter(unsigned seed, bool allBytes) : m_rng(seed), m_allBytes(allBytes) {}

    std::string Next()
    {
        static const char* const kItems[] = {"Espresso", "Cappuccino", "Croissant", "Orange juice", "Bagel",
                                             "Muffin blueberry", "Water 0.5l", "Sandwich club", "Salad bowl",
                                             "Cookie", "Tea green", "Yogurt", "Chips salted", "Chocolate bar"};
        std::string r;
        ++m_number;
        r += Cmd({ESC, '@'});          // initialise
        r += Cmd({ESC, 't', 16});      // code page 1252
        r += Cmd({ESC, 'a', 1});       // centre
        if (m_allBytes) r += Logo();
        r += Cmd({GS, '!', 0x11});     // double width and height
        r += "ORVANE MARKET\r\n";
        r += Cmd({GS, '!', 0x00});
        r += "12 Harbour Street\r\n";
        r += Cmd({ESC, 'a', 0});       // left
        char line[96];
        std::snprintf(line, sizeof line, "Receipt %06u   Till 03   Cashier 17\r\n", m_number);
        r += line;
        r += std::string(42, '-') + "\r\n";
        unsigned items = 1 + m_rng() % 8;
        unsigned total = 0;
        for (unsigned i = 0; i < items; ++i) {
            const char* name = kItems[m_rng() % (sizeof kItems / sizeof kItems[0])];
            unsigned qty = 1 + m_rng() % 3;
            unsigned price = 50 + m_rng() % 1500;
            total += qty * price;
            std::snprintf(line, sizeof line, "%2u x %-24s %9u.%02u\r\n", qty, name, qty * price / 100,
                          qty * price % 100);
            r += line;
        }
        r += std::string(42, '-') + "\r\n";
        unsigned tax = total * 20 / 120;
        std::snprintf(line, sizeof line, "%-30s %8u.%02u\r\n", "VAT 20% incl.", tax / 100, tax % 100);
        r += line;
        r += Cmd({ESC, 'E', 1});       // bold
        std::snprintf(line, sizeof line, "%-30s %8u.%02u\r\n", "TOTAL", total / 100, total % 100);
        r += line;
        r += Cmd({ESC, 'E', 0});
        unsigned paid = (total / 1000 + 1) * 1000;
        std::snprintf(line, sizeof line, "%-30s %8u.%02u\r\n%-30s %8u.%02u\r\n", "Cash", paid / 100, paid % 100,
                      "Change", (paid - total) / 100, (paid - total) % 100);
        r += line;
        r += Cmd({ESC, 'p', 0, 25, static_cast<char>(250)}); // open the cash drawer
        r += Cmd({ESC, 'a', 1});
        r += "Thank you for your visit\r\n";
        r += Cmd({ESC, 'd', 4});       // feed four lines
        r += Cmd({GS, 'V', 66, 0});    // feed and partial cut
        return r;
    }

private:
    static std::string Cmd(std::initializer_list<char> bytes) { return std::string(bytes); }

    // A raster logo (GS v 0): 32 bytes by 8 rows whose data is a shuffle of all 256 byte values.
    std::string Logo()
    {
        std::string r = Cmd({GS, 'v', '0', 0, 32, 0, 8, 0});
        std::vector<unsigned char> data(256);
        for (unsigned i = 0; i < 256; ++i) data[i] = static_cast<unsigned char>(i);
        std::shuffle(data.begin(), data.end(), m_rng);
        r.append(reinterpret_cast<const char*>(data.data()), data.size());
        r += "\r\n";
        return r;
    }

    std::mt19937 m_rng;
    bool m_allBytes;
    unsigned m_number = 0;
};

class Clock {
public:
    Clock()
    {
        QueryPerformanceFrequency(&m_freq);
        QueryPerformanceCounter(&m_start);
    }
    double Seconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_freq.QuadPart);
    }

private:
    LARGE_INTEGER m_freq, m_start;
};

volatile LONG g_interrupted = 0;

BOOL WINAPI OnConsoleCtrl(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;
}

class Simulator {
public:
    Simulator(const Options& o, HANDLE port, HANDLE copy) : m_o(o), m_port(port), m_copy(copy) {}

    // False when a write to the port or to the copy failed.
    bool Run()
    {
        ReceiptWriter writer(m_o.seed, m_o.allBytes);
        const double rate = m_o.baud / 10.0; // bytes a second
        double pacedFrom = 0;                // pacing restarts after every pause
        uint64_t pacedSent = 0;
        std::string pending;
        while (!Done()) {
            std::string receipt = writer.Next();
            ++m_receipts;
            if (m_o.burst) {
                // Without pauses, batch receipts so the port sees large writes.
                pending += receipt;
                bool last = m_o.receipts && m_receipts >= m_o.receipts;
                if (m_o.gapMs == 0 && pending.size() < 32768 && !last && !TimeUp()) continue;
                if (!Send(pending.data(), pending.size())) return false;
                pending.clear();
            } else {
                size_t off = 0;
                while (off < receipt.size() && !TimeUp()) {
                    double due = (m_clock.Seconds() - pacedFrom) * rate - static_cast<double>(pacedSent);
                    if (due < 1) {
                        Sleep(1);
                        continue;
                    }
                    size_t n = static_cast<size_t>(due);
                    if (n > receipt.size() - off) n = receipt.size() - off;
                    if (!Send(receipt.data() + off, n)) return false;
                    off += n;
                    pacedSent += n;
                }
            }
            if (m_o.gapMs && !Done()) {
                Pause(m_o.gapMs);
                pacedFrom = m_clock.Seconds() - static_cast<double>(pacedSent) / rate;
            }
        }
        return true;
    }

    uint64_t Sent() const { return m_sent; }
    unsigned Receipts() const { return m_receipts; }
    double Elapsed() const { return m_clock.Seconds(); }

private:
    bool TimeUp() const { return g_interrupted || (m_o.seconds > 0 && m_clock.Seconds() >= m_o.seconds); }
    bool Done() const { return TimeUp() || (m_o.receipts && m_receipts >= m_o.receipts); }

    void Pause(unsigned ms)
    {
        double until = m_clock.Seconds() + ms / 1000.0;
        while (!TimeUp() && m_clock.Seconds() < until) Sleep(1);
    }

    bool Send(const char* data, size_t size)
    {
        while (size > 0) {
            DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!WriteFile(m_port, data, chunk, &written, nullptr)) {
                std::fprintf(stderr, "possim: write to COM%d failed (error %lu)\n", m_o.port, GetLastError());
                return false;
            }
            if (written == 0) {
                std::fprintf(stderr, "possim: COM%d took no bytes\n", m_o.port);
                return false;
            }
            if (m_copy != INVALID_HANDLE_VALUE) {
                DWORD copied = 0;
                if (!WriteFile(m_copy, data, written, &copied, nullptr) || copied != written) {
                    std::fprintf(stderr, "possim: write to the copy failed (error %lu)\n", GetLastError());
                    return false;
                }
            }
            m_sent += written;
            data += written;
            size -= written;
        }
        return true;
    }

    const Options& m_o;
    HANDLE m_port;
    HANDLE m_copy;
    Clock m_clock;
    uint64_t m_sent = 0;
    unsigned m_receipts = 0;
};

// Closes a handle from CreateFile when it goes out of scope.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

bool ConfigurePort(HANDLE h, unsigned baud)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.fBinary = TRUE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A pty may refuse an unusual rate; the pacing is ours anyway.
    if (!SetCommState(h, &dcb)) {
        dcb.BaudRate = CBR_9600;
        if (!SetCommState(h, &dcb)) return false;
    }
    COMMTIMEOUTS to = {}; // writes wait until the port takes the bytes
    return SetCommTimeouts(h, &to) != FALSE;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", o.port);
    FileHandle port(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (port.Get() == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "possim: cannot open COM%d (error %lu)\n", o.port, GetLastError());
        return 3;
    }
    if (!ConfigurePort(port.Get(), o.baud)) {
        std::fprintf(stderr, "possim: cannot set up COM%d (error %lu)\n", o.port, GetLastError());
        return 3;
    }
    FileHandle copy(o.copyPath.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileA(o.copyPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!o.copyPath.empty() && copy.Get() == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "possim: cannot create %s (error %lu)\n", o.copyPath.c_str(), GetLastError());
        return 4;
    }
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    Simulator sim(o, port.Get(), copy.Get());
    bool ok = sim.Run();
    // The bytes must have left the port before we call it done.
    if (ok && !FlushFileBuffers(port.Get())) ok = false;
    std::printf("possim: %s %llu bytes in %u receipts to COM%d in %.3f s\n", ok ? "sent" : "FAILED after",
                static_cast<unsigned long long>(sim.Sent()), sim.Receipts(), o.port, sim.Elapsed());
    return ok ? 0 : 1;
}
