#include "service/ByteRing.h"

#include <algorithm>
#include <cstring>

size_t CByteRing::Put(const char* data, size_t size)
{
    const size_t capacity = m_buffer.size();
    size_t pushedOut = 0;
    if (size > capacity) {
        // Only the newest capacity bytes of data can stay.
        pushedOut = size - capacity + m_size;
        data += size - capacity;
        size = capacity;
        Clear();
    } else if (m_size + size > capacity) {
        pushedOut = m_size + size - capacity;
        Pop(pushedOut);
    }
    size_t tail = (m_head + m_size) % capacity;
    while (size > 0) {
        const size_t piece = std::min(size, capacity - tail);
        std::memcpy(&m_buffer[tail], data, piece);
        data += piece;
        size -= piece;
        m_size += piece;
        tail = (tail + piece) % capacity;
    }
    return pushedOut;
}

const char* CByteRing::Front(size_t& size) const
{
    size = std::min(m_size, m_buffer.size() - m_head);
    return m_size ? &m_buffer[m_head] : nullptr;
}

void CByteRing::Pop(size_t n)
{
    n = std::min(n, m_size);
    m_size -= n;
    m_head = m_size ? (m_head + n) % m_buffer.size() : 0;
}
