#include "Connection.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

#include "S2tServer.h"
#include "Trace.h"

namespace
{

// A request must arrive whole within the time-out of its first byte, plus a second
// for every kMinRequestRate bytes it brings, so that a large body on a slower link
// still fits; libevent's own read time-out would start again with every byte.
const size_t kMinRequestRate = 64 << 10; // bytes per second
// How long a refused caller's further bytes are read and dropped, so that it is
// not reset before it has read the refusal.
const std::chrono::seconds kLingerSeconds(2);

Inbound::Connection* ConnectionOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<Inbound::Connection*>(pArg);
}

void ClockCb(evutil_socket_t, short, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection clock"))
        pConnection->OnClock();
}

void InputCb(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in request clock callback"))
        pConnection->OnInput(*pInfo);
}

void ReplyWrittenCb(evhttp_request*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in reply callback"))
        pConnection->OnReplyWritten();
}

void ClosedCb(evhttp_connection*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnClosed();
}

void RefusedInputCb(bufferevent*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnRefusedInput();
}

void RefusalWrittenCb(bufferevent*, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->OnRefusalWritten();
}

// The caller has gone, or failed: a refused connection has nothing more to do.
void RefusedEventCb(bufferevent*, short, void* pArg)
{
    if (Inbound::Connection* pConnection = ConnectionOf(pArg, "NULL context in connection callback"))
        pConnection->Close();
}

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    const size_t end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

} // namespace

std::string RequestHead::Path() const
{
    std::string path = target.substr(0, target.find('?'));
    char* decoded = evhttp_uridecode(path.c_str(), 0, nullptr);
    if (decoded != nullptr)
        path = decoded;
    free(decoded);
    return path;
}

bool RequestHead::TakeLine(const std::string& line)
{
    if (method.empty())
    {
        // The request line; an empty line before it is passed over.
        const size_t space = line.find(' ');
        method = line.substr(0, space);
        if (space != std::string::npos)
            target = line.substr(space + 1, line.rfind(' ') - space - 1);
        return false;
    }
    if (line.empty())
        return true;
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon);
    const std::string value = colon != std::string::npos ? Trimmed(line.substr(colon + 1)) : std::string();
    if (name == "Authorization")
        authorization = value;
    else if (strcasecmp(name.c_str(), "Content-Length") == 0 && !value.empty() &&
             value.find_first_not_of("0123456789") == std::string::npos && value.size() < 19)
        contentLength = std::stoll(value);
    else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0)
        chunked = true;
    return false;
}

Inbound::Connection::Connection(Inbound& inbound, bufferevent* pBev)
    : m_Inbound(inbound)
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
{
}

Inbound::Connection::~Connection()
{
    Release();
}

bool Inbound::Connection::Start(event_base* pEventBase, bool refuse)
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

void Inbound::Connection::Release()
{
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

void Inbound::Connection::SetState(State state)
{
    const auto writing = [](State state) { return state == State::Writing || state == State::Refusing; };
    if (writing(m_State) != writing(state))
        m_Inbound.CountWriting(writing(state) ? 1 : -1);
    if ((m_State == State::Idle) != (state == State::Idle))
        m_Inbound.Idle(this, state == State::Idle);
    m_State = state;
}

void Inbound::Connection::Adopt()
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
    m_Inbound.Adopted(this, m_pHttpConnection);
    if (m_RefuseWhenAdopted)
    {
        Close();
        return;
    }
    SetState(State::Idle);
    ArmIn(std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
}

void Inbound::Connection::OnClock()
{
    if (m_State == State::Accepted)
        Adopt();
    else if (m_State != State::Handling)
        Close();
}

void Inbound::Connection::Close()
{
    evhttp_connection_free(m_pHttpConnection); // the close callback ends the record
}

void Inbound::Connection::OnInput(const evbuffer_cb_info& info)
{
    // libevent takes the head's lines out as it parses them.
    m_Scanned -= std::min(m_Scanned, info.n_deleted);
    if (info.n_added == 0 || m_State == State::Refusing || m_State == State::Lingering)
        return;
    m_RequestBytes += info.n_added;
    if (m_State == State::Idle)
        StartRequest();
    if (m_State == State::Reading)
        Account();
}

void Inbound::Connection::StartRequest()
{
    SetState(State::Reading);
    m_Deadline = Clock::now() + std::chrono::seconds(m_Inbound.m_TimeoutSeconds);
    m_Head = RequestHead();
    m_HeadDone = false;
    m_BegunBeforeStop = !m_Inbound.m_Server.GetStop().Draining();
}

// Reads the head as it comes, refuses what will not be served, keeps the body within
// the budget, and gives the request time for its size.
void Inbound::Connection::Account()
{
    if (!m_HeadDone)
        ReadHead();
    if (m_State != State::Reading)
        return;
    const size_t body = m_HeadDone ? m_RequestBytes - m_HeadBytes : 0;
    if (body > m_Reserved)
    {
        // A body of no stated length is reserved as it comes.
        const size_t more = body - m_Reserved;
        if (!m_Inbound.Reserve(more))
        {
            Trace::Print("No room for the body of [%s %s]: [%zu] bytes\n", m_Head.method.c_str(), m_Head.target.c_str(),
                         body);
            Refuse(503, "Service Unavailable");
            return;
        }
        m_Reserved += more;
    }
    Arm(m_Deadline + std::chrono::microseconds(m_RequestBytes * 1000000 / kMinRequestRate));
}

void Inbound::Connection::ReadHead()
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

void Inbound::Connection::OnHead()
{
    const char* reason = nullptr;
    const size_t body = static_cast<size_t>(std::max<int64_t>(m_Head.contentLength, 0));
    if (m_Inbound.Screen(m_Head, reason) != 0)
    {
        Trace::Print("Request unauthorized before its body: [%s %s]\n", m_Head.method.c_str(), m_Head.target.c_str());
        Refuse(401, reason);
    }
    else if (!m_Inbound.Reserve(body))
    {
        Trace::Print("No room for the body of [%s %s]: [%zu] bytes\n", m_Head.method.c_str(), m_Head.target.c_str(),
                     body);
        Refuse(503, "Service Unavailable");
    }
    else
        m_Reserved = body;
}

void Inbound::Connection::Refuse(int status, const char* reason)
{
    m_Inbound.m_Server.GetMetrics().CountReply(Metrics::EndpointOf(m_Head.Path()), status);
    SetState(State::Refusing);
    Unreserve();
    // From here the stream is the record's: libevent has nothing more to read on it.
    evbuffer* pInput = bufferevent_get_input(m_pBev);
    evbuffer_drain(pInput, evbuffer_get_length(pInput));
    bufferevent_setcb(m_pBev, RefusedInputCb, RefusalWrittenCb, RefusedEventCb, this);
    evbuffer_add_printf(bufferevent_get_output(m_pBev),
                        "HTTP/1.1 %d %s\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", status, reason);
    bufferevent_enable(m_pBev, EV_READ | EV_WRITE);
    ArmIn(std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
}

void Inbound::Connection::OnRefusalWritten()
{
    SetState(State::Lingering);
    const evutil_socket_t fd = bufferevent_getfd(m_pBev);
    if (fd >= 0)
        shutdown(fd, SHUT_WR);
    ArmIn(kLingerSeconds);
}

void Inbound::Connection::OnRefusedInput()
{
    evbuffer* pInput = bufferevent_get_input(m_pBev);
    evbuffer_drain(pInput, evbuffer_get_length(pInput));
}

void Inbound::Connection::OnRequest()
{
    SetState(State::Handling);
    event_del(m_pClock);
    // Whatever is left in the buffer belongs to the next request.
    m_Scanned = 0;
}

void Inbound::Connection::OnReplySent(evhttp_request* pRequest)
{
    SetState(State::Writing);
    ArmIn(std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
    evhttp_request_set_on_complete_cb(pRequest, ReplyWrittenCb, this);
    // A kept-alive connection serves a bounded number of requests for a bounded time.
    const bool old = Clock::now() - m_Opened >= std::chrono::seconds(m_Inbound.m_MaxConnectionAgeSeconds);
    if (++m_Requests >= m_Inbound.m_MaxConnectionRequests || old)
        evhttp_add_header(evhttp_request_get_output_headers(pRequest), "Connection", "close");
}

void Inbound::Connection::OnReplyWritten()
{
    SetState(State::Idle);
    ArmIn(std::chrono::seconds(m_Inbound.m_TimeoutSeconds));
    m_Inbound.NoteReleased(m_RequestBytes + m_Reserved);
    Unreserve();
    m_RequestBytes = 0;
    m_Inbound.m_Server.GetStop().OnProgress();
    // A request that came in behind this one is already here, and libevent reads its
    // head before any new byte arrives: it is timed, and its body is reserved as the
    // rest of it comes, but it is not refused from inside libevent's reply callback.
    const size_t buffered = evbuffer_get_length(bufferevent_get_input(m_pBev));
    if (buffered == 0)
        return;
    StartRequest();
    m_HeadDone = true;
    m_HeadBytes = 0;
    m_RequestBytes = buffered;
    m_Reserved = m_Inbound.Reserve(buffered) ? buffered : 0;
    Arm(m_Deadline + std::chrono::microseconds(buffered * 1000000 / kMinRequestRate));
}

void Inbound::Connection::OnClosed()
{
    evhttp_connection* pHttpConnection = m_pHttpConnection;
    const size_t bytes = m_RequestBytes + m_Reserved;
    Unreserve();
    SetState(State::Closed);
    Release();
    m_Inbound.Closed(this, pHttpConnection, bytes);
}

void Inbound::Connection::Unreserve()
{
    m_Inbound.Unreserve(m_Reserved);
    m_Reserved = 0;
}

void Inbound::Connection::ArmIn(std::chrono::seconds seconds)
{
    Arm(Clock::now() + seconds);
}

// A time-out of 0 means none.
void Inbound::Connection::Arm(Clock::time_point deadline)
{
    if (m_Inbound.m_TimeoutSeconds == 0 && m_State != State::Lingering)
        return;
    const int64_t left =
        std::max<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count(), 1);
    const timeval timeout = {static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    event_add(m_pClock, &timeout);
}
