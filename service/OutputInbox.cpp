#include "service/OutputInbox.h"

COutputInbox::COutputInbox(size_t capacity) : m_bytes(capacity) {}

void COutputInbox::Put(const char* data, size_t size)
{
    if (size == 0) return;
    CSingleLock guard(&m_lock, true);
    const size_t lost = m_bytes.Put(data, size);
    if (lost) {
        m_lost += lost;
        Forget(lost);
    }
    const size_t kept = size < m_bytes.Size() ? size : m_bytes.Size();
    if (m_count == kMaxPieces) {
        // Too many small pieces: the newest grows instead.
        m_pieces[(m_first + m_count - 1) % kMaxPieces] += kept;
    } else {
        m_pieces[(m_first + m_count) % kMaxPieces] = kept;
        ++m_count;
    }
}

size_t COutputInbox::Take(std::string& bytes, std::vector<size_t>& ends)
{
    bytes.clear();
    ends.clear();
    CSingleLock guard(&m_lock, true);
    size_t piece = 0;
    while (!m_bytes.Empty()) {
        const char* front = m_bytes.Front(piece);
        bytes.append(front, piece);
        m_bytes.Pop(piece);
    }
    size_t end = 0;
    for (size_t i = 0; i < m_count; ++i) {
        end += m_pieces[(m_first + i) % kMaxPieces];
        ends.push_back(end);
    }
    m_first = m_count = 0;
    const size_t lost = m_lost;
    m_lost = 0;
    return lost;
}

void COutputInbox::Forget(size_t n)
{
    // The oldest pieces lost n bytes from their front.
    while (n > 0 && m_count > 0) {
        size_t& first = m_pieces[m_first];
        if (first > n) {
            first -= n;
            return;
        }
        n -= first;
        m_first = (m_first + 1) % kMaxPieces;
        --m_count;
    }
}
