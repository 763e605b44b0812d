#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include <rapidjson/fwd.h>

struct bufferevent;
struct event;
struct event_base;
struct evbuffer_cb_entry;
struct evconnlistener;
struct evhttp;
struct evhttp_bound_socket;
struct evhttp_connection;
struct evhttp_request;
typedef struct ssl_ctx_st SSL_CTX;

class S2tServer;

// The service's side of the connections callers open: the listening socket, a
// record of every connection accepted with the clock that bounds what it does,
// and the pause of accepting while no descriptor is free.
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
    // Frees every handle; connections still open are the HTTP server's to close.
    void Release();

    // A request has arrived whole, and the service is handling it.
    void OnRequest(evhttp_request* pRequest);
    // A reply is handed to libevent; its connection counts as writing until it is out.
    void OnReplySent(evhttp_request* pRequest);
    size_t RepliesInWriting() const { return m_Writing; }
    uint64_t GetTimeoutSeconds() const { return m_TimeoutSeconds; }

    // Where the libevent callbacks arrive.
    bufferevent* OnNewConnection(event_base* pEventBase);
    void OnAcceptError(int error);
    void OnAcceptCheck();
    // Wraps an accepted connection in TLS. A connection whose TLS object cannot be
    // made is dropped rather than served in plain text.
    static bufferevent* NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext);

private:
    friend class Connection;
    void Adopted(Connection* pConnection, evhttp_connection* pHttpConnection);
    void Closed(Connection* pConnection, evhttp_connection* pHttpConnection, size_t requestBytes);
    void CountWriting(int change);
    void NoteReleased(size_t bytes);
    Connection* Find(evhttp_request* pRequest) const;

    S2tServer& m_Server;
    uint64_t m_MaxBodySize;
    uint64_t m_MaxHeaderSize;
    uint64_t m_TimeoutSeconds;
    evhttp* m_pHttp;
    SSL_CTX* m_pTls;
    evhttp_bound_socket* m_pBoundSocket; // null once accepting has stopped for good
    event* m_pAcceptCheck;               // pending only while accepting is paused
    event* m_pTrimTimer;                 // gives memory back once requests stop ending
    size_t m_ReleasedBytes;              // of requests and connections ended since the last trim
    size_t m_Writing;
    std::list<Connection> m_Connections;
    std::unordered_map<evhttp_connection*, Connection*> m_ByHttpConnection;
};
