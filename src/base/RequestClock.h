#pragma once

#include <chrono>
#include <cstddef>

#include "Timing.h"

// The clock of one request as it arrives. libevent's read time-out starts again with
// every byte, so a client sending one now and then would hold its connection for
// ever: a request must arrive whole within the time-out of its first byte, plus a
// second for every kMinRate bytes it brings, so that a large body on a slower link
// still fits.
class RequestClock
{
public:
    static constexpr size_t kMinRate = 64 << 10; // bytes per second

    void Start(std::chrono::seconds timeout)
    {
        m_Start = SteadyClock::now() + timeout;
        m_Bytes = 0;
    }

    void Add(size_t bytes) { m_Bytes += bytes; }
    SteadyClock::time_point Deadline() const
    {
        return m_Start + std::chrono::microseconds(m_Bytes * 1000000 / kMinRate);
    }

private:
    SteadyClock::time_point m_Start;
    size_t m_Bytes = 0;
};
