#include "Inbound.h"

#include <malloc.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <openssl/ssl.h>

#include "Connection.h"
#include "S2tServer.h"
#include "Trace.h"

namespace
{

using Clock = std::chrono::steady_clock;

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

void TrimCb(evutil_socket_t, short, void* pArg)
{
    if (Inbound* pInbound = InboundOf(pArg, "NULL context in timer callback"))
        pInbound->OnTrim();
}

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

Inbound::Inbound(S2tServer& server)
    : m_Server(server)
    , m_MaxBodySize(16 << 20)
    , m_MaxHeaderSize(64 << 10)
    , m_TimeoutSeconds(30)
    , m_MaxBufferedBytes(256 << 20)
    , m_MaxConnections(0)
    , m_MaxConnectionRequests(10000)
    , m_MaxConnectionAgeSeconds(3600)
    , m_pHttp(nullptr)
    , m_pTls(nullptr)
    , m_pBoundSocket(nullptr)
    , m_pAcceptCheck(nullptr)
    , m_pTrimTimer(nullptr)
    , m_ReleasedBytes(0)
    , m_Writing(0)
    , m_Buffered(0)
    , m_AtCap(false)
    , m_AcceptingPaused(false)
    , m_Shed(0)
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
    CopyUintMember(config, "max-buffered-bytes", m_MaxBufferedBytes, 1, UINT64_MAX);
    CopyUintMember(config, "max-connections", m_MaxConnections, 1, UINT32_MAX);
    CopyUintMember(config, "max-connection-requests", m_MaxConnectionRequests, 1, UINT64_MAX);
    CopyUintMember(config, "max-connection-age", m_MaxConnectionAgeSeconds, 1, kMaxTimeoutSeconds);
    return true;
}

bool Inbound::Listen(evhttp* pHttp, const std::string& address, uint16_t port, SSL_CTX* pTls)
{
    m_pHttp = pHttp;
    m_pTls = pTls;
    // Every connection holds a descriptor, and its request in flight one more for
    // the cloud call: the other half is left for those.
    rlimit files;
    if (m_MaxConnections == 0 && getrlimit(RLIMIT_NOFILE, &files) == 0)
        m_MaxConnections = std::max<uint64_t>((files.rlim_cur - std::min<uint64_t>(files.rlim_cur, 64)) / 2, 1);
    event_base* pBase = m_Server.GetEventBase();
    m_pAcceptCheck = event_new(pBase, -1, EV_PERSIST, AcceptCheckCb, this);
    // Without it, memory is only kept, not lost: no start-up failure.
    m_pTrimTimer = evtimer_new(pBase, TrimCb, this);
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
    m_Busy.clear();
    m_Idle.clear();
    m_Writing = 0;
    m_Buffered = 0;
}

bufferevent* Inbound::OnNewConnection(event_base* pEventBase)
{
    bufferevent* pBev = m_pTls != nullptr ? NewAcceptedBufferevent(pEventBase, m_pTls)
                                          : bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    // At the cap, the connection idle the longest makes room; with none idle, the
    // new one is closed as soon as libevent has made it.
    const bool atCap = m_Busy.size() + m_Idle.size() >= m_MaxConnections;
    if (atCap != m_AtCap)
        Trace::Print(atCap ? "Connections at their cap [%zu]: idle ones closed first, then new ones refused\n"
                           : "Connections below their cap [%zu] again\n",
                     static_cast<size_t>(m_MaxConnections));
    m_AtCap = atCap;
    const bool refuse = atCap && m_Idle.empty();
    m_Shed += atCap;
    if (atCap && !refuse)
        m_Idle.front().Close();
    m_Busy.emplace_back(*this, pBev);
    Connection& connection = m_Busy.back();
    connection.m_Self = std::prev(m_Busy.end());
    if (connection.Start(pEventBase, refuse))
        return pBev;
    // Without its record the connection would go unbounded: it is not served.
    Trace::Print("Failed to watch an accepted connection\n");
    m_Busy.pop_back();
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
    m_Busy.erase(pConnection->m_Self);
    NoteReleased(requestBytes + kConnectionBytes);
    m_Server.GetStop().OnProgress();
}

// Idle records wait at the back of their list, so the front has been idle longest.
void Inbound::Idle(Connection* pConnection, bool idle)
{
    if (idle)
        m_Idle.splice(m_Idle.end(), m_Busy, pConnection->m_Self);
    else
        m_Busy.splice(m_Busy.end(), m_Idle, pConnection->m_Self);
}

void Inbound::CountWriting(int change)
{
    m_Writing += change;
}

bool Inbound::Reserve(size_t bytes)
{
    if (bytes > m_MaxBufferedBytes - m_Buffered)
        return false;
    m_Buffered += bytes;
    return true;
}

void Inbound::Unreserve(size_t bytes)
{
    m_Buffered -= std::min(m_Buffered, bytes);
}

int Inbound::Screen(const RequestHead& head, const char*& reason) const
{
    return m_Server.Screen(head, reason);
}

size_t Inbound::UploadsInProgress() const
{
    return std::count_if(m_Busy.begin(), m_Busy.end(), [](const Connection& connection) {
        return connection.GetState() == Connection::State::Reading && connection.BegunBeforeStop();
    });
}

void Inbound::RefuseUploads()
{
    for (Connection& connection : m_Busy)
        if (connection.GetState() == Connection::State::Reading)
            connection.Refuse(503, "Service Unavailable");
}

void Inbound::NoteReleased(size_t bytes)
{
    m_ReleasedBytes += bytes;
    if (m_ReleasedBytes < kTrimAfterBytes || m_pTrimTimer == nullptr)
        return;
    event_add(m_pTrimTimer, &kTrimDelay);
}

void Inbound::OnTrim()
{
    m_ReleasedBytes = 0;
    malloc_trim(0);
}

Inbound::Connection* Inbound::Find(evhttp_request* pRequest) const
{
    auto found = m_ByHttpConnection.find(evhttp_request_get_connection(pRequest));
    return found != m_ByHttpConnection.end() ? found->second : nullptr;
}

bool Inbound::OnRequest(evhttp_request* pRequest)
{
    Connection* pConnection = Find(pRequest);
    if (pConnection == nullptr)
        return false;
    pConnection->OnRequest();
    return pConnection->BegunBeforeStop();
}

void Inbound::OnReplySent(evhttp_request* pRequest)
{
    if (Connection* pConnection = Find(pRequest))
        pConnection->OnReplySent(pRequest);
}

void Inbound::ReadGauges(Metrics::Gauges& gauges) const
{
    gauges.connectionsOpen = m_Busy.size() + m_Idle.size();
    gauges.bufferedBodyBytes = m_Buffered;
    gauges.acceptingPaused = m_AcceptingPaused;
    gauges.connectionsShed = m_Shed;
}

void Inbound::OnAcceptError(int error)
{
    m_AcceptingPaused = true;
    Trace::Print("Accepting paused: %s (%d)\n", evutil_socket_error_to_string(error), error);
    event_add(m_pAcceptCheck, &kAcceptCheckInterval);
}

void Inbound::OnAcceptCheck()
{
    if (m_pBoundSocket == nullptr || !DescriptorFree())
        return;
    evconnlistener_enable(evhttp_bound_socket_get_listener(m_pBoundSocket));
    event_del(m_pAcceptCheck);
    m_AcceptingPaused = false;
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

const char* Inbound::FramingFault(evhttp_request* pRequest)
{
    int lengths = 0;
    bool chunked = false;
    bool bodied = false;
    const evkeyvalq* pHeaders = evhttp_request_get_input_headers(pRequest);
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
    {
        const std::string value = header->value;
        if (strcasecmp(header->key, "Transfer-Encoding") == 0)
            chunked = bodied = true;
        if (strcasecmp(header->key, "Content-Length") != 0)
            continue;
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
            (value.size() > 1 && value[0] == '0'))
            return "a Content-Length that is not a plain decimal number";
        ++lengths;
        bodied = bodied || value != "0";
    }
    if (lengths > 1)
        return "more than one Content-Length";
    if (lengths > 0 && chunked)
        return "both Content-Length and Transfer-Encoding";
    // libevent reads no body for these, and would take one for the next request.
    const evhttp_cmd_type method = evhttp_request_get_command(pRequest);
    if (bodied && method != EVHTTP_REQ_POST && method != EVHTTP_REQ_PUT && method != EVHTTP_REQ_PATCH)
        return "a body on a method that carries none";
    return nullptr;
}

evbuffer* Inbound::NotFoundPage(evhttp_request* pRequest)
{
    char* uri = evhttp_htmlescape(evhttp_request_get_uri(pRequest));
    evbuffer* pBody = evbuffer_new();
    evbuffer_add_printf(pBody,
                        "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
                        "<p>The requested URL %s was not found on this server.</p></body></html>\n",
                        uri != nullptr ? uri : "");
    free(uri);
    evkeyvalq* pHeaders = evhttp_request_get_output_headers(pRequest);
    evhttp_add_header(pHeaders, "Content-Type", "text/html");
    evhttp_add_header(pHeaders, "Connection", "close");
    return pBody;
}
