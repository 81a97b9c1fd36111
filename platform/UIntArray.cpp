#include "platform/UIntArray.h"

void CUIntArray::Reserve(size_t needed)
{
    if (needed <= m_data.capacity()) return;
    size_t step = m_growBy > 0 ? static_cast<size_t>(m_growBy) : (m_data.size() / 8 < 4 ? 4 : m_data.size() / 8);
    size_t target = m_data.capacity() + step;
    m_data.reserve(target < needed ? needed : target);
}

void CUIntArray::SetSize(int newSize, int growBy)
{
    if (growBy >= 0) m_growBy = growBy;
    if (newSize < 0) newSize = 0;
    Reserve(static_cast<size_t>(newSize));
    m_data.resize(static_cast<size_t>(newSize), 0u);
}

int CUIntArray::Add(unsigned value)
{
    Reserve(m_data.size() + 1);
    m_data.push_back(value);
    return static_cast<int>(m_data.size()) - 1;
}
