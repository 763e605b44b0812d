#include "Listener.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <event2/bufferevent.h>
#include <event2/http.h>
#include <event2/listener.h>

#include "ListenerTls.h"
#include "Stop.h"
#include "base/Trace.h"

namespace
{

const size_t kConnectionBytes = 4 << 10; // what a connection's own buffers cost

bufferevent* BevCallback(event_base* pEventBase, void* pArg)
{
    if (pArg != nullptr)
        return static_cast<Listener*>(pArg)->OnNewConnection(pEventBase);
    Trace::Print("NULL context in connection callback\n");
    return nullptr;
}

// Every connection holds a descriptor, and its request in flight one more for the
// cloud call: the other half is left for those. A cap above that is lowered to it:
// connections past it would leave no descriptor to call the cloud or answer a probe.
uint64_t ConnectionCap(uint64_t configured)
{
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return configured;
    const uint64_t allowed = std::max<uint64_t>((files.rlim_cur - std::min<uint64_t>(files.rlim_cur, 64)) / 2, 1);
    if (configured > allowed)
        Trace::Print("max-connections [%llu] is more than [%llu] descriptors allow: [%llu] it is\n",
                     static_cast<unsigned long long>(configured), static_cast<unsigned long long>(files.rlim_cur),
                     static_cast<unsigned long long>(allowed));
    return configured == 0 || configured > allowed ? allowed : configured;
}

} // namespace

Listener::Listener(const ListenerSettings& settings, const Context& context)
    : m_Settings(settings)
    , m_Context(context)
    , m_pTls(nullptr)
    , m_pHttp(nullptr)
    , m_pBoundSocket(nullptr)
    , m_Writing(0)
    , m_AtCap(false)
    , m_Shed(0)
{
}

Listener::~Listener()
{
    Release();
}

bool Listener::Listen(evhttp* pHttp, SSL_CTX* pTls)
{
    m_pHttp = pHttp;
    m_pTls = pTls;
    m_Settings.maxConnections = ConnectionCap(m_Settings.maxConnections);
    m_Trim.Watch(m_Context.pBase);
    evhttp_set_bevcb(pHttp, BevCallback, this);
    evhttp_set_max_body_size(pHttp, static_cast<ev_ssize_t>(m_Settings.maxBodySize));
    evhttp_set_max_headers_size(pHttp, static_cast<ev_ssize_t>(m_Settings.maxHeaderSize));
    // The 413 for an oversized request is read to its end, not reset under the client.
    evhttp_set_flags(pHttp, EVHTTP_SERVER_LINGERING_CLOSE);

    const std::string address = m_Settings.address.empty() ? "0.0.0.0" : m_Settings.address;
    m_pBoundSocket = evhttp_bind_socket_with_handle(pHttp, address.c_str(), m_Settings.port);
    const auto onPause = [](int error) {
        Trace::Print("Accepting paused: %s (%d)\n", evutil_socket_error_to_string(error), error);
    };
    const int error = errno;
    if (m_pBoundSocket == nullptr ||
        !m_AcceptPause.Watch(m_Context.pBase, evhttp_bound_socket_get_listener(m_pBoundSocket), onPause))
    {
        Trace::Print("Couldn't bind to %s:%d\n", address.c_str(), m_Settings.port);
        TraceBindFailure(address, m_pBoundSocket == nullptr ? error : 0);
        return false;
    }
    return true;
}

void Listener::TraceBindFailure(const std::string& address, int error)
{
    evutil_addrinfo hints{};
    hints.ai_flags = EVUTIL_AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    evutil_addrinfo* pFound = nullptr;
    const int lookup = evutil_getaddrinfo(address.c_str(), nullptr, &hints, &pFound);
    if (pFound != nullptr)
        evutil_freeaddrinfo(pFound);
    m_MayBindLater = lookup == EVUTIL_EAI_NONAME || lookup == EVUTIL_EAI_AGAIN || lookup == EVUTIL_EAI_FAIL ||
                     (lookup == 0 && (error == EADDRINUSE || error == EADDRNOTAVAIL));
    const char* why = lookup != 0 ? evutil_gai_strerror(lookup) : error != 0 ? strerror(error) : "cannot listen";
    Trace::Print("Error  : %s%s\n", why, m_MayBindLater ? ": it may pass, try again" : "");
}

void Listener::StopAccepting()
{
    m_AcceptPause.Release();
    if (m_pBoundSocket != nullptr)
        evhttp_del_accept_socket(m_pHttp, m_pBoundSocket);
    m_pBoundSocket = nullptr;
}

void Listener::Release()
{
    m_AcceptPause.Release();
    m_Trim.Release();
    m_pBoundSocket = nullptr;
    // What libevent has closed is gone already; what it has yet to take up is
    // released here, before the event base goes.
    m_ByHttpConnection.clear();
    m_Busy.clear();
    m_Idle.clear();
    m_Writing = 0;
}

bufferevent* Listener::OnNewConnection(event_base* pEventBase)
{
    bufferevent* pBev = m_pTls != nullptr ? NewAcceptedBufferevent(pEventBase, m_pTls)
                                          : bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    // At the cap, the connection idle the longest makes room; with none idle, the
    // new one is closed as soon as libevent has made it.
    const bool atCap = m_Busy.size() + m_Idle.size() >= m_Settings.maxConnections;
    if (atCap != m_AtCap)
        Trace::Print(atCap ? "Connections at their cap [%zu]: idle ones closed first, then new ones refused\n"
                           : "Connections below their cap [%zu] again\n",
                     static_cast<size_t>(m_Settings.maxConnections));
    m_AtCap = atCap;
    // Idle the longest first, then a head that is slow to come (slowloris).
    Connection* pShed = !atCap ? nullptr : !m_Idle.empty() ? &m_Idle.front() : SlowestHead();
    const bool refuse = atCap && pShed == nullptr;
    m_Shed += atCap;
    if (pShed != nullptr)
        pShed->Close(Connection::End::Shed);
    const Connection::Context shared{m_Settings,        m_Context.policy, m_Context.bodies,
                                     m_Context.metrics, m_Trim,           m_Context.stop};
    m_Busy.emplace_back(static_cast<Connection::Owner&>(*this), shared, pBev);
    Connection& connection = m_Busy.back();
    connection.m_Self = std::prev(m_Busy.end());
    if (m_pTls != nullptr)
        WatchKeyUpdates(pBev, &connection);
    if (connection.Start(pEventBase, refuse))
        return pBev;
    // Without its record the connection would go unbounded: it is not served.
    Trace::Print("Failed to watch an accepted connection\n");
    m_Busy.pop_back();
    bufferevent_free(pBev);
    return NewDroppingBufferevent(pEventBase);
}

void Listener::Adopted(Connection& connection, evhttp_connection* pHttpConnection)
{
    m_ByHttpConnection[pHttpConnection] = &connection;
}

void Listener::Ended(Connection& connection, evhttp_connection* pHttpConnection, size_t requestBytes)
{
    if (pHttpConnection != nullptr)
        m_ByHttpConnection.erase(pHttpConnection);
    m_Busy.erase(connection.m_Self);
    m_Trim.Note(requestBytes + kConnectionBytes);
    m_Context.stop.Wake();
}

// Idle records wait at the back of their list, so the front has been idle longest.
void Listener::Idle(Connection& connection, bool idle)
{
    if (idle)
        m_Idle.splice(m_Idle.end(), m_Busy, connection.m_Self);
    else
        m_Busy.splice(m_Busy.end(), m_Idle, connection.m_Self);
}

size_t Listener::UploadsInProgress() const
{
    return std::count_if(m_Busy.begin(), m_Busy.end(), [](const Connection& connection) {
        return connection.GetState() == Connection::State::Reading && connection.BegunBeforeStop();
    });
}

void Listener::RefuseUploads()
{
    for (Connection& connection : m_Busy)
        if (connection.GetState() == Connection::State::Reading)
            connection.Refuse({503, "Service Unavailable", true, "", Metrics::Reason::Draining});
}

// The busy connection still in its head the longest, past half of header-timeout.
Connection* Listener::SlowestHead()
{
    for (Connection& connection : m_Busy)
        if (connection.SlowInItsHead())
            return &connection;
    return nullptr;
}

Connection* Listener::Find(evhttp_request* pRequest) const
{
    auto found = m_ByHttpConnection.find(evhttp_request_get_connection(pRequest));
    return found != m_ByHttpConnection.end() ? found->second : nullptr;
}

bool Listener::OnRequest(evhttp_request* pRequest)
{
    Connection* pConnection = Find(pRequest);
    if (pConnection == nullptr)
        return false;
    pConnection->OnRequest();
    return pConnection->BegunBeforeStop();
}

void Listener::OnReplySent(evhttp_request* pRequest)
{
    if (Connection* pConnection = Find(pRequest))
        pConnection->OnReplySent(pRequest);
}

void Listener::ReadGauges(Metrics::Gauges& gauges) const
{
    gauges.connectionsOpen = m_Busy.size() + m_Idle.size();
    gauges.bufferedBodyBytes = m_Context.bodies.Used();
    gauges.acceptingPaused = m_AcceptPause.Paused();
    gauges.connectionsShed = m_Shed;
}
