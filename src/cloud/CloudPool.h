#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>

struct event;
struct event_base;
struct evhttp_connection;

// Connections to the cloud kept open between calls, by endpoint ("scheme host port"),
// so that a call does not pay a connection and a TLS handshake each time. A
// connection comes back only after a whole reply that leaves it open; it waits idle
// for the next call to that endpoint, up to `idleTimeout` and at most `maxIdle` per
// endpoint. One the endpoint closes while idle is dropped. With `maxIdle` 0 every
// connection is closed after its call.
class CloudPool
{
public:
    CloudPool(event_base* pBase, size_t maxIdle, std::chrono::seconds idleTimeout);
    ~CloudPool();

    CloudPool(const CloudPool&) = delete;
    CloudPool& operator=(const CloudPool&) = delete;

    // The most recently used idle connection to `endpoint`, no longer the pool's; null when none.
    evhttp_connection* Take(const std::string& endpoint);
    // A connection whose call has ended with the connection open and idle: kept, or
    // closed when the endpoint has `maxIdle` already or the pool is closed.
    void GiveBack(const std::string& endpoint, evhttp_connection* pConnection);
    // Closes every idle connection; from then on none is kept (the service is stopping).
    void Close();
    // Frees every connection it holds, without a word; idempotent.
    void Release();

    // TLS sends a request as several records; without this, Nagle's algorithm holds
    // each back until the endpoint's delayed acknowledgement of the one before.
    static void SendWithoutDelay(evhttp_connection* pConnection);

    // Where the libevent callbacks of an idle connection arrive.
    struct Entry;
    void OnIdleEnded(Entry& entry, const char* why);

private:
    // Frees an idle connection, outside the callbacks of libevent that report on it.
    void Drop(std::list<Entry>::iterator entry, const char* why);
    void OnReaper();
    static void ReaperCb(int, short, void* pPool);

    event_base* m_pBase;
    const size_t m_MaxIdle;
    const std::chrono::seconds m_IdleTimeout;
    bool m_Closed;
    std::list<Entry> m_Idle;                // newest first
    std::list<evhttp_connection*> m_Doomed; // closed by the peer or expired, freed from the loop
    event* m_pReaper;
};
