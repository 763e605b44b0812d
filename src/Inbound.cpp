#include "Inbound.h"

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/listener.h>
#include <openssl/ssl.h>

#include "S2tServer.h"
#include "Trace.h"

namespace
{

using Clock = std::chrono::steady_clock;

// A request must arrive whole within the time-out of its first byte, plus a second
// for every kMinRequestRate bytes it brings, so that a large body on a slower link
// still fits; libevent's own read time-out would start again with every byte.
const size_t kMinRequestRate = 64 << 10; // bytes per second
// Capped so that the deadline's arithmetic cannot overflow.
const uint64_t kMaxTimeoutSeconds = 365 * 24 * 3600;
const timeval kAcceptCheckInterval = {0, 250000};
// Once a second has passed without a megabyte's worth of requests and connections
// ending, their memory goes back to the system: glibc would otherwise keep the
// peak for good, and returning it after each one would fault it in again.
const size_t kTrimAfterBytes = 1 << 20;
const size_t kConnectionBytes = 4 << 10; // what a connection's own buffers cost
const timeval kTrimDelay = {1, 0};

Inbound* InboundOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<Inbound*>(pArg);
}

bufferevent* BevCallback(event_base* pEventBase, void* pArg)
{
    Inbound* pInbound = InboundOf(pArg, "NULL context in connection callback");
    return pInbound != nullptr ? pInbound->OnNewConnection(pEventBase) : nullptr;
}

// The listener's callbacks get evhttp's own context, so its owner is found here.
std::unordered_map<const evconnlistener*, Inbound*>& ListenerOwners()
{
    static std::unordered_map<const evconnlistener*, Inbound*> owners;
    return owners;
}

// accept() failed, most likely for want of a descriptor. Left enabled, the listener
// would retry on every pass of the loop, spinning and tracing each time.
void AcceptErrorCb(evconnlistener* pListener, void*)
{
    const int error = EVUTIL_SOCKET_ERROR();
    evconnlistener_disable(pListener);
    auto owner = ListenerOwners().find(pListener);
    if (owner != ListenerOwners().end())
        owner->second->OnAcceptError(error);
}

void AcceptCheckCb(evutil_socket_t, short, void* pArg)
{
    if (Inbound* pInbound = InboundOf(pArg, "NULL context in timer callback"))
        pInbound->OnAcceptCheck();
}

void TrimCb(evutil_socket_t, short, void*)
{
    malloc_trim(0);
}

void ConnectionClockCb(evutil_socket_t, short, void* pArg);
void BytesReadCb(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg);
void ReplyWrittenCb(evhttp_request*, void* pArg);
void ConnectionClosedCb(evhttp_connection*, void* pArg);

// Whether a descriptor could be had now: the probe is closed again at once.
bool DescriptorFree()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

// First bytes on a connection that could not get TLS: close the socket so the HTTP
// layer sees the end of the stream and frees the connection.
void DropOnInput(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (pInfo->n_added == 0)
        return;
    evutil_socket_t fd = bufferevent_getfd(static_cast<bufferevent*>(pArg));
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

// A bufferevent that never lets the HTTP layer read a request: its input is frozen
// at the front, and the first bytes received close the connection. Handing the HTTP
// layer no bufferevent at all would make it serve the connection in plain text.
bufferevent* NewDroppingBufferevent(event_base* pEventBase)
{
    bufferevent* pBev = bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    evbuffer* pInput = bufferevent_get_input(pBev);
    evbuffer_freeze(pInput, 1);
    evbuffer_add_cb(pInput, DropOnInput, pBev);
    return pBev;
}

} // namespace

// One accepted connection, from the accept to libevent's free of it. libevent owns
// the connection; the record bounds each stage of it with one clock: the TLS
// handshake and the wait for a first request, each request (whole, from its first
// byte), the writing of each reply, and the idle wait after it. While the service
// handles a request, nothing bounds the connection.
class Inbound::Connection
{
public:
    enum class State
    {
        Accepted, // libevent has yet to make its connection around the stream
        Idle,     // waiting for a request
        Reading,  // a request is arriving
        Handling, // the service has the request
        Writing,  // its reply is being written
        Closed,
    };

    Connection(Inbound& inbound, bufferevent* pBev)
        : m_Inbound(inbound)
        , m_State(State::Accepted)
        , m_pBev(pBev)
        , m_pHttpConnection(nullptr)
        , m_pClock(nullptr)
        , m_pReadWatch(nullptr)
        , m_RequestBytes(0)
    {
    }
    ~Connection() { Release(); }

    // libevent makes its connection once this callback has returned, so the record
    // takes it up from the loop, holding the stream until then.
    bool Start(event_base* pEventBase)
    {
        m_pClock = event_new(pEventBase, -1, 0, ConnectionClockCb, this);
        m_pReadWatch = evbuffer_add_cb(bufferevent_get_input(m_pBev), BytesReadCb, this);
        if (m_pClock == nullptr || m_pReadWatch == nullptr)
            return false;
        bufferevent_incref(m_pBev);
        event_active(m_pClock, EV_TIMEOUT, 1);
        return true;
    }

    void OnClock()
    {
        if (m_State == State::Accepted)
            Adopt();
        else if (m_State != State::Handling)
            evhttp_connection_free(m_pHttpConnection); // the close callback ends the record
    }

    void OnBytesRead(size_t bytes)
    {
        m_RequestBytes += bytes;
        if (m_State == State::Idle)
        {
            SetState(State::Reading);
            m_Deadline = Clock::now() + std::chrono::seconds(m_Inbound.m_TimeoutSeconds);
        }
        if (m_State != State::Reading)
            return;
        m_Deadline += std::chrono::microseconds(bytes * 1000000 / kMinRequestRate);
        Arm(m_Deadline);
    }

    void OnRequest()
    {
        SetState(State::Handling);
        event_del(m_pClock);
    }

    void OnReplySent(evhttp_request* pRequest)
    {
        SetState(State::Writing);
        Arm(Clock::now() + std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
        evhttp_request_set_on_complete_cb(pRequest, ReplyWrittenCb, this);
    }

    void OnReplyWritten()
    {
        SetState(State::Idle);
        Arm(Clock::now() + std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
        m_Inbound.NoteReleased(m_RequestBytes);
        m_RequestBytes = 0;
        m_Inbound.m_Server.GetStop().OnProgress();
    }

    // libevent frees the connection: the record goes with it.
    void OnClosed()
    {
        evhttp_connection* pHttpConnection = m_pHttpConnection;
        const size_t bytes = m_RequestBytes;
        SetState(State::Closed);
        Release();
        m_Inbound.Closed(this, pHttpConnection, bytes);
    }

    // Frees the clock and the watch on the stream, and the hold on the stream
    // while libevent has yet to take it up.
    void Release()
    {
        if (m_pReadWatch != nullptr)
            evbuffer_remove_cb_entry(bufferevent_get_input(m_pBev), m_pReadWatch);
        m_pReadWatch = nullptr;
        if (m_pClock != nullptr)
            event_free(m_pClock);
        m_pClock = nullptr;
        if (m_pHttpConnection == nullptr && m_pBev != nullptr)
            bufferevent_decref(m_pBev);
        m_pBev = nullptr;
    }

    std::list<Connection>::iterator m_Self;

private:
    void SetState(State state)
    {
        if (m_State == State::Writing)
            m_Inbound.CountWriting(-1);
        if (state == State::Writing)
            m_Inbound.CountWriting(1);
        m_State = state;
    }

    void Adopt()
    {
        // evhttp hands its connection to the stream's callbacks as their argument:
        // the one way to reach a server connection before its first request. No
        // callbacks: libevent has already freed the connection.
        bufferevent_event_cb eventCb = nullptr;
        void* pArg = nullptr;
        bufferevent_getcb(m_pBev, nullptr, nullptr, &eventCb, &pArg);
        if (eventCb == nullptr)
        {
            OnClosed();
            return;
        }
        m_pHttpConnection = static_cast<evhttp_connection*>(pArg);
        evhttp_connection_set_closecb(m_pHttpConnection, ConnectionClosedCb, this);
        bufferevent_decref(m_pBev);
        SetState(State::Idle);
        m_Inbound.Adopted(this, m_pHttpConnection);
        Arm(Clock::now() + std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
    }

    // A time-out of 0 means none.
    void Arm(Clock::time_point deadline)
    {
        if (m_Inbound.m_TimeoutSeconds == 0)
            return;
        const int64_t left = std::max<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count(), 1);
        const timeval timeout = {static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        event_add(m_pClock, &timeout);
    }

    Inbound& m_Inbound;
    State m_State;
    bufferevent* m_pBev;
    evhttp_connection* m_pHttpConnection;
    event* m_pClock;
    evbuffer_cb_entry* m_pReadWatch;
    Clock::time_point m_Deadline;
    size_t m_RequestBytes; // read since the last reply was written
};

namespace
{

Inbound::Connection* ConnectionOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<Inbound::Connection*>(pArg);
}

void ConnectionClockCb(evutil_socket_t, short, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection clock"))
        pConnection->OnClock();
}

void BytesReadCb(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (pInfo->n_added == 0)
        return;
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in request clock callback"))
        pConnection->OnBytesRead(pInfo->n_added);
}

void ReplyWrittenCb(evhttp_request*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in reply callback"))
        pConnection->OnReplyWritten();
}

void ConnectionClosedCb(evhttp_connection*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnClosed();
}

} // namespace

Inbound::Inbound(S2tServer& server)
    : m_Server(server)
    , m_MaxBodySize(16 << 20)
    , m_MaxHeaderSize(64 << 10)
    , m_TimeoutSeconds(30)
    , m_pHttp(nullptr)
    , m_pTls(nullptr)
    , m_pBoundSocket(nullptr)
    , m_pAcceptCheck(nullptr)
    , m_pTrimTimer(nullptr)
    , m_ReleasedBytes(0)
    , m_Writing(0)
{
}

Inbound::~Inbound()
{
    Release();
}

bool Inbound::LoadConfig(const rapidjson::Value& config)
{
    CopyUintMember(config, "max-body-size", m_MaxBodySize);
    CopyUintMember(config, "max-header-size", m_MaxHeaderSize);
    CopyUintMember(config, "timeout", m_TimeoutSeconds);
    m_TimeoutSeconds = std::min(m_TimeoutSeconds, kMaxTimeoutSeconds);
    return true;
}

bool Inbound::Listen(evhttp* pHttp, const std::string& address, uint16_t port, SSL_CTX* pTls)
{
    m_pHttp = pHttp;
    m_pTls = pTls;
    event_base* pBase = m_Server.GetEventBase();
    m_pAcceptCheck = event_new(pBase, -1, EV_PERSIST, AcceptCheckCb, this);
    // Without it, memory is only kept, not lost: no start-up failure.
    m_pTrimTimer = evtimer_new(pBase, TrimCb, nullptr);
    evhttp_set_bevcb(pHttp, BevCallback, this);
    evhttp_set_max_body_size(pHttp, static_cast<ev_ssize_t>(m_MaxBodySize));
    evhttp_set_max_headers_size(pHttp, static_cast<ev_ssize_t>(m_MaxHeaderSize));
    // The 413 for an oversized request is read to its end, not reset under the client.
    evhttp_set_flags(pHttp, EVHTTP_SERVER_LINGERING_CLOSE);

    m_pBoundSocket = evhttp_bind_socket_with_handle(pHttp, address.c_str(), port);
    if (m_pBoundSocket == nullptr || m_pAcceptCheck == nullptr)
    {
        Trace::Print("Couldn't bind to %s:%d\n", address.c_str(), port);
        return false;
    }
    evconnlistener* pListener = evhttp_bound_socket_get_listener(m_pBoundSocket);
    evconnlistener_set_error_cb(pListener, AcceptErrorCb);
    ListenerOwners()[pListener] = this;
    return true;
}

void Inbound::StopAccepting()
{
    if (m_pBoundSocket != nullptr)
    {
        ListenerOwners().erase(evhttp_bound_socket_get_listener(m_pBoundSocket));
        evhttp_del_accept_socket(m_pHttp, m_pBoundSocket);
    }
    m_pBoundSocket = nullptr;
    if (m_pAcceptCheck != nullptr)
        event_del(m_pAcceptCheck);
}

void Inbound::Release()
{
    // By value: the HTTP server may already have freed the listener.
    for (auto owner = ListenerOwners().begin(); owner != ListenerOwners().end();)
        owner = owner->second == this ? ListenerOwners().erase(owner) : std::next(owner);
    m_pBoundSocket = nullptr;
    for (event** ppEvent : {&m_pAcceptCheck, &m_pTrimTimer})
    {
        if (*ppEvent != nullptr)
            event_free(*ppEvent);
        *ppEvent = nullptr;
    }
    // What libevent has closed is gone already; what it has yet to take up is
    // released here, before the event base goes.
    m_ByHttpConnection.clear();
    m_Connections.clear();
    m_Writing = 0;
}

bufferevent* Inbound::OnNewConnection(event_base* pEventBase)
{
    bufferevent* pBev = m_pTls != nullptr ? NewAcceptedBufferevent(pEventBase, m_pTls)
                                          : bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    m_Connections.emplace_back(*this, pBev);
    Connection& connection = m_Connections.back();
    connection.m_Self = std::prev(m_Connections.end());
    if (connection.Start(pEventBase))
        return pBev;
    // Without its record the connection would go unbounded: it is not served.
    Trace::Print("Failed to watch an accepted connection\n");
    m_Connections.pop_back();
    bufferevent_free(pBev);
    return NewDroppingBufferevent(pEventBase);
}

void Inbound::Adopted(Connection* pConnection, evhttp_connection* pHttpConnection)
{
    m_ByHttpConnection[pHttpConnection] = pConnection;
}

void Inbound::Closed(Connection* pConnection, evhttp_connection* pHttpConnection, size_t requestBytes)
{
    if (pHttpConnection != nullptr)
        m_ByHttpConnection.erase(pHttpConnection);
    m_Connections.erase(pConnection->m_Self);
    NoteReleased(requestBytes + kConnectionBytes);
    m_Server.GetStop().OnProgress();
}

void Inbound::CountWriting(int change)
{
    m_Writing += change;
}

void Inbound::NoteReleased(size_t bytes)
{
    m_ReleasedBytes += bytes;
    if (m_ReleasedBytes < kTrimAfterBytes || m_pTrimTimer == nullptr)
        return;
    m_ReleasedBytes = 0;
    event_add(m_pTrimTimer, &kTrimDelay);
}

Inbound::Connection* Inbound::Find(evhttp_request* pRequest) const
{
    auto found = m_ByHttpConnection.find(evhttp_request_get_connection(pRequest));
    return found != m_ByHttpConnection.end() ? found->second : nullptr;
}

void Inbound::OnRequest(evhttp_request* pRequest)
{
    if (Connection* pConnection = Find(pRequest))
        pConnection->OnRequest();
}

void Inbound::OnReplySent(evhttp_request* pRequest)
{
    if (Connection* pConnection = Find(pRequest))
        pConnection->OnReplySent(pRequest);
}

void Inbound::OnAcceptError(int error)
{
    Trace::Print("Accepting paused: %s (%d)\n", evutil_socket_error_to_string(error), error);
    event_add(m_pAcceptCheck, &kAcceptCheckInterval);
}

void Inbound::OnAcceptCheck()
{
    if (m_pBoundSocket == nullptr || !DescriptorFree())
        return;
    evconnlistener_enable(evhttp_bound_socket_get_listener(m_pBoundSocket));
    event_del(m_pAcceptCheck);
}

bufferevent* Inbound::NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext)
{
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        Trace::Print("Failed to create OpenSSL handle for an accepted connection: %s\n", OpenSslReason().c_str());
        return NewDroppingBufferevent(pEventBase);
    }
    // From here the bufferevent owns the SSL handle and frees it with the connection.
    bufferevent* pBev =
        bufferevent_openssl_socket_new(pEventBase, -1, pSsl, BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
    {
        SSL_free(pSsl);
        Trace::Print("Failed to create OpenSSL bufferevent for an accepted connection\n");
        return NewDroppingBufferevent(pEventBase);
    }
    return pBev;
}
