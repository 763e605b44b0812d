#pragma once
// The whole-request clock (RequestClock) of every inbound connection, which bounds
// each request from its first byte through the stream's read time-out. The next
// request's clock starts when the emulator has answered, not at an interim
// "100 Continue" that libevent sends by itself.
//
// Each connection's record is made with its bufferevent and freed when libevent
// frees the connection, so none outlives it.
#include "RequestClock.h"

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
        RequestClock request;
        bool running = false; // a request has begun and not been answered yet
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
