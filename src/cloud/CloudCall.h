#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <event2/http.h>
#include <event2/util.h>

#include "CloudExchange.h"
#include "Credentials.h"
#include "Resolver.h"
#include "base/Budget.h"
#include "base/Metrics.h"

struct bufferevent;
struct evbuffer;
struct event;
struct evhttp_connection;
struct evhttp_request;
struct evhttp_uri;

class CloudPool;
class OutboundTls;

// One HTTP or HTTPS exchange with a cloud endpoint: the parsed URI, the name lookup,
// the TLS stream, the connection, the request and the one clock that bounds them
// all. When a connection fails, or is not made within its share of the time, before
// the request went out, the request goes to the name's next address. A reply that
// says the cloud is busy, or a failure before any reply, is tried again after a
// pause, a few times, as Google's clients do, all within the same clock. It reports
// how it ended exactly once for every request it made, and it can be used again for
// the next exchange once it has. With Google credentials, it carries their access
// token, waiting for one within its clock when none is valid. A reply's body is
// traced only for status 200. With a pool, it takes a connection kept from an
// earlier call to the endpoint and gives it back after a whole reply; a kept
// connection that fails before any reply is replaced by a fresh one once.
class CloudCall final : public CloudExchange, private Resolver::Waiter, private Credentials::Waiter
{
public:
    // What the calls share.
    struct Context
    {
        event_base* pBase;
        Resolver* pResolver; // null: libevent looks names up itself
        OutboundTls& tls;
        uint64_t maxReplySize;     // bytes of a reply's body
        std::string accessKey;     // kept out of a redacted trace
        Credentials* pCredentials; // null: no access token is sent
        Budget* pBudget;           // replies are held against it as they come; null: none
        Metrics& metrics;
        int retries;                         // tries after the first
        std::chrono::seconds connectTimeout; // an address's share of the clock, when another follows
        CloudPool* pPool;                    // connections kept between calls; null: a fresh one each time
    };

    // Trace lines name the exchange "<label>".
    CloudCall(Owner& owner, const Context& context, const std::string& label);
    ~CloudCall() override;

    CloudCall(const CloudCall&) = delete;
    CloudCall& operator=(const CloudCall&) = delete;

    bool CreateConnection(const std::string& uri) override;
    bool MakeRequest(const Request& request) override;
    void Release() override;

    // Where the libevent callbacks of the exchange arrive.
    void OnRequestDone(evhttp_request* pRequest);
    void OnClock();
    void OnStep();
    void OnConnectionClosed();
    void OnReplyBytes(size_t bytes);

private:
    enum class State
    {
        Idle,          // no exchange
        Prepared,      // URI parsed; connected to directly, or looked up once the request is made
        AwaitingToken, // clock running; the access token is being fetched
        Resolving,     // request built and clock running; the host name is being looked up
        HandingOver,   // inside evhttp_make_request
        InFlight,      // the connection has the request; its completion or the clock ends it
        Reached,       // as InFlight, but the connection was made: it is not tried elsewhere
        Reconnecting,  // the connection failed before sending; the clock, made due, tries the next address
        Pausing,       // before the next try; the step's timer starts it
        Renewing,      // a kept connection failed before a reply: the step's timer sends on a fresh one
        Failed,        // broke off before a completion could come; the clock reports it
    };

    void SetState(State state) { m_State = state; }
    // One trace line of this exchange: "<>" in `format` is where "<label>" goes.
    void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // The URI as the trace may show it: without the access key in redacted mode.
    std::string TracedUri() const;
    bool ConnectionHasRequest() const
    {
        return m_State == State::HandingOver || m_State == State::InFlight || m_State == State::Reached;
    }
    void Finish(Outcome outcome);
    void FailSoon();
    void OnResolved(int error, const std::vector<std::string>& addresses) override;
    void OnToken(bool ok) override;
    void Proceed();
    void StartTry();
    void ConnectNext();
    bool HasNextAddress() const { return m_NextAddress < m_Addresses.size(); }
    void TryNextAddress(const char* what);
    bool Reconnect();
    bool Connected() const;
    // Tries again after a pause, when tries and time are left; false when not.
    bool TryAgain(int status, const std::string& why, int retryAfterSeconds);
    void ArmStep(std::chrono::milliseconds delay);
    bool NewTlsStream();
    bool NewConnection(const char* address);
    // Sets this call's callbacks and bounds on m_pConnection, fresh or kept.
    void Adopt();
    // A connection kept from an earlier call to the endpoint, when there is one.
    bool TakeKept();
    // The first try again, on a fresh connection, without counting as a try.
    void Renew();
    bool NewRequest();
    bool HandOver();
    void StartHostLookup();
    // Cancels the token wait or the name lookup under way.
    void CancelWaits();
    // Frees a handle once, tracing `line` when it is given.
    template <typename Handle>
    void Free(Handle*& pHandle, void (*pFree)(Handle*), const char* line) const;

    Owner& m_Owner;
    const Context& m_Context;
    const std::string m_Label;
    State m_State = State::Idle;
    std::chrono::steady_clock::time_point m_Deadline;
    // What is sent; its body is the owner's, sent by reference with every attempt.
    Request m_Request;
    int m_Tries = 0;           // made again after the first
    bool m_ReplyBegun = false; // bytes of a reply have come, or its TLS check failed: not tried again
    bool m_Kept = false;       // the connection came from the pool
    bool m_KeepOpen = false;   // the reply came whole and left the connection open: it goes back
    size_t m_Reserved = 0;     // of the budget, for the reply coming in
    std::string m_Uri;
    std::string m_Endpoint; // "scheme host port": what a kept connection is kept for
    evhttp_uri* m_pHttpUri = nullptr;
    // The TLS stream until the connection takes it over.
    bufferevent* m_pTlsBufferevent = nullptr;
    evhttp_connection* m_pConnection = nullptr;
    // Ours until handed over to the connection, which then frees it.
    evhttp_request* m_pRequest = nullptr;
    // The time-out, and from the loop: the report of a failure that came before any
    // completion could, and the next connection after a failed one.
    event* m_pClock = nullptr;
    // Within the clock: the next try after a pause, or the end of an address's share.
    event* m_pStep = nullptr;
    // The name's addresses, and the one to try next.
    std::vector<std::string> m_Addresses;
    size_t m_NextAddress = 0;
};
