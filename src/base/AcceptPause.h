#pragma once

#include <functional>

struct event;
struct event_base;
struct evconnlistener;

// accept() fails, most likely for want of a descriptor. Left enabled, a listener
// would retry on every pass of the loop, spinning; this disables it and takes it up
// again from a timer once a descriptor is free.
class AcceptPause
{
public:
    // Told the error each time accepting pauses.
    using OnPause = std::function<void(int error)>;

    AcceptPause() = default;
    ~AcceptPause();

    AcceptPause(const AcceptPause&) = delete;
    AcceptPause& operator=(const AcceptPause&) = delete;

    bool Watch(event_base* pBase, evconnlistener* pListener, OnPause onPause);
    // Stops watching; the listener may already be gone.
    void Release();
    bool Paused() const { return m_Paused; }

    // Where the libevent callbacks arrive.
    void OnError(int error);
    void OnCheck();

private:
    evconnlistener* m_pListener = nullptr;
    event* m_pCheck = nullptr;
    bool m_Paused = false;
    OnPause m_OnPause;
};
