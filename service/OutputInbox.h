#pragma once
// COutputInbox: the bytes the capture thread hands one output, until the output's thread takes
// them. Put copies under a short lock into memory allocated once and never waits on anything
// else; the pieces keep their boundaries (a raw UDP datagram carries what one piece brought).
#include <cstddef>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "service/ByteRing.h"

class COutputInbox {
public:
    static const size_t kMaxPieces = 256;

    explicit COutputInbox(size_t capacity);

    void Put(const char* data, size_t size);
    // Moves every waiting byte into bytes and where each piece ends into ends (both cleared
    // first, their memory kept); returns how many bytes were pushed out unread since the last
    // Take.
    size_t Take(std::string& bytes, std::vector<size_t>& ends);

private:
    void Forget(size_t n);

    CCriticalSection m_lock;
    CByteRing m_bytes;
    size_t m_pieces[kMaxPieces] = {}; // the sizes of the waiting pieces, a ring from m_first
    size_t m_first = 0;
    size_t m_count = 0;
    size_t m_lost = 0;
};
