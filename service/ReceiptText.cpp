#include "service/ReceiptText.h"

#include <algorithm>
#include <iterator>

// Command lengths follow Epson's ESC/POS command reference for TM printers. Where a command
// has a length field the data is counted down, never held: a logo may be megabytes.
//
// Unknown commands: an ESC, GS or FS followed by a byte the command set does not define is
// dropped together with that byte, as the printer takes the pair as one command (ESC x is never
// text). A control byte right after the prefix is not swallowed: a stray ESC must not eat a
// line end or the start of the next command, so the prefix alone goes and the byte is taken
// afresh. The same holds for a function byte a known command does not define (GS 8 x, GS v x):
// the two-byte prefix goes, the byte is read again. DLE is a command only before EOT, ENQ and
// DC4; elsewhere it is a lone control byte.
//
// Code tables (ESC t n): 0 PC437, 2 PC850, 16 WPC1252, 19 PC858. Any other table leaves the
// current one in use: ASCII is the same in every table, and a wrong guess at the upper half
// would be no better than keeping the table the shop configured.

namespace {

const unsigned char ESC = 0x1B;
const unsigned char GS = 0x1D;
const unsigned char FS = 0x1C;
const unsigned char DLE = 0x10;
const unsigned char LF = 0x0A;
const unsigned char CR = 0x0D;
const unsigned char HT = 0x09;
const unsigned char FF = 0x0C;
const unsigned char EOT = 0x04;
const unsigned char ENQ = 0x05;
const unsigned char DC4 = 0x14;
const unsigned char NUL = 0x00;

// HeadLength's answers besides a length.
const int kNeedMore = 0;   // a byte more is needed to know the length
const int kDropBefore = -1; // the command ends before the last byte, which is taken afresh

// Code page charts, 0x80 to 0xFF, as Unicode code points (0: no character there).
const uint16_t kCp437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

const uint16_t kCp850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// 1252's 0x80-0x9F; 0xA0-0xFF are Latin-1's own code points. 0x81, 0x8D, 0x8F, 0x90, 0x9D
// have no character.
const uint16_t kCp1252Low[32] = {
    0x20AC, 0x0000, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x0000, 0x017D, 0x0000,
    0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x0000, 0x017E, 0x0178,
};

uint16_t Word(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The one-byte commands' lengths, by their second byte (0: not a fixed-length command).
int EscFixed(unsigned char x)
{
    switch (x) {
    case FF: case '2': case '<': case '@': case 'L': case 'S': case 'i': case 'm': case 'v': case 'D':
        return 2;
    case ' ': case '!': case '%': case '-': case '3': case '=': case '?': case 'E': case 'G': case 'J': case 'K':
    case 'M': case 'R': case 'T': case 'U': case 'V': case 'a': case 'd': case 'e': case 'r': case 't': case 'u':
    case '{':
        return 3;
    case '$': case '\\': case 'c': case 'f':
        return 4;
    case 'p': case '(': case '*': case '&':
        return 5;
    case 'W':
        return 10;
    default:
        return 0;
    }
}

int GsFixed(unsigned char x)
{
    switch (x) {
    case ':': case 'c':
        return 2;
    case '!': case '/': case 'B': case 'E': case 'H': case 'I': case 'T': case 'a': case 'b': case 'f': case 'h':
    case 'j': case 'r': case 'w':
        return 3;
    case '$': case 'L': case 'P': case 'W': case '\\': case '*':
        return 4;
    case '^': case '(': case 'z':
        return 5;
    default:
        return 0;
    }
}

int FsFixed(unsigned char x)
{
    switch (x) {
    case '&': case '.':
        return 2;
    case '!': case '-': case 'C': case 'W': case 'q':
        return 3;
    case 'S': case '?': case 'p': case '2':
        return 4;
    case '(':
        return 5;
    default:
        return 0;
    }
}

// UTF-8 of a code point below U+10000 into bytes; its length (0 for no character).
unsigned char Encode(uint16_t code, char* bytes)
{
    if (code == 0) return 0;
    if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | code >> 6);
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    bytes[0] = static_cast<char>(0xE0 | code >> 12);
    bytes[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
}

} // namespace

const CReceiptText::Glyph* CReceiptText::Table(unsigned codePage)
{
    struct Tables {
        Glyph cp437[128], cp850[128], cp858[128], cp1252[128];
    };
    static const Tables tables = [] {
        Tables t{};
        for (int i = 0; i < 128; ++i) {
            t.cp437[i].len = Encode(kCp437[i], t.cp437[i].bytes);
            t.cp850[i].len = Encode(kCp850[i], t.cp850[i].bytes);
            t.cp1252[i].len = Encode(i < 32 ? kCp1252Low[i] : static_cast<uint16_t>(0x80 + i), t.cp1252[i].bytes);
        }
        // 858 is 850 with the euro sign in place of the dotless i.
        std::copy(std::begin(t.cp850), std::end(t.cp850), t.cp858);
        Glyph& euro = t.cp858[0xD5 - 0x80];
        euro.len = Encode(0x20AC, euro.bytes);
        return t;
    }();
    switch (codePage) {
    case 437: return tables.cp437;
    case 850: return tables.cp850;
    case 858: return tables.cp858;
    case 1252: return tables.cp1252;
    default: return nullptr;
    }
}

CReceiptText::CReceiptText(unsigned codePage)
{
    m_initialTable = Table(codePage);
    if (!m_initialTable) m_initialTable = Table(437);
    m_table = m_initialTable;
    Initialise();
}

bool CReceiptText::Supports(unsigned codePage)
{
    return Table(codePage) != nullptr;
}

void CReceiptText::Feed(const char* data, size_t size)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = p + size;
    while (p < end) {
        switch (m_state) {
        case State::Text: {
            // Plain ASCII in runs: most of a receipt is.
            const unsigned char* stop = p + std::min<size_t>(end - p, kMaxColumns - m_column);
            const unsigned char* run = p;
            while (p < stop && *p >= 0x20 && *p < 0x7F) ++p;
            if (p > run)
                Append(reinterpret_cast<const char*>(run), p - run, static_cast<unsigned>(p - run));
            else
                TextByte(*p++);
            break;
        }
        case State::Data: {
            size_t n = static_cast<size_t>(std::min<uint64_t>(m_skip, static_cast<uint64_t>(end - p)));
            p += n;
            m_skip -= n;
            if (m_skip == 0) m_state = m_afterData;
            break;
        }
        case State::Command:
            if (CommandByte(*p)) ++p;
            break;
        case State::TabStops:
            if (TabStopByte(*p)) ++p;
            break;
        case State::Barcode:
            if (BarcodeByte(*p)) ++p;
            break;
        case State::Counter:
            if (CounterByte(*p)) ++p;
            break;
        case State::Group:
            GroupByte(*p++);
            break;
        case State::Bitmap:
            BitmapByte(*p++);
            break;
        }
    }
}

std::string CReceiptText::TakeAll()
{
    std::string out;
    out.swap(m_out);
    m_lineEnd = 0;
    return out;
}

std::string CReceiptText::TakeLines()
{
    std::string out = m_out.substr(0, m_lineEnd);
    m_out.erase(0, m_lineEnd);
    m_lineEnd = 0;
    return out;
}

void CReceiptText::TextByte(unsigned char b)
{
    switch (b) {
    case LF:
        if (!m_afterCr) EndLine();
        m_afterCr = false;
        return;
    case CR:
        EndLine();
        m_afterCr = true;
        return;
    case HT:
        m_afterCr = false;
        Tab();
        return;
    case FF:
        m_afterCr = false;
        EndTextLine();
        return;
    case ESC: case GS: case FS: case DLE:
        // Commands leave m_afterCr alone: CR, a status request, LF is still one line end.
        m_cmd[0] = b;
        m_len = 1;
        m_state = State::Command;
        return;
    default:
        break;
    }
    if (b < 0x80) return; // the other controls and DEL
    const Glyph& g = m_table[b - 0x80];
    if (g.len) Append(g.bytes, g.len, 1);
}

void CReceiptText::Append(const char* text, size_t size, unsigned columns)
{
    m_afterCr = false;
    m_out.append(text, size);
    m_column += columns;
    if (m_column >= kMaxColumns) EndLine();
}

void CReceiptText::EndLine()
{
    m_out += "\r\n";
    m_lineEnd = m_out.size();
    m_column = 0;
}

void CReceiptText::EndTextLine()
{
    if (m_column > 0) EndLine();
}

void CReceiptText::Tab()
{
    for (size_t i = 0; i < m_tabCount; ++i) {
        if (m_tabs[i] > m_column) {
            unsigned pad = m_tabs[i] - m_column;
            m_out.append(pad, ' ');
            m_column += pad;
            return;
        }
    }
    // Past the last stop the printer ignores HT.
}

void CReceiptText::Initialise()
{
    m_table = m_initialTable;
    // The printer's own stops: every 8 characters.
    m_tabCount = 0;
    for (unsigned stop = 8; stop < 256; stop += 8) m_tabs[m_tabCount++] = static_cast<unsigned char>(stop);
}

void CReceiptText::SelectTable(unsigned char n)
{
    const Glyph* table = nullptr;
    switch (n) {
    case 0: table = Table(437); break;
    case 2: table = Table(850); break;
    case 16: table = Table(1252); break;
    case 19: table = Table(858); break;
    default: break;
    }
    if (table) m_table = table;
}

bool CReceiptText::CommandByte(unsigned char b)
{
    m_cmd[m_len++] = b;
    int length = HeadLength();
    if (length == kDropBefore) {
        --m_len;
        m_state = State::Text;
        return false;
    }
    if (length != kNeedMore && m_len >= static_cast<size_t>(length)) Execute();
    return true;
}

// The length of the command collected so far, from its first bytes.
int CReceiptText::HeadLength() const
{
    const unsigned char* c = m_cmd.data();
    const size_t n = m_len;
    const unsigned char x = c[1];
    if (c[0] == DLE) {
        switch (x) {
        case EOT:
            // n 7 and 8 carry one more byte (ink, peeler status).
            if (n < 3) return kNeedMore;
            return c[2] == 7 || c[2] == 8 ? 4 : 3;
        case ENQ:
            return 3;
        case DC4:
            if (n < 3) return kNeedMore;
            switch (c[2]) {
            case 1: case 2: return 5;
            case 3: return 8;
            case 7: return 4;
            case 8: return 10;
            default: return 3;
            }
        default:
            return kDropBefore;
        }
    }
    if (x < 0x20 && !(c[0] == ESC && x == FF)) return kDropBefore;
    if (c[0] == ESC) {
        int fixed = EscFixed(x);
        return fixed ? fixed : 2;
    }
    if (c[0] == GS) {
        if (int fixed = GsFixed(x)) return fixed;
        // The commands whose third byte says what follows.
        switch (x) {
        case 'V':
        case '8':
        case 'v':
        case 'Q':
        case 'k':
        case 'C':
        case 'g':
            if (n < 3) return kNeedMore;
            break;
        default:
            return 2;
        }
        const unsigned char f = c[2];
        switch (x) {
        case 'V': return f == 65 || f == 66 || f == 97 || f == 98 || f == 103 || f == 104 ? 4 : 3;
        case '8': return f == 'L' ? 7 : kDropBefore;
        case 'v': case 'Q': return f == '0' ? 8 : kDropBefore;
        case 'k': return f <= 6 ? 3 : 4;
        case 'C':
            switch (f) {
            case '0': case '2': return 5;
            case '1': return 9;
            case ';': return 3;
            default: return kDropBefore;
            }
        case 'g': return f == '0' || f == '2' ? 6 : kDropBefore;
        default: return 2;
        }
    }
    // FS
    if (int fixed = FsFixed(x)) return fixed;
    if (x == 'g') {
        if (n < 3) return kNeedMore;
        return c[2] == '1' || c[2] == '2' ? 10 : kDropBefore;
    }
    return 2;
}

void CReceiptText::Execute()
{
    const unsigned char* c = m_cmd.data();
    m_state = State::Text;
    if (c[0] == ESC) {
        switch (c[1]) {
        case '@':
            // The printer drops an unfinished line here; the overlay may have shown it already.
            EndTextLine();
            Initialise();
            break;
        case 't': SelectTable(c[2]); break;
        case 'd': case 'e': case 'J': EndTextLine(); break;
        case 'D':
            m_tabCount = 0;
            m_state = State::TabStops;
            break;
        case '(': Skip(Word(c + 3)); break;
        // 8-dot modes (0, 1) have a byte a column, 24-dot modes (32, 33) three.
        case '*': Skip(static_cast<uint64_t>(Word(c + 3)) * (c[2] >= 32 ? 3 : 1)); break;
        case '&':
            // y c1 c2: characters c1 to c2, each x then y * x bytes.
            m_groupKind = GroupKind::UserChars;
            m_groupUnit = c[2];
            m_groupLeft = c[4] >= c[3] ? c[4] - c[3] + 1u : 0u;
            m_len = 0;
            if (m_groupLeft) m_state = State::Group;
            break;
        default: break;
        }
    } else if (c[0] == GS) {
        switch (c[1]) {
        case '(': Skip(Word(c + 3)); break;
        case '8': Skip(c[3] | c[4] << 8 | static_cast<uint64_t>(c[5]) << 16 | static_cast<uint64_t>(c[6]) << 24); break;
        case 'v': case 'Q': Skip(static_cast<uint64_t>(Word(c + 4)) * Word(c + 6)); break;
        case '*': Skip(static_cast<uint64_t>(c[2]) * c[3] * 8); break;
        case 'k':
            if (c[2] <= 6)
                m_state = State::Barcode;
            else
                Skip(c[3]);
            break;
        case 'C':
            if (c[2] == ';') {
                m_semicolons = 0;
                m_state = State::Counter;
            }
            break;
        case 'D':
            m_len = 0;
            m_bitmapHeader = false;
            m_previous = 0;
            m_state = State::Bitmap;
            break;
        default: break;
        }
    } else if (c[0] == FS) {
        switch (c[1]) {
        case '(': Skip(Word(c + 3)); break;
        case '2': Skip(72); break; // a 24 x 24 character
        case 'g':
            if (c[2] == '1') Skip(Word(c + 8));
            break;
        case 'q':
            // n images, each xL xH yL yH then (x * 8 dots wide, y * 8 high) bytes.
            m_groupKind = GroupKind::NvImages;
            m_groupLeft = c[2];
            m_len = 0;
            if (m_groupLeft) m_state = State::Group;
            break;
        default: break;
        }
    }
}

// GS D's functions differ in how many parameters come before the file (key codes or not), so
// the file is found by its own signature, and skipped by the size its header gives (bfSize, from
// the "BM"). A GS D without one within a few bytes is no bitmap: those bytes go with it.
void CReceiptText::BitmapByte(unsigned char b)
{
    const size_t kMaxParameters = 12;
    ++m_len;
    if (!m_bitmapHeader) {
        if (m_previous == 'B' && b == 'M') {
            m_bitmapHeader = true;
            m_sizeBytes = 0;
            m_bitmapSize = 0;
        } else if (m_len >= kMaxParameters) {
            m_state = State::Text;
        }
        m_previous = b;
        return;
    }
    m_bitmapSize |= static_cast<uint64_t>(b) << (8 * m_sizeBytes);
    if (++m_sizeBytes < 4) return;
    // The size counts the file from its "BM"; six of its bytes are read.
    m_state = State::Text;
    Skip(m_bitmapSize > 6 ? m_bitmapSize - 6 : 0);
}

void CReceiptText::Skip(uint64_t count)
{
    if (count == 0) return;
    m_afterData = State::Text;
    m_skip = count;
    m_state = State::Data;
}

bool CReceiptText::TabStopByte(unsigned char b)
{
    if (b == NUL) {
        m_state = State::Text;
        return true;
    }
    // Up to 32 stops in rising order; anything else ends the list and is ordinary data.
    if (m_tabCount == m_tabs.size() || (m_tabCount > 0 && b <= m_tabs[m_tabCount - 1])) {
        m_state = State::Text;
        return false;
    }
    m_tabs[m_tabCount++] = b;
    return true;
}

bool CReceiptText::BarcodeByte(unsigned char b)
{
    if (b == NUL) {
        m_state = State::Text;
        return true;
    }
    // Every symbology of GS k m (m 0-6) takes printable bytes only: a control byte means the NUL
    // is missing, and the receipt goes on from here rather than vanishing into the bar code.
    if (b < 0x20) {
        m_state = State::Text;
        return false;
    }
    return true;
}

bool CReceiptText::CounterByte(unsigned char b)
{
    if (b == ';') {
        if (++m_semicolons == 5) m_state = State::Text;
        return true;
    }
    if (b >= '0' && b <= '9') return true;
    m_state = State::Text;
    return false;
}

void CReceiptText::GroupByte(unsigned char b)
{
    m_cmd[m_len++] = b;
    const size_t head = m_groupKind == GroupKind::UserChars ? 1 : 4;
    if (m_len < head) return;
    m_len = 0;
    --m_groupLeft;
    uint64_t data = m_groupKind == GroupKind::UserChars
                        ? static_cast<uint64_t>(m_groupUnit) * m_cmd[0]
                        : static_cast<uint64_t>(Word(m_cmd.data())) * Word(m_cmd.data() + 2) * 8;
    if (m_groupLeft == 0) m_state = State::Text;
    if (data == 0) return;
    m_afterData = m_groupLeft ? State::Group : State::Text;
    m_skip = data;
    m_state = State::Data;
}
