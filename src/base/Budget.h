#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Bytes held at once by everything that counts against one limit: a reservation that
// would pass it is refused, so memory is never taken for it.
class Budget
{
public:
    explicit Budget(uint64_t limit)
        : m_Limit(limit)
    {
    }

    bool Reserve(size_t bytes)
    {
        if (bytes > m_Limit - m_Used)
            return false;
        m_Used += bytes;
        return true;
    }

    void Release(size_t bytes) { m_Used -= std::min<uint64_t>(m_Used, bytes); }
    uint64_t Used() const { return m_Used; }

private:
    uint64_t m_Limit;
    uint64_t m_Used = 0;
};
