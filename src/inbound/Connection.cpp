#include "Connection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <openssl/ssl.h>

#include "Stop.h"
#include "base/Budget.h"
#include "base/Config.h"
#include "base/MemoryTrim.h"
#include "base/Metrics.h"
#include "base/Trace.h"

namespace
{

// How long a refused caller's further bytes are read and dropped, so that it is
// not reset before it has read the refusal.
const std::chrono::seconds kLingerSeconds(2);
const int kMaxKeyUpdatesPerSecond = 8;
const size_t kLargeRead = 64 << 10;
const Decision kDraining = {503, "Service Unavailable", true, "", Metrics::Reason::Draining};

Connection* ConnectionOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<Connection*>(pArg);
}

void ClockCb(evutil_socket_t, short, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in connection clock"))
        pConnection->OnClock();
}

void InputCb(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in request clock callback"))
        pConnection->OnInput(*pInfo);
}

void ReplyWrittenCb(evhttp_request*, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in reply callback"))
        pConnection->OnReplyWritten();
}

void ClosedCb(evhttp_connection*, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnClosed();
}

// What a refused caller still sends is read and dropped. By the stream alone: libevent
// calls a stream's read callback with its own context when it reads on from a
// request pipelined behind the last.
void RefusedInputCb(bufferevent* pBev, void*)
{
    evbuffer* pInput = bufferevent_get_input(pBev);
    evbuffer_drain(pInput, evbuffer_get_length(pInput));
}

void RefusalWrittenCb(bufferevent*, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnRefusalWritten();
}

// The caller has gone, or failed: a refused connection has nothing more to do.
void RefusedEventCb(bufferevent*, short, void* pArg)
{
    if (Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->Close(Connection::End::Done);
}

// What the trace says of a connection the record closes, by the stage it was in, and
// how the metrics count it; null: nothing.
std::pair<const char*, const char*> EndReason(Connection::End end, Connection::State state, bool headDone)
{
    using State = Connection::State;
    switch (end)
    {
    case Connection::End::Clock:
        return state == State::Idle ? std::pair{"idle past the time-out", "idle"}
               : state == State::Reading && !headDone
                   ? std::pair{"request head not whole within header-timeout", "head_time"}
               : state == State::Reading ? std::pair{"request not whole within its time", "request_time"}
               : state == State::Writing ? std::pair{"reply not taken within the time-out", "reply_time"}
                                         : std::pair{"refusal not taken within the time-out", "refusal_time"};
    case Connection::End::Shed:
        return {state == State::Idle ? "idle the longest, closed for a new connection at the cap"
                                     : "head the slowest, closed for a new connection at the cap",
                "shed"};
    case Connection::End::OverCap:
        return {"over the cap on connections, none idle to close", "over_cap"};
    case Connection::End::KeyUpdates:
        return {"more TLS key updates than a client needs", "key_updates"};
    case Connection::End::Done:
        break;
    }
    return {nullptr, nullptr};
}

} // namespace

Connection::Connection(Owner& owner, const Context& context, bufferevent* pBev)
    : m_Owner(owner)
    , m_Context(context)
    , m_State(State::Accepted)
    , m_RefuseWhenAdopted(false)
    , m_pBev(pBev)
    , m_pHttpConnection(nullptr)
    , m_pClock(nullptr)
    , m_pInputWatch(nullptr)
    , m_Opened(Clock::now())
    , m_Requests(0)
    , m_HeadDone(false)
    , m_BegunBeforeStop(false)
    , m_Scanned(0)
    , m_RequestBytes(0)
    , m_HeadBytes(0)
    , m_Reserved(0)
    , m_InReplyCallback(false)
    , m_KeyUpdates(0)
    , m_Flooded(false)
{
}

Connection::~Connection()
{
    Release();
}

bool Connection::Start(event_base* pEventBase, bool refuse)
{
    m_RefuseWhenAdopted = refuse;
    bufferevent_incref(m_pBev);
    m_pClock = event_new(pEventBase, -1, 0, ClockCb, this);
    m_pInputWatch = evbuffer_add_cb(bufferevent_get_input(m_pBev), InputCb, this);
    if (m_pClock == nullptr || m_pInputWatch == nullptr)
        return false;
    event_active(m_pClock, EV_TIMEOUT, 1);
    return true;
}

void Connection::Release()
{
    if (SSL* pSsl = m_pBev != nullptr ? bufferevent_openssl_get_ssl(m_pBev) : nullptr)
        SSL_set_app_data(pSsl, nullptr);
    if (m_pInputWatch != nullptr)
        evbuffer_remove_cb_entry(bufferevent_get_input(m_pBev), m_pInputWatch);
    m_pInputWatch = nullptr;
    if (m_pClock != nullptr)
        event_free(m_pClock);
    m_pClock = nullptr;
    if (m_pHttpConnection == nullptr && m_pBev != nullptr)
        bufferevent_decref(m_pBev);
    m_pBev = nullptr;
}

void Connection::SetState(State state)
{
    const auto writing = [](State state) { return state == State::Writing || state == State::Refusing; };
    if (writing(m_State) != writing(state))
        m_Owner.CountWriting(writing(state) ? 1 : -1);
    if ((m_State == State::Idle) != (state == State::Idle))
        m_Owner.Idle(*this, state == State::Idle);
    m_State = state;
}

void Connection::Adopt()
{
    // evhttp hands its connection to the stream's callbacks as their argument: the
    // one way to reach a server connection before its first request. No callbacks:
    // libevent has already freed the connection.
    bufferevent_event_cb eventCb = nullptr;
    void* pArg = nullptr;
    bufferevent_getcb(m_pBev, nullptr, nullptr, &eventCb, &pArg);
    if (eventCb == nullptr)
    {
        OnClosed();
        return;
    }
    m_pHttpConnection = static_cast<evhttp_connection*>(pArg);
    evhttp_connection_set_closecb(m_pHttpConnection, ClosedCb, this);
    bufferevent_decref(m_pBev);
    m_Owner.Adopted(*this, m_pHttpConnection);
    if (m_RefuseWhenAdopted)
    {
        Close(End::OverCap);
        return;
    }
    SetState(State::Idle);
    ArmIn(std::chrono::seconds(m_Context.settings.timeoutSeconds));
}

void Connection::OnClock()
{
    if (m_State == State::Accepted)
        Adopt();
    else if (!m_Pending.Served())
        Refuse(m_Pending);
    else if (m_Flooded)
        Close(End::KeyUpdates);
    else if (m_State == State::Reading && m_Context.stop.Draining())
        Refuse(kDraining); // the stop answers an upload it will not wait for
    else if (m_State != State::Handling)
        Close(m_State == State::Lingering ? End::Done : End::Clock);
}

void Connection::Close(End end)
{
    const auto [line, counted] = EndReason(end, m_State, m_HeadDone);
    if (line != nullptr)
    {
        Trace::Print("Connection closed: %s\n", line);
        m_Context.metrics.CountClosed(counted);
    }
    evhttp_connection_free(m_pHttpConnection); // the close callback ends the record
}

bool Connection::SlowInItsHead() const
{
    const auto half = std::chrono::seconds(m_Context.settings.headerTimeoutSeconds) / 2;
    return m_State == State::Reading && !m_HeadDone && Clock::now() - m_HeadStarted >= half;
}

// TLS 1.3 lets a client ask for new keys; a few a second serve no client, and each
// costs the loop work.
void Connection::OnKeyUpdate()
{
    const auto now = Clock::now();
    if (now - m_KeyUpdateWindow >= std::chrono::seconds(1))
    {
        m_KeyUpdateWindow = now;
        m_KeyUpdates = 0;
    }
    if (++m_KeyUpdates > kMaxKeyUpdatesPerSecond && !m_Flooded && m_pClock != nullptr)
    {
        m_Flooded = true;
        event_active(m_pClock, EV_TIMEOUT, 1);
    }
}

void Connection::OnInput(const evbuffer_cb_info& info)
{
    // libevent takes the head's lines out as it parses them.
    m_Scanned -= std::min(m_Scanned, info.n_deleted);
    if (info.n_added == 0 || m_State == State::Refusing || m_State == State::Lingering)
        return;
    m_RequestBytes += info.n_added;
    if (m_State == State::Idle)
        StartRequest();
    if (m_State != State::Reading)
        return;
    m_RequestClock.Add(info.n_added);
    Account();
    if (m_State == State::Reading && m_HeadDone && !m_ReadingMore)
        ReadMore();
}

// libevent 2.1 reads 4 KiB a loop pass; the rest of a declared body is read here in
// larger pieces, into the input buffer's own space. Not through TLS, which has its
// own records to read.
void Connection::ReadMore()
{
    const int64_t declared = m_Head.ContentLength();
    const size_t body = m_RequestBytes - m_HeadBytes;
    const evutil_socket_t fd = bufferevent_getfd(m_pBev);
    if (m_Head.Chunked() || declared <= static_cast<int64_t>(body) || fd < 0 ||
        bufferevent_openssl_get_ssl(m_pBev) != nullptr)
        return;
    const size_t wanted = std::min(static_cast<size_t>(declared) - body, kLargeRead);
    evbuffer* pInput = bufferevent_get_input(m_pBev);
    evbuffer_iovec space[2];
    const int pieces = evbuffer_reserve_space(pInput, static_cast<ev_ssize_t>(wanted), space, 2);
    if (pieces <= 0)
        return;
    iovec vectors[2];
    size_t offered = 0;
    for (int i = 0; i < pieces; ++i)
    {
        vectors[i] = {space[i].iov_base, std::min(space[i].iov_len, wanted - offered)};
        offered += vectors[i].iov_len;
    }
    const ssize_t got = readv(fd, vectors, pieces);
    size_t left = got > 0 ? static_cast<size_t>(got) : 0;
    for (int i = 0; i < pieces; ++i)
    {
        space[i].iov_len = std::min(vectors[i].iov_len, left);
        left -= space[i].iov_len;
    }
    // What came is counted by the input's callback, as libevent's own reads are.
    m_ReadingMore = true;
    evbuffer_commit_space(pInput, space, pieces);
    m_ReadingMore = false;
}

void Connection::StartRequest()
{
    SetState(State::Reading);
    m_HeadStarted = Clock::now();
    m_RequestClock.Start(std::chrono::seconds(m_Context.settings.timeoutSeconds));
    m_Head = RequestHead();
    m_HeadDone = false;
    m_BegunBeforeStop = !m_Context.stop.Draining();
}

// Reads the head as it comes, refuses what will not be served, keeps the body within
// the budget, and gives the request time for its size.
void Connection::Account()
{
    if (!m_HeadDone)
        ReadHead();
    if (m_State != State::Reading)
        return;
    const size_t body = m_HeadDone ? m_RequestBytes - m_HeadBytes : 0;
    // A body of no stated length is reserved as it comes.
    if ((body > m_Reserved && !Reserve(body - m_Reserved)) || !m_Pending.Served())
        return;
    // The head has a clock of its own, within the request's.
    const auto headDeadline = m_HeadStarted + std::chrono::seconds(m_Context.settings.headerTimeoutSeconds);
    Arm(m_HeadDone ? m_RequestClock.Deadline() : std::min(headDeadline, m_RequestClock.Deadline()));
}

void Connection::ReadHead()
{
    evbuffer* pInput = bufferevent_get_input(m_pBev);
    while (!m_HeadDone)
    {
        evbuffer_ptr start;
        if (evbuffer_ptr_set(pInput, &start, m_Scanned, EVBUFFER_PTR_SET) != 0)
            return;
        size_t eolLength = 0;
        const evbuffer_ptr end = evbuffer_search_eol(pInput, &start, &eolLength, EVBUFFER_EOL_CRLF);
        if (end.pos < 0)
            return;
        std::string line(static_cast<size_t>(end.pos) - m_Scanned, '\0');
        evbuffer_copyout_from(pInput, &start, &line[0], line.size());
        m_Scanned = static_cast<size_t>(end.pos) + eolLength;
        m_HeadDone = m_Head.TakeLine(line);
    }
    const size_t bodyBuffered = evbuffer_get_length(pInput) - m_Scanned;
    m_HeadBytes = m_RequestBytes > bodyBuffered ? m_RequestBytes - bodyBuffered : 0;
    OnHead();
}

void Connection::OnHead()
{
    const Decision decision = m_Context.policy.BeforeBody(m_Head);
    if (!decision.Served())
    {
        // Nothing of the body, nor of the head but its first line, is traced.
        if (decision.status == 401)
            Trace::Print("Request unauthorized before its body: [%s %s]\n", m_Head.method.c_str(),
                         TracedTarget().c_str());
        else
            Trace::Print("Request refused before its body: [%s %s]: %s\n", Trace::OneLine(m_Head.method).c_str(),
                         TracedTarget().c_str(), decision.fault);
        Refuse(decision);
        return;
    }
    Reserve(static_cast<size_t>(std::max<int64_t>(m_Head.ContentLength(), 0)));
}

std::string Connection::TracedTarget() const
{
    return Trace::OneLine(Trace::Target(m_Head.target.c_str()));
}

// Takes `bytes` more of the body budget for this request, or refuses it.
bool Connection::Reserve(size_t bytes)
{
    if (m_Context.bodies.Reserve(bytes))
    {
        m_Reserved += bytes;
        return true;
    }
    Trace::Print("No room for the body of [%s %s]: [%zu] bytes\n", m_Head.method.c_str(), TracedTarget().c_str(),
                 m_Reserved + bytes);
    Refuse({503, "Service Unavailable", true, "", Metrics::Reason::NoRoom});
    return false;
}

void Connection::Refuse(Decision decision) // a copy: it may be m_Pending, cleared below
{
    // Inside libevent's reply callback the stream is still libevent's: from the loop.
    if (m_InReplyCallback)
    {
        m_Pending = decision;
        event_active(m_pClock, EV_TIMEOUT, 1);
        return;
    }
    m_Pending = Decision();
    m_Context.metrics.CountReply(Metrics::EndpointOf(m_Head.Path()), decision.status, decision.why);
    SetState(State::Refusing);
    Unreserve();
    // From here the stream is the record's: libevent has nothing more to read on it.
    evbuffer* pInput = bufferevent_get_input(m_pBev);
    evbuffer_drain(pInput, evbuffer_get_length(pInput));
    bufferevent_setcb(m_pBev, RefusedInputCb, RefusalWrittenCb, RefusedEventCb, this);
    evbuffer_add_printf(bufferevent_get_output(m_pBev),
                        "HTTP/1.1 %d %s\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", decision.status,
                        decision.reason);
    bufferevent_enable(m_pBev, EV_READ | EV_WRITE);
    ArmIn(std::chrono::seconds(m_Context.settings.timeoutSeconds));
}

void Connection::OnRefusalWritten()
{
    SetState(State::Lingering);
    const evutil_socket_t fd = bufferevent_getfd(m_pBev);
    if (fd >= 0)
        shutdown(fd, SHUT_WR);
    ArmIn(kLingerSeconds);
}

void Connection::OnRequest()
{
    SetState(State::Handling);
    event_del(m_pClock);
    // Whatever is left in the buffer belongs to the next request.
    m_Scanned = 0;
}

void Connection::OnReplySent(evhttp_request* pRequest)
{
    SetState(State::Writing);
    ArmIn(std::chrono::seconds(m_Context.settings.timeoutSeconds));
    evhttp_request_set_on_complete_cb(pRequest, ReplyWrittenCb, this);
    // A kept-alive connection serves a bounded number of requests for a bounded time.
    const bool old = Clock::now() - m_Opened >= std::chrono::seconds(m_Context.settings.maxConnectionAgeSeconds);
    if (++m_Requests >= m_Context.settings.maxConnectionRequests || old)
        evhttp_add_header(evhttp_request_get_output_headers(pRequest), "Connection", "close");
}

void Connection::OnReplyWritten()
{
    SetState(State::Idle);
    ArmIn(std::chrono::seconds(m_Context.settings.timeoutSeconds));
    m_Context.trim.Note(m_RequestBytes + m_Reserved);
    Unreserve();
    m_RequestBytes = 0;
    m_Context.stop.Wake();
    // A request that came in behind this one is already here, and libevent reads its
    // head before any new byte arrives: its head is read and judged now, as any
    // other's, but a refusal waits until libevent's reply callback has returned.
    const size_t buffered = evbuffer_get_length(bufferevent_get_input(m_pBev));
    if (buffered == 0)
        return;
    StartRequest();
    m_Scanned = 0;
    m_RequestBytes = buffered;
    m_RequestClock.Add(buffered);
    m_InReplyCallback = true;
    Account();
    m_InReplyCallback = false;
}

void Connection::OnClosed()
{
    evhttp_connection* pHttpConnection = m_pHttpConnection;
    const size_t bytes = m_RequestBytes + m_Reserved;
    Unreserve();
    SetState(State::Closed);
    Release();
    m_Owner.Ended(*this, pHttpConnection, bytes);
}

void Connection::Unreserve()
{
    m_Context.bodies.Release(m_Reserved);
    m_Reserved = 0;
}

void Connection::ArmIn(std::chrono::seconds seconds)
{
    Arm(Clock::now() + seconds);
}

// A time-out of 0 means none.
void Connection::Arm(Clock::time_point deadline)
{
    if (m_Context.settings.timeoutSeconds != 0 || m_State == State::Lingering)
        ArmAt(m_pClock, deadline);
}
