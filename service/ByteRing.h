#pragma once
// CByteRing: the newest bytes up to a fixed capacity, allocated once. A byte that does not fit
// pushes out the oldest: a recorder that was behind gets what is current when it reads again.
#include <cstddef>
#include <vector>

class CByteRing {
public:
    explicit CByteRing(size_t capacity) : m_buffer(capacity) {}

    // Returns how many of the oldest bytes (waiting or new) were pushed out.
    size_t Put(const char* data, size_t size);
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    // The oldest waiting bytes that lie in one piece.
    const char* Front(size_t& size) const;
    // Removes the n oldest bytes (n at most Size()).
    void Pop(size_t n);
    void Clear() { m_head = m_size = 0; }

private:
    std::vector<char> m_buffer;
    size_t m_head = 0; // the oldest byte
    size_t m_size = 0;
};
