#pragma once
// CReceiptText: what a person reads on a receipt, from the bytes a POS terminal sends to its
// receipt printer. Printer commands (ESC/POS) go with their parameter bytes, which are often
// printable; text is taken from the printer's code page to UTF-8; every line ends CR LF. The
// bytes fed may be cut anywhere, even inside a command: what is not complete waits for the next
// Feed.
#include <cstddef>
#include <string>

class CReceiptText {
public:
    // codePage: the printer's table at its start (437, 850, 858, 1252); the stream's own
    // "select character code table" commands switch it.
    explicit CReceiptText(unsigned codePage = 437);
    // Whether codePage is one a lane may name.
    static bool Supports(unsigned codePage);

    void Feed(const char* data, size_t size);
    // The text so far, as far as it is known (a CR waits to see whether LF follows).
    std::string TakeAll();
    // Only whole lines, each with its CR LF; the line being printed stays (a datagram per line).
    std::string TakeLines();

private:
    std::string m_text; // stand-in: what was fed and not yet taken
};
