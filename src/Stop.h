#pragma once

#include <cstdint>

#include <rapidjson/fwd.h>

struct event;
struct event_base;

class S2tServer;

// How the service ends. SIGTERM or SIGINT drains: accepting stops, the requests in
// flight and the uploads begun before it finish (those still going at the drain
// time-out are answered 503),
// their replies are written, then the loop ends; a second signal ends it at once.
// An authorised /exit ends it once the replies being written (its own among them)
// are out. Writing is bounded by the inbound time-out. SIGHUP is traced and
// ignored: there is nothing to reload.
class Stop
{
public:
    enum class State
    {
        Running,
        Draining, // no new requests; those in flight finish
        Ending,   // no request in flight counts any more; the replies go out
        Ended,
    };

    explicit Stop(S2tServer& server);
    ~Stop();

    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    bool LoadConfig(const rapidjson::Value& config);
    bool WatchSignals(event_base* pEventBase);
    // Frees the signal events and the time bound.
    void Release();

    bool Draining() const { return m_State != State::Running; }
    uint64_t DrainTimeout() const { return m_DrainTimeoutSeconds; }
    // An authorised /exit has been answered.
    void OnExit();
    // A request in flight ended, or a reply was written or given up: the stop may go on.
    void OnProgress();

    // Where the libevent callbacks arrive.
    void OnSignal(int signal);
    void OnBound();

private:
    void SetState(State state) { m_State = state; }
    void Bound(uint64_t seconds);
    void BeginEnding();
    void End();

    S2tServer& m_Server;
    State m_State;
    uint64_t m_DrainTimeoutSeconds;
    event* m_pSigTerm;
    event* m_pSigInt;
    event* m_pSigHup;
    event* m_pBound; // ends the drain, and then the loop, if they take too long
};
