#pragma once
// The whole-request clock of every inbound connection. libevent's read time-out
// starts again with every byte, so a client sending one now and then would hold its
// connection for ever: a request must arrive whole within the time-out of its first
// byte, plus a second for every 64 KiB it brings so that a large body on a slower
// link still fits. The next request's clock starts when the emulator has answered,
// not at an interim "100 Continue" that libevent sends by itself.
//
// Each connection's record is made with its bufferevent and freed when libevent
// frees the connection, so none outlives it.
#include <chrono>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include <sys/time.h>

struct bufferevent;
struct event;
struct event_base;
struct evbuffer_cb_entry;
struct evhttp;
struct evhttp_request;

class RequestClocks
{
public:
    struct Clock
    {
        RequestClocks* owner = nullptr;
        bufferevent* stream = nullptr;
        evbuffer_cb_entry* reading = nullptr;
        std::chrono::steady_clock::time_point deadline;
        bool running = false;
    };

    RequestClocks() = default;
    RequestClocks(const RequestClocks&) = delete;
    RequestClocks& operator=(const RequestClocks&) = delete;
    ~RequestClocks();

    // Has `http` make its inbound connections here, with the time-out of `seconds`.
    bool Start(event_base* base, evhttp* http, int seconds);
    // After evhttp_free, which has closed every connection.
    void Release();

    bufferevent* Open(event_base* base);
    void AdoptNew();
    void Read(Clock& clock, size_t bytes);
    // The emulator answers `request`: its connection's next request gets a clock of its own.
    void Replied(evhttp_request* request);
    void Close(Clock& clock);

private:
    timeval m_Timeout{};
    event* m_pAdopt = nullptr;
    std::unordered_map<bufferevent*, std::unique_ptr<Clock>> m_Clocks;
    std::vector<Clock*> m_Unadopted;
};
