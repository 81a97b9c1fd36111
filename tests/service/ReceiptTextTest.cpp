// Clean receipt text: printer commands go with every parameter and data byte (often printable),
// the code page becomes UTF-8, line ends become CR LF, and the stream may be cut anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "service/ReceiptText.h"

namespace {

const std::string ESC = "\x1b";
const std::string GS = "\x1d";
const std::string FS = "\x1c";
const std::string DLE = "\x10";
const std::string NUL(1, '\0');

// One byte by value: hex escapes in literals run on into the letters after them.
std::string N(int v)
{
    return std::string(1, static_cast<char>(v));
}

std::string Repeat(const std::string& s, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i) out += s;
    return out;
}

std::string Clean(const std::string& bytes, unsigned codePage = 437)
{
    CReceiptText text(codePage);
    text.Feed(bytes.data(), bytes.size());
    return text.TakeAll();
}

struct Case {
    const char* what;
    std::string bytes;
    std::string expected;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.what;
}

// Each command sits inside a word: any parameter or data byte that leaks shows in it.
std::vector<Case> CommandCases()
{
    const std::string qr = "https://shop.example/r/0042?t=12.50";
    const std::string qrStore = GS + "(k" + N(static_cast<int>(qr.size()) + 3) + N(0) + "1P0" + qr;
    return {
        {"ESC ! E - G M SP a: modes, spacing, alignment", ESC + "!A" + ESC + "E1" + ESC + "-2" + ESC + "G1" + ESC + "M1" +
            ESC + " 5" + ESC + "a1", ""},
        {"ESC $ \\ 3 2 R: positions, spacing, set", ESC + "$AB" + ESC + "\\AB" + ESC + "3x" + ESC + "2" + ESC + "RB", ""},
        {"ESC { V T r U = % ? u v", ESC + "{1" + ESC + "V1" + ESC + "T1" + ESC + "r1" + ESC + "U1" + ESC + "=1" + ESC +
            "%1" + ESC + "?A" + ESC + "u0" + ESC + "v", ""},
        {"ESC c 3 4 5, ESC p drawer kick, ESC i m cuts", ESC + "c3A" + ESC + "c4B" + ESC + "c51" + ESC + "p0" + N(0x32) +
            "x" + ESC + "i" + ESC + "m", ""},
        {"ESC L W FF S page mode", ESC + "L" + ESC + "WABCDEFGH" + ESC + N(0x0C) + ESC + "S", ""},
        {"ESC ( A beeper", ESC + "(A" + N(4) + N(0) + "0a3x", ""},
        {"ESC * 8-dot and 24-dot images", ESC + "*" + N(1) + N(5) + N(0) + "ABCDE" + ESC + "*!" + N(2) + N(0) +
            "ABCDEF", ""},
        {"ESC & user characters", ESC + "&" + N(3) + "AB" + N(2) + "abcdef" + N(1) + "xyz", ""},
        {"GS ! B H h w f T b E j", GS + "!Q" + GS + "B1" + GS + "H2" + GS + "hd" + GS + "w3" + GS + "f1" + GS + "T1" +
            GS + "b1" + GS + "E1" + GS + "j1", ""},
        {"GS L W P $ \\", GS + "LAB" + GS + "WCD" + GS + "PEF" + GS + "$GH" + GS + "\\IJ", ""},
        {"GS V cut, 3 and 4 bytes", GS + "V1" + GS + "VAx" + GS + "Vay" + GS + "Vhz", ""},
        {"GS k m 0-6, NUL ended", GS + "k" + N(4) + "*A-123*" + NUL, ""},
        {"GS k m 65-79, counted", GS + "kE" + N(7) + "*A-123*" + GS + "kI" + N(9) + "{BNo.4711", ""},
        {"GS ( k QR code", GS + "(k" + N(4) + N(0) + "1A2" + N(0) + qrStore + GS + "(k" + N(3) + N(0) + "1Q0", ""},
        {"GS ( L and GS 8 L graphics", GS + "(L" + N(6) + N(0) + "0pABCD" + GS + "8L" + N(6) + N(0) + N(0) + N(0) +
            "0pABCD", ""},
        {"GS v 0 and GS Q 0 images", GS + "v0" + N(0) + N(2) + N(0) + N(3) + N(0) + "ABCDEF" + GS + "Q0" + N(0) + N(2) +
            N(0) + N(2) + N(0) + "WXYZ", ""},
        {"GS * downloaded image, GS / print", GS + "*" + N(1) + N(1) + "ABCDEFGH" + GS + "/0", ""},
        {"GS ( A, GS ( E, GS : ^ c", GS + "(A" + N(2) + N(0) + "02" + GS + "(E" + N(3) + N(0) + "123" + GS + ":" + GS +
            "^abc" + GS + "c", ""},
        {"GS a r I status, GS g counters, GS z", GS + "aA" + GS + "r1" + GS + "IB" + GS + "g0" + N(0) + "AB" + GS + "g2" +
            N(0) + "CD" + GS + "z0AB", ""},
        {"GS C counter", GS + "C0AB" + GS + "C1ABCDEF" + GS + "C2AB" + GS + "C;1;22;333;4;5;", ""},
        {"FS p, FS q NV images", FS + "p1" + N(0) + FS + "q" + N(2) + N(1) + N(0) + N(1) + N(0) + "ABCDEFGH" + N(1) +
            N(0) + N(1) + N(0) + "IJKLMNOP", ""},
        {"FS ! & . - C S W ? 2 (", FS + "!A" + FS + "&" + FS + "." + FS + "-1" + FS + "C1" + FS + "SAB" + FS + "W1" + FS +
            "?AB" + FS + "2AB" + Repeat("x", 72) + FS + "(A" + N(3) + N(0) + "xyz", ""},
        {"FS g NV user memory", FS + "g1" + N(0) + "ABCD" + N(5) + N(0) + "hello" + FS + "g2" + N(0) + "ABCD" + N(5) +
            N(0), ""},
        {"DLE DC4 buzzer", DLE + N(0x14) + N(3) + "A1234", ""},
        // Unknown: the pair goes; a control byte after the prefix stays what it is.
        {"ESC y, FS Z unknown", ESC + "y" + FS + "Z", ""},
        {"ESC before a line end or a command", ESC + "\n" + ESC + ESC + "!0", "\r\n"},
        {"GS 8 without L, DLE before text", GS + "8X" + DLE + "A", "XA"},
    };
}

class Commands : public ::testing::TestWithParam<Case> {};

TEST_P(Commands, GoWithTheirParameterBytes)
{
    const Case& c = GetParam();
    EXPECT_EQ(Clean("Sub" + c.bytes + "total\n"), "Sub" + c.expected + "total\r\n");
}

INSTANTIATE_TEST_SUITE_P(ReceiptText, Commands, ::testing::ValuesIn(CommandCases()));

struct PageCase {
    unsigned codePage;
    std::string bytes;
    const char* expected; // UTF-8
};

void PrintTo(const PageCase& c, std::ostream* os)
{
    *os << c.codePage << ": " << c.expected;
}

class CodePages : public ::testing::TestWithParam<PageCase> {};

TEST_P(CodePages, BecomeUtf8)
{
    const PageCase& c = GetParam();
    EXPECT_EQ(Clean(c.bytes, c.codePage), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiptText, CodePages,
    ::testing::Values(
        PageCase{437, "\xC9\xCD\xCD\xBB", "\u2554\u2550\u2550\u2557"},
        PageCase{437, "\xB3 \xC3\xC4\xB4 \xDA\xBF\xC0\xD9", "\u2502 \u251C\u2500\u2524 \u250C\u2510\u2514\u2518"},
        PageCase{437, "Caf\x82 M\x81ller Se\xA4or \x9C" "5 \xF8", "Caf\u00E9 M\u00FCller Se\u00F1or \u00A35 \u00B0"},
        PageCase{437, "\xB0\xDB\x9E\xE1\xFF.", "\u2591\u2588\u20A7\u00DF\u00A0."},
        PageCase{850, "\x9B\x9D\xB5\xD5\xE7", "\u00F8\u00D8\u00C1\u0131\u00FE"},
        PageCase{858, "\xD5 12,50 \x9B", "\u20AC 12,50 \u00F8"},
        PageCase{1252, "\x80 12,50 \xE9\xFC\x96\x93", "\u20AC 12,50 \u00E9\u00FC\u2013\u201C"},
        // 0x81 has no character in 1252.
        PageCase{1252, "a\x81" "b", "ab"},
        // ESC t switches the table; an unknown table keeps the one in use; ESC @ goes back to the lane's.
        PageCase{437, ESC + "t" + N(19) + "\xD5" + ESC + "t" + N(2) + "\xD5" + ESC + "t" + N(0) + "\xD5",
                 "\u20AC\u0131\u2552"},
        PageCase{437, ESC + "t" + N(16) + "\x80" + ESC + "t" + N(99) + "\x80", "\u20AC\u20AC"},
        PageCase{858, ESC + "t" + N(0) + "\xD5" + ESC + "@" + "\xD5", "\u2552\r\n\u20AC"}));

TEST(ReceiptText, SupportsTheLanesCodePagesOnly)
{
    for (unsigned cp : {437u, 850u, 858u, 1252u}) EXPECT_TRUE(CReceiptText::Supports(cp)) << cp;
    for (unsigned cp : {0u, 852u, 1250u, 65001u}) EXPECT_FALSE(CReceiptText::Supports(cp)) << cp;
}

class Lines : public ::testing::TestWithParam<Case> {};

TEST_P(Lines, EndAsAPersonReadsThem)
{
    EXPECT_EQ(Clean(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiptText, Lines,
    ::testing::Values(
        Case{"LF, CR, CR LF", "A\nB\rC\r\nD\n", "A\r\nB\r\nC\r\nD\r\n"},
        Case{"LF CR is two ends", "A\n\rB", "A\r\n\r\nB"},
        Case{"empty lines stay", "A\n\n\r\n\rB", "A\r\n\r\n\r\n\r\nB"},
        Case{"commands between CR and LF", "A\r" + ESC + "!0" + DLE + N(4) + N(1) + "\nB", "A\r\nB"},
        Case{"controls are not text", "A" + NUL + N(7) + N(0x18) + N(0x7F) + "B\n", "AB\r\n"},
        Case{"FF ends a line with text only", "A" + N(0x0C) + N(0x0C) + "B\n" + N(0x0C), "A\r\nB\r\n"},
        Case{"ESC d after text ends it", "A" + ESC + "d" + N(3) + "B", "A\r\nB"},
        Case{"feeds on an empty line add nothing", "A\n" + ESC + "d" + N(5) + ESC + "J0" + ESC + "e1B", "A\r\nB"},
        Case{"ESC @ ends a line", "A" + ESC + "@B", "A\r\nB"},
        Case{"HT to the next 8", "A\tB\tC" + Repeat("x", 6) + "\tD", "A       B       C" + Repeat("x", 6) + " D"},
        Case{"ESC D stops", ESC + "D" + N(4) + N(10) + NUL + "A\tB\tC\tD", "A   B     CD"},
        Case{"ESC D NUL clears every stop", ESC + "D" + NUL + "A\tB", "AB"},
        // A stop not above the last ends the list and is data (here the text '0').
        Case{"ESC D ends on a falling stop", ESC + "DA0\tX", "0" + Repeat(" ", 64) + "X"},
        Case{"ESC @ restores the stops", ESC + "D" + NUL + ESC + "@A\tB", "A       B"},
        // Bar code data is printable: a control byte means the NUL never came.
        Case{"bar code without its NUL", GS + "k" + N(4) + "123\nNext\n", "\r\nNext\r\n"}));

// A receipt as a POS terminal sends it, and what the overlay should show.
const std::string& Receipt()
{
    static const std::string bytes = [] {
        std::string r = ESC + "@" + ESC + "t" + N(0) + ESC + "a1" + ESC + "!" + N(0x38) + "CAF\x90 M\x9ALLER\n" + ESC + "!" +
                        N(0) + GS + "!" + N(0x11) + "Bahnhofstr. 7\r\n" + GS + "!" + N(0) + ESC + "a0";
        r += "\xDA" + Repeat("\xC4", 10) + "\xBF\n";
        r += "Cr\x88me br\x81l\x82" "e\t\t4.50\r\n";
        r += ESC + "E1" + "TOTAL" + ESC + "E0" + "\t\t\x9C" "4.50\n";
        r += GS + "h" + N(80) + GS + "H2" + GS + "k" + N(4) + "*0042*" + NUL;
        const std::string qr = "1P0https://shop.ex/r/0042";
        r += GS + "(k" + N(static_cast<int>(qr.size())) + N(0) + qr + GS + "(k" + N(3) + N(0) + "1Q0";
        // 4 bytes wide, 3 dots high, with line ends and command bytes in the picture.
        r += GS + "v0" + N(0) + N(4) + N(0) + N(3) + N(0) + "\n\r" + ESC + GS + "AB" + N(0x0C) + DLE + N(4) + N(1) + "xy";
        r += "Danke\r" + DLE + N(4) + N(1) + "\n" + ESC + "d" + N(4) + GS + "VA" + N(3) + ESC + "p" + N(0) + "2x";
        return r;
    }();
    return bytes;
}

// Tabs at 16 and 24: "Crème brûlée" is 12 characters, "TOTAL" 5.
const std::string kReceiptText = "CAF\u00C9 M\u00DCLLER\r\n"
                                 "Bahnhofstr. 7\r\n"
                                 "\u250C" + Repeat("\u2500", 10) + "\u2510\r\n" +
                                 "Cr\u00EAme br\u00FCl\u00E9e" + Repeat(" ", 12) + "4.50\r\n" +
                                 "TOTAL" + Repeat(" ", 11) + "\u00A34.50\r\n" +
                                 "Danke\r\n";

TEST(ReceiptText, AWholeReceiptReadsAsPrinted)
{
    EXPECT_EQ(Clean(Receipt()), kReceiptText);
}

// Cut anywhere (inside a command, a length field, an image, a CR LF), the text is the same.
TEST(ReceiptText, PiecesGiveWhatTheWholeGives)
{
    const std::string& r = Receipt();
    CReceiptText bytewise;
    std::string byByte;
    for (char c : r) {
        bytewise.Feed(&c, 1);
        byByte += bytewise.TakeAll();
    }
    EXPECT_EQ(byByte, kReceiptText);

    std::mt19937 random(20);
    for (int round = 0; round < 50; ++round) {
        CReceiptText text;
        std::string all, lines;
        for (size_t at = 0; at < r.size();) {
            size_t n = std::min<size_t>(r.size() - at, std::uniform_int_distribution<size_t>(0, 40)(random));
            text.Feed(r.data() + at, n);
            at += n;
            // Taking whole lines now and then must not change what follows.
            if (round % 2) lines += text.TakeLines();
        }
        all = lines + text.TakeAll();
        EXPECT_EQ(all, kReceiptText) << "round " << round;
    }
}

TEST(ReceiptText, TakeLinesKeepsTheLineBeingPrinted)
{
    CReceiptText text;
    std::string bytes = "Line 1\r\nLine 2\nPart";
    text.Feed(bytes.data(), bytes.size());
    EXPECT_EQ(text.TakeLines(), "Line 1\r\nLine 2\r\n");
    EXPECT_EQ(text.TakeLines(), "");
    bytes = "ial\rEnd";
    text.Feed(bytes.data(), bytes.size());
    EXPECT_EQ(text.TakeLines(), "Partial\r\n");
    // A CR is a whole line at once; the LF after it, in the next piece, adds none.
    text.Feed("\r", 1);
    EXPECT_EQ(text.TakeLines(), "End\r\n");
    text.Feed("\nNext", 5);
    EXPECT_EQ(text.TakeLines(), "");
    EXPECT_EQ(text.TakeAll(), "Next");
}

TEST(ReceiptText, ALineWithoutEndIsCutAt2048Characters)
{
    CReceiptText text;
    std::string bytes(5000, 'A');
    text.Feed(bytes.data(), bytes.size());
    EXPECT_EQ(text.TakeLines(), Repeat(std::string(2048, 'A') + "\r\n", 2));
    EXPECT_EQ(text.TakeAll(), std::string(5000 - 4096, 'A'));
}

// Logos of megabytes are counted down, and no byte of them (text, line ends, commands) shows.
TEST(ReceiptText, ALongImageIsSkippedWithoutItsDataLeaking)
{
    std::string logo;
    for (size_t i = 0; logo.size() < 3 * 1024 * 1024; ++i) logo += "LOGO\n\r" + ESC + "@" + N(static_cast<int>(i & 0xFF));
    const size_t rasterSize = 2 * 1024 * 1024; // 1024 bytes wide, 2048 dots high
    const size_t graphicsSize = logo.size();
    std::string r = "before\n" + GS + "v0" + N(0) + N(0) + N(4) + N(0) + N(8) + logo.substr(0, rasterSize) + "middle\n";
    r += GS + "8L" + N(static_cast<int>(graphicsSize & 0xFF)) + N(static_cast<int>(graphicsSize >> 8 & 0xFF)) +
         N(static_cast<int>(graphicsSize >> 16 & 0xFF)) + N(0) + logo;
    // A Windows BMP logo (GS D, NV and download forms): its size is in its own header.
    for (const std::string& parameters : {std::string("0C0") + "AB" + "01", std::string("0S0") + "01"}) {
        const size_t bmpSize = 6 + logo.size();
        r += GS + "D" + parameters + "BM" + N(static_cast<int>(bmpSize & 0xFF)) +
             N(static_cast<int>(bmpSize >> 8 & 0xFF)) + N(static_cast<int>(bmpSize >> 16 & 0xFF)) + N(0) + logo;
    }
    r += "after\n";

    CReceiptText text;
    std::string out;
    for (size_t at = 0; at < r.size(); at += 4096) {
        text.Feed(r.data() + at, std::min<size_t>(4096, r.size() - at));
        out += text.TakeAll();
    }
    EXPECT_EQ(out, "before\r\nmiddle\r\nafter\r\n");
}

} // namespace
