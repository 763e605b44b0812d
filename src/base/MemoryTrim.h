#pragma once

#include <cstddef>

struct event;
struct event_base;

// Gives freed memory back to the system once a second has passed without a
// megabyte's worth of requests ending: glibc would otherwise keep the peak for good,
// and returning it after each one would fault it in again.
class MemoryTrim
{
public:
    MemoryTrim() = default;
    ~MemoryTrim();

    MemoryTrim(const MemoryTrim&) = delete;
    MemoryTrim& operator=(const MemoryTrim&) = delete;

    // Without it memory is only kept, not lost: callers need not fail for it.
    bool Watch(event_base* pBase);
    void Release();
    // Something that held `bytes` has ended.
    void Note(size_t bytes);

    // Where the libevent callback arrives.
    void OnTimer();

private:
    event* m_pTimer = nullptr;
    size_t m_Released = 0; // since the last trim
};
