#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include <event2/http.h>
#include <rapidjson/fwd.h>

#include "Metrics.h"

struct bufferevent;
struct evbuffer;
struct event;
struct event_base;
struct evhttp;
struct evhttp_bound_socket;
struct evhttp_connection;
struct evhttp_request;
typedef struct ssl_ctx_st SSL_CTX;

class S2tServer;
struct RequestHead;

// The service's side of the connections callers open: the listening socket, a
// record of every connection accepted with the clock that bounds what it does, the
// cap on connections and the budget of request bodies held at once, and the pause
// of accepting while no descriptor is free.
class Inbound
{
public:
    class Connection;

    explicit Inbound(S2tServer& server);
    ~Inbound();

    Inbound(const Inbound&) = delete;
    Inbound& operator=(const Inbound&) = delete;

    bool LoadConfig(const rapidjson::Value& config);
    // Sets the limits on `pHttp`, wraps accepted connections in TLS when `pTls` is
    // given, and listens; false, traced, when the address cannot be bound.
    bool Listen(evhttp* pHttp, const std::string& address, uint16_t port, SSL_CTX* pTls);
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
    void ReadGauges(Metrics::Gauges& gauges) const;
    // Requests that began to arrive before the service started stopping, and still do.
    size_t UploadsInProgress() const;
    uint64_t GetTimeoutSeconds() const { return m_TimeoutSeconds; }

    // Where the libevent callbacks arrive.
    bufferevent* OnNewConnection(event_base* pEventBase);
    void OnAcceptError(int error);
    void OnAcceptCheck();
    void OnTrim();
    // Why a request's framing could be read otherwise by a proxy in front, or null:
    // two lengths, a length that is not plain decimal, a length and a chunked
    // encoding, or a body on a method that carries none.
    static const char* FramingFault(evhttp_request* pRequest);
    // libevent's own page for a path it does not serve, with its headers set on the reply.
    static evbuffer* NotFoundPage(evhttp_request* pRequest);
    // Wraps an accepted connection in TLS. A connection whose TLS object cannot be
    // made is dropped rather than served in plain text.
    static bufferevent* NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext);

private:
    friend class Connection;
    // What the records ask of the listener's side.
    void Adopted(Connection* pConnection, evhttp_connection* pHttpConnection);
    void Closed(Connection* pConnection, evhttp_connection* pHttpConnection, size_t requestBytes);
    void Idle(Connection* pConnection, bool idle);
    void CountWriting(int change);
    bool Reserve(size_t bytes);
    void Unreserve(size_t bytes);
    // 0 to go on, or the status to refuse the request with, before its body.
    int Screen(const RequestHead& head, const char*& reason) const;
    void NoteReleased(size_t bytes);
    Connection* Find(evhttp_request* pRequest) const;

    S2tServer& m_Server;
    uint64_t m_MaxBodySize;
    uint64_t m_MaxHeaderSize;
    uint64_t m_TimeoutSeconds;
    uint64_t m_MaxBufferedBytes;
    uint64_t m_MaxConnections; // 0: half the descriptors the process may open
    uint64_t m_MaxConnectionRequests;
    uint64_t m_MaxConnectionAgeSeconds;
    evhttp* m_pHttp;
    SSL_CTX* m_pTls;
    evhttp_bound_socket* m_pBoundSocket; // null once accepting has stopped for good
    event* m_pAcceptCheck;               // pending only while accepting is paused
    event* m_pTrimTimer;                 // gives memory back once requests stop ending
    size_t m_ReleasedBytes;              // of requests and connections ended since the last trim
    size_t m_Writing;
    size_t m_Buffered; // bytes of request bodies reserved
    bool m_AtCap;
    bool m_AcceptingPaused;
    uint64_t m_Shed; // connections closed or refused at the cap
    // Every record, the idle ones apart, longest idle first, so that they are
    // the first to go when connections reach their cap.
    std::list<Connection> m_Busy;
    std::list<Connection> m_Idle;
    std::unordered_map<evhttp_connection*, Connection*> m_ByHttpConnection;
};
