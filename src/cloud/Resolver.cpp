#include "Resolver.h"

#include <netinet/in.h>

#include <algorithm>
#include <climits>

#include <event2/dns.h>
#include <event2/event.h>
#include <event2/util.h>

#include "base/Trace.h"

// The name servers asked for one name's IPv4 and IPv6 addresses at once. It reports
// to its resolver once, when both have answered or the second is late, and lives on
// until evdns has reported both requests: evdns reports a cancelled one later, from
// the loop.
class Resolver::Query
{
public:
    Query(Resolver& resolver, const std::string& name)
        : m_Resolver(resolver)
        , m_Name(name)
        , m_State(State::Asking)
        , m_pDnsBase(nullptr)
        , m_pIpv4(nullptr)
        , m_pIpv6(nullptr)
        , m_pLate(nullptr)
        , m_Error(EVUTIL_EAI_FAIL)
        , m_Ttl(INT_MAX)
    {
    }

    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool Start(event_base* pBase, evdns_base* pDnsBase);
    // The resolver is done with it: it asks nothing more and frees itself once evdns
    // has reported every request.
    void Abandon();

    const std::string& Name() const { return m_Name; }

    // Where the libevent callbacks arrive.
    void OnAnswer(int family, int result, int count, int ttl, const void* pAddresses);
    void OnLate();

    std::vector<Waiter*> m_Waiters;

private:
    enum class State
    {
        Asking,   // its resolver waits for it
        Detached, // reported or abandoned; waits only for evdns to report the rest
    };

    ~Query() = default;
    void SetState(State state) { m_State = state; }
    void Report();
    void Release();
    void FreeIfDone();

    Resolver& m_Resolver;
    const std::string m_Name;
    State m_State;
    evdns_base* m_pDnsBase;
    // Each until evdns has reported it.
    evdns_request* m_pIpv4;
    evdns_request* m_pIpv6;
    // Bounds the wait for the second answer once the first is in.
    event* m_pLate;
    std::vector<std::string> m_Ipv4Addresses;
    std::vector<std::string> m_Ipv6Addresses;
    int m_Error; // EVUTIL_EAI_*, of the last answer without addresses
    int m_Ttl;   // seconds, the shortest of the answers with addresses
};

namespace
{

// Once one of the two answers is in, the other may take this much longer: the wait
// libevent's own lookup allows.
const timeval kSecondAnswerWait = {3, 0};

Resolver::Query* QueryOf(void* pContext)
{
    if (pContext == nullptr)
        Trace::Print("NULL context in DNS callback\n");
    return static_cast<Resolver::Query*>(pContext);
}

void Ipv4AnsweredCb(int result, char, int count, int ttl, void* pAddresses, void* pContext)
{
    if (Resolver::Query* pQuery = QueryOf(pContext))
        pQuery->OnAnswer(AF_INET, result, count, ttl, pAddresses);
}

void Ipv6AnsweredCb(int result, char, int count, int ttl, void* pAddresses, void* pContext)
{
    if (Resolver::Query* pQuery = QueryOf(pContext))
        pQuery->OnAnswer(AF_INET6, result, count, ttl, pAddresses);
}

void LateCb(evutil_socket_t, short, void* pContext)
{
    if (Resolver::Query* pQuery = QueryOf(pContext))
        pQuery->OnLate();
}

void AddAddress(int family, const void* pAddress, std::vector<std::string>& addresses)
{
    char text[INET6_ADDRSTRLEN];
    if (evutil_inet_ntop(family, pAddress, text, sizeof text) != nullptr)
        addresses.emplace_back(text);
}

// What the hosts file says of a name, when it says it at once.
struct HostsAnswer
{
    bool given = false;
    int error = 0;
    std::vector<std::string> addresses;
};

void TakeHostsAnswer(HostsAnswer& answer, int result, const evutil_addrinfo* pAddresses)
{
    answer.given = true;
    answer.error = result;
    for (const evutil_addrinfo* p = pAddresses; p != nullptr; p = p->ai_next)
    {
        if (p->ai_family == AF_INET)
            AddAddress(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr, answer.addresses);
        else if (p->ai_family == AF_INET6)
            AddAddress(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr, answer.addresses);
    }
}

void HostsAnsweredCb(int result, evutil_addrinfo* pAddresses, void* pContext)
{
    // A name the file lacks is reported later, as a cancellation, when the context
    // is long gone: only an answer given at once is taken.
    if (result != EVUTIL_EAI_CANCEL)
        TakeHostsAnswer(*static_cast<HostsAnswer*>(pContext), result, pAddresses);
    if (pAddresses != nullptr)
        evutil_freeaddrinfo(pAddresses);
}

} // namespace

// ---- One query ------------------------------------------------------------------------

bool Resolver::Query::Start(event_base* pBase, evdns_base* pDnsBase)
{
    m_pDnsBase = pDnsBase;
    m_pLate = evtimer_new(pBase, LateCb, this);
    if (m_pLate == nullptr || pDnsBase == nullptr)
        return false;
    // Both at once: many name servers answer only one question per message.
    m_pIpv4 = evdns_base_resolve_ipv4(pDnsBase, m_Name.c_str(), 0, Ipv4AnsweredCb, this);
    m_pIpv6 = evdns_base_resolve_ipv6(pDnsBase, m_Name.c_str(), 0, Ipv6AnsweredCb, this);
    return m_pIpv4 != nullptr || m_pIpv6 != nullptr;
}

void Resolver::Query::OnAnswer(int family, int result, int count, int ttl, const void* pAddresses)
{
    (family == AF_INET ? m_pIpv4 : m_pIpv6) = nullptr;
    if (m_State == State::Asking && result == DNS_ERR_NONE && count > 0)
    {
        const size_t size = family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
        for (int i = 0; i < count; ++i)
            AddAddress(family, static_cast<const char*>(pAddresses) + i * size,
                       family == AF_INET ? m_Ipv4Addresses : m_Ipv6Addresses);
        // A time to live past 2^31 - 1 seconds arrives negative here, and counts as none.
        m_Ttl = std::min(m_Ttl, ttl);
    }
    else if (m_State == State::Asking)
        m_Error = result == DNS_ERR_NOTEXIST ? EVUTIL_EAI_NONAME
                  : result == DNS_ERR_NONE   ? EVUTIL_EAI_NODATA
                                             : EVUTIL_EAI_FAIL;
    if (m_State == State::Asking && (m_pIpv4 != nullptr || m_pIpv6 != nullptr))
        event_add(m_pLate, &kSecondAnswerWait);
    else if (m_State == State::Asking)
        Report();
    FreeIfDone();
}

void Resolver::Query::OnLate()
{
    // The answer still missing is cancelled (its report frees the query); the one in
    // is good enough.
    Report();
}

void Resolver::Query::Report()
{
    std::vector<std::string> addresses = m_Ipv4Addresses;
    addresses.insert(addresses.end(), m_Ipv6Addresses.begin(), m_Ipv6Addresses.end());
    Release();
    m_Resolver.OnQueryDone(*this, addresses.empty() ? m_Error : 0, addresses, m_Ttl);
}

void Resolver::Query::Abandon()
{
    Release();
    FreeIfDone();
}

void Resolver::Query::Release()
{
    if (m_State == State::Detached)
        return;
    SetState(State::Detached);
    if (m_pLate != nullptr)
        event_free(m_pLate);
    m_pLate = nullptr;
    if (m_pIpv4 != nullptr)
        evdns_cancel_request(m_pDnsBase, m_pIpv4);
    if (m_pIpv6 != nullptr)
        evdns_cancel_request(m_pDnsBase, m_pIpv6);
}

void Resolver::Query::FreeIfDone()
{
    if (m_State == State::Detached && m_pIpv4 == nullptr && m_pIpv6 == nullptr)
        delete this;
}

// ---- The resolver -----------------------------------------------------------------------

Resolver::Resolver(event_base* pBase, evdns_base* pDnsBase)
    : m_pBase(pBase)
    , m_pDnsBase(pDnsBase)
    , m_pHostsBase(evdns_base_new(pBase, 0))
{
    // The system's hosts file, read once as the name servers' base reads it, and no
    // name server: a name the file lacks is never asked of anyone through it.
    if (m_pHostsBase != nullptr)
        evdns_base_resolv_conf_parse(m_pHostsBase, DNS_OPTION_HOSTSFILE, nullptr);
    else
        Trace::Print("Failed to initialize the hosts file lookup\n");
}

Resolver::~Resolver()
{
    Release();
}

void Resolver::Release()
{
    for (auto& query : m_Queries)
        query.second->Abandon();
    m_Queries.clear();
    m_Cache.clear();
    // After a pass of the loop since the last lookup, which delivered the
    // cancellations this base still owed.
    if (m_pHostsBase != nullptr)
        evdns_base_free(m_pHostsBase, 0);
    m_pHostsBase = nullptr;
}

int Resolver::FreshSeconds(int ttl)
{
    return std::clamp(ttl, 0, kMaxTtlSeconds);
}

void Resolver::Resolve(const std::string& name, Waiter& waiter)
{
    if (AnswerFromCache(name, waiter) || AnswerFromHostsFile(name, waiter))
        return;
    auto query = m_Queries.find(name);
    if (query == m_Queries.end())
    {
        Query* pQuery = new Query(*this, name);
        if (!pQuery->Start(m_pBase, m_pDnsBase))
        {
            pQuery->Abandon();
            waiter.OnResolved(EVUTIL_EAI_FAIL, {});
            return;
        }
        query = m_Queries.emplace(name, pQuery).first;
    }
    query->second->m_Waiters.push_back(&waiter);
}

bool Resolver::AnswerFromCache(const std::string& name, Waiter& waiter)
{
    auto answer = m_Cache.find(name);
    if (answer == m_Cache.end())
        return false;
    if (std::chrono::steady_clock::now() >= answer->second.expiry)
    {
        m_Cache.erase(answer);
        return false;
    }
    const std::vector<std::string> addresses = answer->second.addresses;
    waiter.OnResolved(0, addresses);
    return true;
}

// The hosts file, and numeric addresses, answer within evdns_getaddrinfo. A name the
// file lacks leaves a request behind, which this base cannot send: it is cancelled.
bool Resolver::AnswerFromHostsFile(const std::string& name, Waiter& waiter)
{
    if (m_pHostsBase == nullptr)
        return false;
    evutil_addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    HostsAnswer answer;
    evdns_getaddrinfo_request* pUnanswered =
        evdns_getaddrinfo(m_pHostsBase, name.c_str(), nullptr, &hints, HostsAnsweredCb, &answer);
    if (pUnanswered != nullptr)
        evdns_getaddrinfo_cancel(pUnanswered);
    if (!answer.given)
        return false;
    waiter.OnResolved(answer.error, answer.addresses);
    return true;
}

void Resolver::Cancel(Waiter& waiter)
{
    for (auto query = m_Queries.begin(); query != m_Queries.end(); ++query)
    {
        std::vector<Waiter*>& waiters = query->second->m_Waiters;
        auto found = std::find(waiters.begin(), waiters.end(), &waiter);
        if (found == waiters.end())
            continue;
        waiters.erase(found);
        if (waiters.empty())
        {
            Query* pQuery = query->second;
            m_Queries.erase(query);
            pQuery->Abandon();
        }
        return;
    }
}

void Resolver::OnQueryDone(Query& query, int error, const std::vector<std::string>& addresses, int ttl)
{
    std::vector<Waiter*> waiters;
    waiters.swap(query.m_Waiters);
    m_Queries.erase(query.Name());
    const int fresh = FreshSeconds(ttl);
    if (!addresses.empty() && fresh > 0)
        m_Cache[query.Name()] = Answer{addresses, std::chrono::steady_clock::now() + std::chrono::seconds(fresh)};
    for (Waiter* pWaiter : waiters)
        pWaiter->OnResolved(error, addresses);
}
