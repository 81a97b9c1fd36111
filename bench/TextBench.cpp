// Measures clean receipt text (a lane output's "text" mode) and prints each figure beside its
// target (at least 10 MB/s of the receipt printer's stream):
//   - a text-heavy stream: receipts of many items, bold headers, box lines, a bar code;
//   - a stream with logos and codes: the same receipts, each with a raster logo, an NV graphics
//     definition, a QR code and a bar code.
// The stream is fed in the pieces a capture read hands over (4 KiB), and whole lines are taken
// after each, as the UDP output does.
// Run by scripts/bench.sh (make bench): text_bench [MEGABYTES] (text_bench --show prints one
// receipt as the overlay gets it)
#include "service/ReceiptText.h"

#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using bench::Now;

namespace {

const std::string ESC = "\x1b";
const std::string GS = "\x1d";
const std::string DLE = "\x10";

std::string N(int v)
{
    return std::string(1, static_cast<char>(v));
}

std::string Price(unsigned cents)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%02u", cents / 100, cents % 100);
    return buf;
}

// A raster image (GS v 0) of widthBytes x heightDots with a picture's mix of bytes.
std::string Raster(unsigned widthBytes, unsigned heightDots, unsigned seed)
{
    std::string r = GS + "v0" + N(0) + N(widthBytes & 0xFF) + N(widthBytes >> 8) + N(heightDots & 0xFF) + N(heightDots >> 8);
    for (unsigned i = 0; i < widthBytes * heightDots; ++i) r += static_cast<char>((i * 2654435761u + seed) >> 24);
    return r;
}

// One receipt in code page 437, as a POS terminal sends it.
std::string Receipt(unsigned number, bool logos)
{
    static const char* const kItems[] = {"Caf\x82 cr\x8Ame", "Br\x94tchen", "M\x81sli gro\xE1", "Cr\x88me br\x81l\x82" "e",
                                         "Jalape\xA4os", "Gem\x81se-Mix", "K\x84se Gouda", "Wasser still 0,5"};
    std::string r = ESC + "@" + ESC + "t" + N(0) + ESC + "a1";
    if (logos) {
        r += Raster(64, 120, number);
        // An NV graphics definition (GS ( L function 67 of a small key code), sent with the logo.
        std::string nv = "0C0LG" + N(1) + "1" + N(32) + N(0) + N(32) + N(0);
        for (unsigned i = 0; i < 32 * 32 / 8; ++i) nv += static_cast<char>(i * 37 + number);
        r += GS + "(L" + N(static_cast<int>(nv.size() & 0xFF)) + N(static_cast<int>(nv.size() >> 8)) + nv;
    }
    r += ESC + "!" + N(0x38) + "CAF\x90 M\x9ALLER\n" + ESC + "!" + N(0);
    r += GS + "!" + N(0x11) + "Bahnhofstra\xE1" "e 7\n" + GS + "!" + N(0);
    r += "Tel. 030 1234567\n" + ESC + "a0";
    r += "\xC9" + std::string(40, '\xCD') + "\xBB\n";
    r += ESC + "E1" + "Bon " + std::to_string(number) + "\tKasse 2\tBed. 7\n" + ESC + "E0";
    r += "\xC8" + std::string(40, '\xCD') + "\xBC\n";
    unsigned total = 0;
    for (unsigned i = 0; i < 24; ++i) {
        unsigned cents = 95 + (number * 31 + i * 17) % 1900;
        total += cents;
        r += std::string(kItems[(number + i) % 8]) + "\t\t" + (i % 3 ? "1 x " : "2 x ") + Price(cents) + " \xB3 A\r\n";
    }
    r += std::string(42, '\xC4') + "\n";
    r += ESC + "E1" + GS + "!" + N(0x11) + "SUMME\t\x9C " + Price(total) + "\n" + GS + "!" + N(0) + ESC + "E0";
    r += "MwSt 19%\t\t" + Price(total * 19 / 119) + "\nBar\t\t" + Price(total + 500) + "\nZur\x81" "ck\t\t5.00\n";
    r += ESC + "a1" + GS + "h" + N(80) + GS + "w" + N(2) + GS + "H" + N(2) + GS + "kI" + N(10) + "{B" +
        std::to_string(10000000 + number);
    if (logos) {
        std::string qr = "1P0https://shop.example/bon/" + std::to_string(number) + "?k=2&t=" + Price(total);
        r += GS + "(k" + N(4) + N(0) + "1A2" + N(0) + GS + "(k" + N(3) + N(0) + "1C" + N(6);
        r += GS + "(k" + N(static_cast<int>(qr.size())) + N(0) + qr + GS + "(k" + N(3) + N(0) + "1Q0";
    }
    r += "\nVielen Dank f\x81r Ihren Einkauf!\n" + ESC + "a0" + DLE + N(4) + N(1);
    r += ESC + "d" + N(5) + GS + "VA" + N(3) + ESC + "p" + N(0) + N(25) + N(250);
    return r;
}

std::string Stream(size_t bytes, bool logos)
{
    std::string s;
    for (unsigned n = 1; s.size() < bytes; ++n) s += Receipt(n, logos);
    return s;
}

// MB/s over the best of a few runs: the others share the machine's two cores.
double Throughput(const std::string& stream, size_t& textBytes)
{
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        CReceiptText text(437);
        size_t out = 0;
        double start = Now();
        for (size_t at = 0; at < stream.size(); at += 4096) {
            text.Feed(stream.data() + at, std::min<size_t>(4096, stream.size() - at));
            out += text.TakeLines().size();
        }
        double took = Now() - start;
        textBytes = out;
        if (took > 0) best = std::max(best, stream.size() / took / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    // text_bench --show: one receipt with its logos as the overlay gets it.
    if (argc > 1 && std::string(argv[1]) == "--show") {
        CReceiptText text(437);
        std::string r = Receipt(1, true);
        text.Feed(r.data(), r.size());
        std::string out = text.TakeAll();
        // Binary: a text-mode stdout would make every CR LF a CR CR LF.
        _setmode(_fileno(stdout), _O_BINARY);
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    const size_t megabytes = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 64;
    std::printf("text bench: clean receipt text, %u MB a stream, fed in 4 KiB pieces\n", static_cast<unsigned>(megabytes));
    bool met = true;
    for (bool logos : {false, true}) {
        std::string stream = Stream(megabytes * 1000 * 1000, logos);
        size_t textBytes = 0;
        double mbs = Throughput(stream, textBytes);
        bool ok = mbs >= 10.0 && textBytes > 0;
        met = met && ok;
        std::string value = bench::Fmt("%.1f MB/s (%.0f MB text)", mbs, textBytes / 1e6);
        bench::Line(logos ? "receipts with logos, QR and bar codes" : "text-heavy receipts", value, ">= 10 MB/s", ok);
    }
    return met ? 0 : 1;
}
