#pragma once

#include <sys/time.h>

#include <algorithm>
#include <chrono>

#include <event2/event.h>

// The service counts time on the steady clock; libevent takes time-outs as timevals.
using SteadyClock = std::chrono::steady_clock;

inline timeval ToTimeval(std::chrono::microseconds duration)
{
    const auto micros = std::max<int64_t>(duration.count(), 0);
    return {static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

// Arms `pEvent` to fire at `deadline`; one already past fires on the next pass, as a
// time-out of zero would.
inline int ArmAt(event* pEvent, SteadyClock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - SteadyClock::now());
    const timeval timeout = ToTimeval(std::max(left, std::chrono::microseconds(1)));
    return event_add(pEvent, &timeout);
}
