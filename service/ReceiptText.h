#pragma once
// CReceiptText: what a person reads on a receipt, from the bytes a POS terminal sends to its
// receipt printer. Printer commands (ESC/POS) go with their parameter bytes, which are often
// printable; text is taken from the printer's code page to UTF-8; every line ends CR LF. The
// bytes fed may be cut anywhere, even inside a command: what is not complete waits for the next
// Feed.
//
// How the receipt becomes lines:
// - LF, CR and CR LF each end one line. A CR ends it at once; an LF that follows it (with only
//   printer commands between) belongs to the same end, so a terminal's status polls between CR
//   and LF add no blank line.
// - FF and the print-and-feed commands (ESC d, ESC e, ESC J) and ESC @ end a line that has text
//   and add nothing on an empty one: a receipt's feeds before the cut leave no run of blank
//   lines, while text the terminal did not end with LF still gets its line.
// - HT becomes spaces up to the next tab stop (every 8 characters, or those set by ESC D), as
//   the printer places it: an overlay draws a tab as it likes, and the item/price columns would
//   go astray.
// - A line longer than kMaxColumns characters is ended there, so that a stream without line
//   ends cannot grow a line without bound.
// - Other C0 control bytes and DEL are not text and are dropped.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CReceiptText {
public:
    // codePage: the printer's table at its start (437, 850, 858, 1252); the stream's own
    // "select character code table" commands switch it.
    explicit CReceiptText(unsigned codePage = 437);
    // Whether codePage is one a lane may name.
    static bool Supports(unsigned codePage);

    void Feed(const char* data, size_t size);
    // The text so far, as far as it is known.
    std::string TakeAll();
    // Only whole lines, each with its CR LF; the line being printed stays (a datagram per line).
    std::string TakeLines();

private:
    static const unsigned kMaxColumns = 2048;
    // One character of a code page's upper half in UTF-8 (len 0: not a character).
    struct Glyph {
        unsigned char len;
        char bytes[3];
    };
    // The upper half (0x80-0xFF) of a supported code page; null for others.
    static const Glyph* Table(unsigned codePage);

    enum class State : unsigned char {
        Text,     // characters and line controls
        Command,  // a command's fixed bytes, collected in m_cmd
        Data,     // m_skip bytes of a command's data
        TabStops, // ESC D n1...nk NUL
        Barcode,  // GS k m d1...dk NUL
        Counter,  // GS C ; sa ; sb ; sn ; sr ; sc ;
        Group,    // ESC &, FS q: a small header per character or image, then its data
        Bitmap,   // GS D m fn ...: a few parameters, then a Windows BMP file, sized by its header
    };
    enum class GroupKind : unsigned char { UserChars, NvImages };

    void TextByte(unsigned char b);
    void Append(const char* text, size_t size, unsigned columns);
    void EndLine();
    void EndTextLine();
    void Tab();
    void Initialise();
    void SelectTable(unsigned char n);
    // The command in m_cmd: returns whether b belongs to it (false: b is taken afresh as text).
    bool CommandByte(unsigned char b);
    int HeadLength() const;
    void Execute();
    void Skip(uint64_t count);
    bool TabStopByte(unsigned char b);
    bool BarcodeByte(unsigned char b);
    bool CounterByte(unsigned char b);
    void GroupByte(unsigned char b);
    void BitmapByte(unsigned char b);

    const Glyph* m_initialTable;
    const Glyph* m_table;
    std::string m_out;
    size_t m_lineEnd = 0;      // m_out up to here is whole lines
    unsigned m_column = 0;     // characters on the line being printed
    bool m_afterCr = false;    // the line was ended by CR: an LF now is the same end

    State m_state = State::Text;
    std::array<unsigned char, 16> m_cmd{};
    size_t m_len = 0;
    uint64_t m_skip = 0;
    State m_afterData = State::Text;
    unsigned m_semicolons = 0;
    GroupKind m_groupKind = GroupKind::UserChars;
    unsigned m_groupLeft = 0;   // characters or images still to come
    unsigned m_groupUnit = 0;   // ESC &: bytes per column
    // GS D: whether the file's "BM" has come, its size bytes read so far, the size.
    bool m_bitmapHeader = false;
    unsigned char m_previous = 0;
    unsigned m_sizeBytes = 0;
    uint64_t m_bitmapSize = 0;

    std::array<unsigned char, 32> m_tabs{};
    size_t m_tabCount = 0;
};
