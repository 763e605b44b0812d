#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "Connection.h"
#include "base/AcceptPause.h"
#include "base/Budget.h"
#include "base/Config.h"
#include "base/MemoryTrim.h"
#include "base/Metrics.h"

struct bufferevent;
struct event_base;
struct evhttp;
struct evhttp_bound_socket;
struct evhttp_connection;
struct evhttp_request;
typedef struct ssl_ctx_st SSL_CTX;

class RequestPolicy;
class Stop;

// The service's side of the connections callers open: the listening socket, a
// record of every connection accepted with the clock that bounds what it does, the
// cap on connections and the budget of request bodies held at once, and the pause
// of accepting while no descriptor is free.
class Listener final : private Connection::Owner
{
public:
    struct Context
    {
        event_base* pBase;
        Budget& bodies; // of everything the service holds at once
        Metrics& metrics;
        const RequestPolicy& policy;
        Stop& stop;
    };

    Listener(const ListenerSettings& settings, const Context& context);
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Sets the limits on `pHttp`, wraps accepted connections in TLS when `pTls` is
    // given, and listens; false, traced, when the address cannot be bound.
    bool Listen(evhttp* pHttp, SSL_CTX* pTls);
    // After a failed Listen: the failure may pass by itself (the port still in use,
    // the address not yet assigned, its name not yet resolvable).
    bool MayBindLater() const { return m_MayBindLater; }
    void StopAccepting();
    // The requests still arriving are refused with 503, their connections closed.
    void RefuseUploads();
    // Frees every handle; connections still open are the HTTP server's to close.
    void Release();

    // A request has arrived whole, and the service is handling it. True when it
    // began to arrive before the service started stopping.
    bool OnRequest(evhttp_request* pRequest);
    // A reply is handed to libevent; its connection counts as writing until it is out.
    void OnReplySent(evhttp_request* pRequest);
    // Replies, and refusals, still being written.
    size_t RepliesInWriting() const { return m_Writing; }
    // Requests that began to arrive before the service started stopping, and still do.
    size_t UploadsInProgress() const;
    void ReadGauges(Metrics::Gauges& gauges) const;

    // Where the libevent callback arrives.
    bufferevent* OnNewConnection(event_base* pEventBase);

private:
    void TraceBindFailure(const std::string& address, int error);
    void Adopted(Connection& connection, evhttp_connection* pHttpConnection) override;
    void Idle(Connection& connection, bool idle) override;
    void CountWriting(int change) override { m_Writing += change; }
    void Ended(Connection& connection, evhttp_connection* pHttpConnection, size_t requestBytes) override;
    Connection* Find(evhttp_request* pRequest) const;
    Connection* SlowestHead();

    ListenerSettings m_Settings;
    bool m_MayBindLater = false;
    Context m_Context;
    MemoryTrim m_Trim;
    AcceptPause m_AcceptPause;
    SSL_CTX* m_pTls;
    evhttp* m_pHttp;
    evhttp_bound_socket* m_pBoundSocket; // null once accepting has stopped for good
    size_t m_Writing;
    bool m_AtCap;
    uint64_t m_Shed; // connections closed or refused at the cap
    // Every record, the idle ones apart, longest idle first, so that they are
    // the first to go when connections reach their cap.
    std::list<Connection> m_Busy;
    std::list<Connection> m_Idle;
    std::unordered_map<evhttp_connection*, Connection*> m_ByHttpConnection;
};
