#include "CloudPool.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include "base/Timing.h"
#include "base/Trace.h"

struct CloudPool::Entry
{
    CloudPool* pPool;
    std::string endpoint;
    evhttp_connection* pConnection;
    event* pTimer;
};

namespace
{

void IdleClosedCb(evhttp_connection*, void* pEntry)
{
    auto* pIdle = static_cast<CloudPool::Entry*>(pEntry);
    pIdle->pPool->OnIdleEnded(*pIdle, "by the endpoint");
}

void IdleTimerCb(evutil_socket_t, short, void* pEntry)
{
    auto* pIdle = static_cast<CloudPool::Entry*>(pEntry);
    pIdle->pPool->OnIdleEnded(*pIdle, "idle past cloud-idle-timeout");
}

} // namespace

void CloudPool::ReaperCb(evutil_socket_t, short, void* pPool)
{
    static_cast<CloudPool*>(pPool)->OnReaper();
}

CloudPool::CloudPool(event_base* pBase, size_t maxIdle, std::chrono::seconds idleTimeout)
    : m_pBase(pBase)
    , m_MaxIdle(maxIdle)
    , m_IdleTimeout(idleTimeout)
    , m_Closed(false)
    , m_pReaper(event_new(pBase, -1, 0, ReaperCb, this))
{
}

CloudPool::~CloudPool()
{
    Release();
}

void CloudPool::Release()
{
    m_Closed = true;
    while (!m_Idle.empty())
        Drop(m_Idle.begin(), nullptr);
    OnReaper();
    if (m_pReaper != nullptr)
        event_free(m_pReaper);
    m_pReaper = nullptr;
}

evhttp_connection* CloudPool::Take(const std::string& endpoint)
{
    auto entry = std::find_if(m_Idle.begin(), m_Idle.end(), [&](const Entry& e) { return e.endpoint == endpoint; });
    if (entry == m_Idle.end())
        return nullptr;
    evhttp_connection* pConnection = entry->pConnection;
    evhttp_connection_set_closecb(pConnection, nullptr, nullptr);
    event_free(entry->pTimer);
    m_Idle.erase(entry);
    return pConnection;
}

void CloudPool::GiveBack(const std::string& endpoint, evhttp_connection* pConnection)
{
    evhttp_connection_set_closecb(pConnection, nullptr, nullptr);
    const auto kept =
        std::count_if(m_Idle.begin(), m_Idle.end(), [&](const Entry& e) { return e.endpoint == endpoint; });
    if (m_Closed || static_cast<size_t>(kept) >= m_MaxIdle)
    {
        // The call's own callback may be on the stack: freed from the loop.
        m_Doomed.push_back(pConnection);
        if (m_pReaper != nullptr)
            event_active(m_pReaper, EV_TIMEOUT, 1);
        else
            OnReaper();
        return;
    }
    m_Idle.push_front(Entry{this, endpoint, pConnection, nullptr});
    Entry& entry = m_Idle.front();
    entry.pTimer = evtimer_new(m_pBase, IdleTimerCb, &entry);
    const timeval timeout = ToTimeval(m_IdleTimeout);
    if (entry.pTimer == nullptr || evtimer_add(entry.pTimer, &timeout) != 0)
    {
        Drop(m_Idle.begin(), nullptr);
        return;
    }
    evhttp_connection_set_closecb(pConnection, IdleClosedCb, &entry);
    // The call's time-out still holds for reads on it: past the pool's own, so that
    // the pool's clock is the one that ends an idle connection.
    evhttp_connection_set_timeout(pConnection, static_cast<int>(m_IdleTimeout.count()) + 1);
}

void CloudPool::Drop(std::list<Entry>::iterator entry, const char* why)
{
    if (why != nullptr)
        Trace::Print("Idle HTTP connection to [%s] closed: %s\n", entry->endpoint.c_str(), why);
    evhttp_connection_set_closecb(entry->pConnection, nullptr, nullptr);
    if (entry->pTimer != nullptr)
        event_free(entry->pTimer);
    m_Doomed.push_back(entry->pConnection);
    m_Idle.erase(entry);
    if (m_pReaper != nullptr)
        event_active(m_pReaper, EV_TIMEOUT, 1);
}

void CloudPool::OnIdleEnded(Entry& entry, const char* why)
{
    auto found = std::find_if(m_Idle.begin(), m_Idle.end(), [&](const Entry& e) { return &e == &entry; });
    if (found != m_Idle.end())
        Drop(found, why);
}

void CloudPool::Close()
{
    m_Closed = true;
    while (!m_Idle.empty())
        Drop(m_Idle.begin(), "the service is stopping");
}

void CloudPool::SendWithoutDelay(evhttp_connection* pConnection)
{
    const int one = 1;
    evutil_socket_t fd = bufferevent_getfd(evhttp_connection_get_bufferevent(pConnection));
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void CloudPool::OnReaper()
{
    for (evhttp_connection* pConnection : m_Doomed)
        evhttp_connection_free(pConnection);
    m_Doomed.clear();
}
