#pragma once

#include <cstddef>
#include <cstdint>

struct event;
struct event_base;

// How the service ends. SIGTERM or SIGINT drains: accepting stops, the requests in
// flight and the uploads begun before it finish (those still going at the drain
// time-out are answered 503), their replies are written, then the loop ends; a
// second signal ends it at once. An authorised /exit ends it once the replies being
// written (its own among them) are out. Writing is bounded by the connections'
// time-out, on a clock of its own. Recordings being deleted from Cloud Storage are
// waited for too, within the same clocks. SIGHUP is traced and ignored: there is nothing
// to reload. A signal or an /exit only sets the state; whether the stop may go on
// is judged in one place, from the loop, whenever something ends.
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

    // What the stop asks of the service.
    class Host
    {
    public:
        virtual size_t RequestsInFlight() const = 0;
        // Requests that began to arrive before the stop, and still do.
        virtual size_t UploadsInProgress() const = 0;
        // Replies, and refusals, still being written.
        virtual size_t RepliesInWriting() const = 0;
        // Recordings still being deleted from Cloud Storage.
        virtual size_t ObjectsBeingDeleted() const = 0;
        virtual void StopAccepting() = 0;
        // The requests still arriving are refused with 503, their connections closed.
        virtual void RefuseUploads() = 0;
        // Each request in flight is answered 503, and its connection closed.
        virtual void AbandonRequests() = 0;
        virtual void EndLoop() = 0;

    protected:
        ~Host() = default;
    };

    // `writeTimeoutSeconds` bounds the writing of the last replies; 0: no bound.
    Stop(Host& host, uint64_t drainTimeoutSeconds, uint64_t writeTimeoutSeconds);
    ~Stop();

    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    bool Watch(event_base* pEventBase);
    // Frees the signal events and the clocks.
    void Release();

    State GetState() const { return m_State; }
    bool Draining() const { return m_State != State::Running; }
    bool Ended() const { return m_State == State::Ended; }
    // An authorised /exit has been answered.
    void OnExit();
    // Something ended (a request in flight, a reply, a connection): the stop may go on.
    void Wake();

    // Where the libevent callbacks arrive.
    void OnSignal(int signal);
    void OnCheck();
    void OnDrainClock();
    void OnEndClock();

private:
    void SetState(State state) { m_State = state; }
    void BeginEnding();
    void End();

    Host& m_Host;
    State m_State;
    uint64_t m_DrainTimeoutSeconds;
    uint64_t m_WriteTimeoutSeconds;
    event* m_pSigTerm;
    event* m_pSigInt;
    event* m_pSigHup;
    event* m_pCheck;      // judges the progress from the loop, never from inside a caller
    event* m_pDrainClock; // ends the drain if it takes too long
    event* m_pEndClock;   // ends the loop if the last replies take too long
};
