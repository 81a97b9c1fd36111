#pragma once
// CUIntArray: the framework's growable array of unsigned integers.
#include <cstddef>
#include <vector>

class CUIntArray {
public:
    CUIntArray() = default;
    CUIntArray(const CUIntArray&) = delete;
    CUIntArray& operator=(const CUIntArray&) = delete;

    int GetSize() const { return static_cast<int>(m_data.size()); }
    int GetCount() const { return GetSize(); }
    bool IsEmpty() const { return m_data.empty(); }
    // growBy -1 keeps the current growth setting, as in the framework.
    void SetSize(int newSize, int growBy = -1);
    int GetGrowBy() const { return m_growBy; }
    // Empties the array; the growth setting stays.
    void RemoveAll() { m_data.clear(); }
    int Add(unsigned value);
    unsigned GetAt(int index) const { return m_data.at(static_cast<size_t>(index)); }
    void SetAt(int index, unsigned value) { m_data.at(static_cast<size_t>(index)) = value; }
    unsigned operator[](int index) const { return GetAt(index); }
    unsigned& operator[](int index) { return m_data.at(static_cast<size_t>(index)); }

private:
    void Reserve(size_t needed);

    std::vector<unsigned> m_data;
    int m_growBy = 0; // 0: the array picks its own growth
};
