#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <string>

#include "RequestPolicy.h"
#include "base/RequestClock.h"

struct bufferevent;
struct evbuffer;
struct evbuffer_cb_entry;
struct evbuffer_cb_info;
struct event;
struct event_base;
struct evhttp_connection;
struct evhttp_request;

class Budget;
class Metrics;
class MemoryTrim;
class Stop;
struct ListenerSettings;

// One accepted connection, from the accept to libevent's free of it. libevent owns
// the connection; the record bounds each stage of it with one clock: the TLS
// handshake and the wait for a first request, each request (whole, from its first
// byte), the writing of each reply, and the idle wait after it. While the service
// handles a request, nothing bounds the connection. It reads each request's head
// as it comes in, so that a request can be refused without reading its body; the
// refusal is then written by the record itself, and the connection closed.
class Connection
{
public:
    enum class State
    {
        Accepted,  // libevent has yet to make its connection around the stream
        Idle,      // waiting for a request
        Reading,   // a request is arriving
        Handling,  // the service has the request
        Writing,   // its reply is being written
        Refusing,  // the record's own refusal is being written
        Lingering, // refused: what the caller still sends is read and dropped
        Closed,
    };

    // Why the record closes its connection; each but the ordinary ends is traced.
    enum class End
    {
        Clock,      // its stage ran out of time
        Shed,       // idle at the cap on connections, closed for a new one
        OverCap,    // accepted over the cap with none idle to close
        Done,       // a refused caller has had its time to read the refusal, or has gone
        KeyUpdates, // a TLS client asking for new keys over and over
    };

    // What the listener keeps of its connections.
    class Owner
    {
    public:
        virtual void Adopted(Connection& connection, evhttp_connection* pHttpConnection) = 0;
        virtual void Idle(Connection& connection, bool idle) = 0;
        virtual void CountWriting(int change) = 0;
        // The record's last call: it goes with its connection.
        virtual void Ended(Connection& connection, evhttp_connection* pHttpConnection, size_t requestBytes) = 0;

    protected:
        ~Owner() = default;
    };

    // What every connection shares.
    struct Context
    {
        const ListenerSettings& settings;
        const RequestPolicy& policy;
        Budget& bodies; // of every request body held at once
        Metrics& metrics;
        MemoryTrim& trim;
        Stop& stop;
    };

    Connection(Owner& owner, const Context& context, bufferevent* pBev);
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // libevent makes its connection once the accept callback has returned, so the
    // record takes it up from the loop, holding the stream until then.
    bool Start(event_base* pEventBase, bool refuse);
    State GetState() const { return m_State; }
    // Whether the request now being handled began before the service started stopping.
    bool BegunBeforeStop() const { return m_BegunBeforeStop; }
    // Refuses the request arriving with `status`, and closes the connection after it.
    void Refuse(Decision decision);
    // Frees the connection now, saying why; the record goes with it.
    void Close(End end);
    // Still in its head, past half of header-timeout: the first to go at the cap.
    bool SlowInItsHead() const;
    // The TLS client asked for new keys.
    void OnKeyUpdate();

    // Where the libevent callbacks arrive.
    void OnClock();
    void OnInput(const evbuffer_cb_info& info);
    void OnRequest();
    // Adds "Connection: close" to the reply when the connection has served enough.
    void OnReplySent(evhttp_request* pRequest);
    void OnReplyWritten();
    void OnClosed();
    void OnRefusalWritten();

    std::list<Connection>::iterator m_Self;

private:
    using Clock = std::chrono::steady_clock;

    void SetState(State state);
    void Adopt();
    void StartRequest();
    void ReadHead();
    void OnHead();
    std::string TracedTarget() const;

    void Account();
    void ReadMore();
    void ArmIn(std::chrono::seconds seconds);
    void Arm(Clock::time_point deadline);
    bool Reserve(size_t bytes);
    void Unreserve();
    // Frees the clock and the watch on the stream, and the hold on the stream
    // while libevent has yet to take it up.
    void Release();

    Owner& m_Owner;
    Context m_Context;
    State m_State;
    bool m_RefuseWhenAdopted; // over the cap on connections, with none idle to close
    bufferevent* m_pBev;
    evhttp_connection* m_pHttpConnection;
    event* m_pClock;
    evbuffer_cb_entry* m_pInputWatch;
    Clock::time_point m_Opened;
    Clock::time_point m_HeadStarted;
    RequestClock m_RequestClock;
    uint64_t m_Requests;
    RequestHead m_Head;
    bool m_HeadDone;
    bool m_BegunBeforeStop;
    size_t m_Scanned;      // of the input buffer, looked at for the head's lines
    size_t m_RequestBytes; // read since the request began
    size_t m_HeadBytes;    // of those, its head
    size_t m_Reserved;     // of the body budget, for this request
    bool m_InReplyCallback;
    bool m_ReadingMore = false; // inside ReadMore's commit, which reports what it read
    Decision m_Pending;         // a refusal to be made from the loop
    Clock::time_point m_KeyUpdateWindow;
    int m_KeyUpdates; // within the window's second
    bool m_Flooded;
};
