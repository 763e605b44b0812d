#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct event_base;
struct evdns_base;

// Looks up the addresses of the cloud endpoints' names without blocking the loop.
// The hosts file (and numeric addresses) answer first, at once; other names are asked
// of the name servers, for IPv4 and IPv6 addresses together, and their answers are
// kept while their time to live lasts, a minute at most. Every address of an answer
// is given: IPv4 first, then IPv6, each in the name server's order (the hosts file:
// in its own order). Lookups of one name under way at the same time share one query.
class Resolver
{
public:
    class Waiter
    {
    public:
        // `error` is 0 or an EVUTIL_EAI_* code; addresses are numeric text.
        virtual void OnResolved(int error, const std::vector<std::string>& addresses) = 0;

    protected:
        ~Waiter() = default;
    };

    // The longest an answer is kept, whatever its time to live.
    static constexpr int kMaxTtlSeconds = 60;

    Resolver(event_base* pBase, evdns_base* pDnsBase);
    ~Resolver();

    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Answers `waiter` once: within this call when the hosts file or a fresh answer
    // knows `name`, otherwise from the loop when the name servers have answered.
    void Resolve(const std::string& name, Waiter& waiter);
    // `waiter` is answered no more; a query nobody waits for any longer is cancelled.
    void Cancel(Waiter& waiter);
    // Frees every handle; queries under way are cancelled without an answer.
    void Release();

    // How long an answer with this time to live is kept, in seconds.
    static int FreshSeconds(int ttl);

    class Query;
    // A query's one report: its name's addresses, or why there are none.
    void OnQueryDone(Query& query, int error, const std::vector<std::string>& addresses, int ttl);

private:
    struct Answer
    {
        std::vector<std::string> addresses;
        std::chrono::steady_clock::time_point expiry;
    };

    bool AnswerFromCache(const std::string& name, Waiter& waiter);
    bool AnswerFromHostsFile(const std::string& name, Waiter& waiter);

    event_base* m_pBase;
    evdns_base* m_pDnsBase;
    // Knows the hosts file and no name server, so a name it lacks is never sent anywhere.
    evdns_base* m_pHostsBase;
    std::map<std::string, Answer> m_Cache;
    std::map<std::string, Query*> m_Queries;
};
