#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CloudExchange.h"
#include "ServiceAccount.h"
#include "base/Config.h"
#include "base/Metrics.h"
#include "base/Timing.h"

struct event;
struct event_base;
struct evbuffer;

// The OAuth 2.0 access token that every Google call carries when the service has
// Google credentials, as Google's own client libraries find one: from a service
// account's key file (a signed assertion traded at its token URI) or from the
// metadata server of Google's compute platforms. It is fetched at start and
// refreshed on the loop well before it expires, one fetch at a time; calls that find
// no valid token wait for the fetch under way. Neither the token nor the key is ever
// traced.
class Credentials final : private CloudExchange::Owner
{
public:
    class Waiter
    {
    public:
        // The fetch waited for has ended; false: no token came.
        virtual void OnToken(bool ok) = 0;

    protected:
        ~Waiter() = default;
    };

    enum class State
    {
        Idle, // no fetch under way: a token held, or the next try waiting for its time
        Fetching,
    };

    Credentials(const CloudSettings& settings, CloudExchange::Maker& exchanges, event_base* pBase, Metrics& metrics);
    ~Credentials();

    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    bool Configured() const { return !m_Settings.credentials.empty(); }
    // Reads a key file; false, with one line traced, when it cannot be used.
    bool Load();
    // The first fetch.
    void Start();
    // A token that has not expired.
    bool Valid() const;
    const std::string& Token() const { return m_Token; }
    // Told once, when the fetch under way (started now if none is) ends; at once, that
    // none came, while the next try after a failed one is not due.
    void Wait(Waiter& waiter);
    void Cancel(Waiter& waiter);
    void Release();

    // Where the libevent callback arrives: time for the next fetch.
    void OnTimer();

private:
    void SetState(State state) { m_State = state; }
    void Fetch();
    bool TakeToken(const CloudExchange::Reply& reply);
    void OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply) override;
    void Schedule(std::chrono::seconds delay);
    void Tell(bool ok);

    const CloudSettings& m_Settings;
    CloudExchange::Maker& m_Exchanges;
    event_base* m_pBase;
    Metrics& m_Metrics;
    State m_State;
    ServiceAccount m_Account;
    std::unique_ptr<CloudExchange> m_pCall;
    evbuffer* m_pBody;
    event* m_pTimer; // the next fetch: a refresh, or a try again after a failure
    std::chrono::seconds m_RetryDelay;
    std::string m_Token;
    SteadyClock::time_point m_Expiry;
    SteadyClock::time_point m_FetchStarted;
    SteadyClock::time_point m_NextTry; // after a failed fetch
    std::vector<Waiter*> m_Waiters;
};
