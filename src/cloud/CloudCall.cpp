#include "CloudCall.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/keyvalq_struct.h>

#include "CloudEndpoint.h"
#include "CloudPool.h"
#include "CloudReply.h"
#include "OutboundTls.h"
#include "Retry.h"
#include "base/Timing.h"
#include "base/Trace.h"

namespace
{

const ev_ssize_t kMaxReplyHeaderSize = 64 << 10;

CloudCall* CallOf(void* pContext, const char* complaint)
{
    if (pContext == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<CloudCall*>(pContext);
}

void RequestDoneCb(evhttp_request* pRequest, void* pContext)
{
    if (CloudCall* pCall = CallOf(pContext, "NULL context in HTTP callback"))
        pCall->OnRequestDone(pRequest);
}

void ClockCb(evutil_socket_t, short, void* pContext)
{
    if (CloudCall* pCall = CallOf(pContext, "NULL context in timer callback"))
        pCall->OnClock();
}

void StepCb(evutil_socket_t, short, void* pContext)
{
    if (CloudCall* pCall = CallOf(pContext, "NULL context in timer callback"))
        pCall->OnStep();
}

// Bytes of a reply have come: a failure after them is not tried again.
void ReplyBytesCb(evbuffer*, const evbuffer_cb_info* pInfo, void* pContext)
{
    if (pInfo->n_added == 0)
        return;
    if (CloudCall* pCall = CallOf(pContext, "NULL context in connection callback"))
        pCall->OnReplyBytes(pInfo->n_added);
}

void ConnectionClosedCb(evhttp_connection*, void* pContext)
{
    if (CloudCall* pCall = CallOf(pContext, "NULL context in connection close callback"))
        pCall->OnConnectionClosed();
}

} // namespace

CloudCall::CloudCall(Owner& owner, const Context& context, const std::string& label)
    : m_Owner(owner)
    , m_Context(context)
    , m_Label(label)
{
}

CloudCall::~CloudCall()
{
    Release();
}

void CloudCall::Trace(const char* format, ...) const
{
    va_list arguments;
    va_start(arguments, format);
    Trace::PrintV(Trace::WithId(format, m_Label).c_str(), arguments);
    va_end(arguments);
}

// ---- Preparing and sending --------------------------------------------------------

bool CloudCall::CreateConnection(const std::string& uri)
{
    m_Uri = uri;
    m_pHttpUri = evhttp_uri_parse(uri.c_str());
    if (m_pHttpUri == nullptr)
    {
        Trace("Malformed HTTP URI [%s] provided for <>\n", TracedUri().c_str());
        return false;
    }
    const char* scheme = evhttp_uri_get_scheme(m_pHttpUri);
    if (scheme == nullptr)
    {
        Trace("Malformed URI scheme [%s] for <>\n", TracedUri().c_str());
        return false;
    }
    if (strcasecmp(scheme, "http") != 0 && !CloudEndpoint::IsSecure(m_pHttpUri))
    {
        Trace("Unknown URI scheme [%s] for <>: must be either http or https\n", scheme);
        return false;
    }
    const std::string host = CloudEndpoint::HostName(m_pHttpUri);
    if (host.empty())
    {
        Trace("Failed to get host for HTTP <>\n");
        return false;
    }
    m_Endpoint = std::string(scheme) + " " + CloudEndpoint::SessionKey(m_pHttpUri);
    if (TakeKept())
    {
        SetState(State::Prepared);
        return true;
    }
    if (CloudEndpoint::IsSecure(m_pHttpUri) && !NewTlsStream())
        return false;
    // A name is looked up when the request is made, so that the lookup can be
    // cancelled with the exchange. Addresses, and names when the service has no DNS
    // base (the library then resolves them itself), are connected to directly.
    if ((CloudEndpoint::IsNumericAddress(host) || m_Context.pResolver == nullptr) && !NewConnection(host.c_str()))
        return false;
    SetState(State::Prepared);
    return true;
}

bool CloudCall::NewTlsStream()
{
    const char* fault = "";
    m_pTlsBufferevent = m_Context.tls.NewStream(m_Context.pBase, CloudEndpoint::HostName(m_pHttpUri),
                                                CloudEndpoint::SessionKey(m_pHttpUri), fault);
    if (m_pTlsBufferevent == nullptr)
        Trace("%s for <>\n", fault);
    return m_pTlsBufferevent != nullptr;
}

bool CloudCall::NewConnection(const char* address)
{
    // The connection takes over the TLS stream, if there is one.
    m_pConnection = evhttp_connection_base_bufferevent_new(m_Context.pBase, nullptr, m_pTlsBufferevent, address,
                                                           CloudEndpoint::Port(m_pHttpUri));
    if (m_pConnection == nullptr)
    {
        Trace("Failed to create HTTP connection for <>\n");
        return false;
    }
    m_pTlsBufferevent = nullptr;
    m_Kept = false;
    Adopt();
    // The body goes out in as few writes as the socket takes, not 16 kB per loop pass.
    bufferevent_set_max_single_write(evhttp_connection_get_bufferevent(m_pConnection), EV_SSIZE_MAX);
    return true;
}

void CloudCall::Adopt()
{
    // Told when a connection that was made closes: the request has gone out by then.
    evhttp_connection_set_closecb(m_pConnection, ConnectionClosedCb, this);
    evbuffer_add_cb(bufferevent_get_input(evhttp_connection_get_bufferevent(m_pConnection)), ReplyBytesCb, this);
    m_ReplyBegun = false;
    m_KeepOpen = false;
    // A reply over these ends the call as a failed exchange, not as memory held.
    evhttp_connection_set_max_body_size(m_pConnection, static_cast<ev_ssize_t>(m_Context.maxReplySize));
    evhttp_connection_set_max_headers_size(m_pConnection, kMaxReplyHeaderSize);
}

bool CloudCall::TakeKept()
{
    if (m_Context.pPool == nullptr)
        return false;
    m_pConnection = m_Context.pPool->Take(m_Endpoint);
    if (m_pConnection == nullptr)
        return false;
    Trace("Reuse HTTP connection for <>\n");
    Adopt();
    m_Kept = true;
    return true;
}

// From the loop: the kept connection is closed, and the request goes out as it would
// have without one.
void CloudCall::Renew()
{
    Free(m_pConnection, evhttp_connection_free, nullptr);
    m_Kept = false;
    const std::string host = CloudEndpoint::HostName(m_pHttpUri);
    if (!CloudEndpoint::IsNumericAddress(host) && m_Context.pResolver != nullptr)
        StartHostLookup();
    else
        StartTry();
}

bool CloudCall::MakeRequest(const Request& request)
{
    if (m_State != State::Prepared)
        return false;
    m_Request = request;
    m_pClock = event_new(m_Context.pBase, -1, 0, ClockCb, this);
    m_pStep = evtimer_new(m_Context.pBase, StepCb, this);
    m_Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_Request.timeoutSeconds);
    const bool awaitToken = m_Context.pCredentials != nullptr && !m_Context.pCredentials->Valid();
    if (m_pStep == nullptr || (!awaitToken && (!NewRequest() || (m_pConnection != nullptr && !HandOver()))))
        return false;
    // Armed before a lookup or a token fetch starts: either may fail at once.
    const timeval timeout = {m_Request.timeoutSeconds, 0};
    if (m_pClock == nullptr || event_add(m_pClock, &timeout) != 0)
        return false;
    Trace("Set HTTP request timer %d sec for <>\n", m_Request.timeoutSeconds);
    if (awaitToken)
    {
        Trace("Wait for an access token for <>\n");
        SetState(State::AwaitingToken);
        m_Context.pCredentials->Wait(*this);
    }
    else if (m_pConnection == nullptr)
        StartHostLookup();
    return true;
}

void CloudCall::OnToken(bool ok)
{
    if (m_State != State::AwaitingToken)
        return;
    SetState(State::Prepared);
    if (!ok)
    {
        Trace("No access token for <>\n");
        FailSoon();
    }
    else
        Proceed();
}

// The request goes out on the connection made for the address, or to the name's
// addresses once they are known.
void CloudCall::Proceed()
{
    if (m_pConnection == nullptr)
        StartHostLookup();
    else if (!NewRequest() || !HandOver())
        FailSoon();
}

bool CloudCall::NewRequest()
{
    m_pRequest = evhttp_request_new(RequestDoneCb, this);
    // Referenced, not moved, so that the body is still whole for the next address;
    // the audio in it stays where it is.
    evbuffer* pOutput = m_pRequest != nullptr ? evhttp_request_get_output_buffer(m_pRequest) : nullptr;
    if (m_pClock == nullptr || pOutput == nullptr ||
        (m_Request.pBody != nullptr && evbuffer_add_buffer_reference(pOutput, m_Request.pBody) != 0))
    {
        Trace("Failed to create a new HTTP request for <>\n");
        return false;
    }
    evkeyvalq* pHeaders = evhttp_request_get_output_headers(m_pRequest);
    evhttp_add_header(pHeaders, "Host", CloudEndpoint::HostHeader(m_pHttpUri).c_str());
    if (m_Request.pBody != nullptr)
        evhttp_add_header(pHeaders, "Content-type", m_Request.contentType);
    for (const auto& header : m_Request.headers)
        evhttp_add_header(pHeaders, header.first.c_str(), header.second.c_str());
    if (m_Context.pCredentials != nullptr)
        evhttp_add_header(pHeaders, "Authorization", ("Bearer " + m_Context.pCredentials->Token()).c_str());
    return true;
}

bool CloudCall::HandOver()
{
    // The call's clock is the one that counts: the connection's own time-out is
    // set past it, and a failed connection is not tried again behind its back.
    evhttp_connection_set_timeout(m_pConnection, m_Request.timeoutSeconds + 1);
    evhttp_connection_set_retries(m_pConnection, 0);
    Trace("Make HTTP request for <>\n");
    // A completion that runs inside evhttp_make_request only clears m_pRequest;
    // the failure is reported once the library has returned.
    SetState(State::HandingOver);
    int rv =
        evhttp_make_request(m_pConnection, m_pRequest, m_Request.method, CloudEndpoint::Target(m_pHttpUri).c_str());
    if (rv != 0)
    {
        Trace("Failed to make HTTP request rv %d for <>\n", rv);
        m_pRequest = nullptr;
        return false;
    }
    if (m_pRequest == nullptr)
    {
        Trace("Unexecpected error in callback for <>\n");
        return false;
    }
    SetState(State::InFlight);
    if (!m_Kept)
        CloudPool::SendWithoutDelay(m_pConnection);
    return true;
}

void CloudCall::StartHostLookup()
{
    const std::string host = CloudEndpoint::HostName(m_pHttpUri);
    Trace("Resolve host [%s] for <>\n", host.c_str());
    SetState(State::Resolving);
    // The answer may come at once, from the hosts file or a fresh earlier answer.
    m_Context.pResolver->Resolve(host, *this);
}

void CloudCall::OnResolved(int error, const std::vector<std::string>& addresses)
{
    if (error != 0 || addresses.empty())
    {
        Trace("Failed to resolve host [%s] for <>: %s\n", CloudEndpoint::HostName(m_pHttpUri).c_str(),
              evutil_gai_strerror(error));
        FailSoon();
        return;
    }
    m_Addresses = addresses;
    m_NextAddress = 0;
    ConnectNext();
}

// The request goes to the next address on a connection, and a TLS stream, of its
// own; while another address follows, this one has its share of the time to connect.
void CloudCall::ConnectNext()
{
    const std::string& address = m_Addresses[m_NextAddress++];
    if ((CloudEndpoint::IsSecure(m_pHttpUri) && m_pTlsBufferevent == nullptr && !NewTlsStream()) ||
        !NewConnection(address.c_str()) || (m_pRequest == nullptr && !NewRequest()))
        FailSoon();
    else if (!HandOver())
        TryNextAddress("failed");
    else if (HasNextAddress())
        ArmStep(std::chrono::duration_cast<std::chrono::milliseconds>(m_Context.connectTimeout));
}

// A connection failed or was not made before its request went out: the next address
// gets the request, from the loop, never from within the failed connection's
// callback; after the last, the whole call may be tried again.
void CloudCall::TryNextAddress(const char* what)
{
    if (!HasNextAddress())
    {
        if (!TryAgain(0, "connection failed", -1))
            FailSoon();
        return;
    }
    const unsigned port = CloudEndpoint::Port(m_pHttpUri);
    Trace("Connect to [%s]:%u %s for <>: trying [%s]:%u\n", m_Addresses[m_NextAddress - 1].c_str(), port, what,
          m_Addresses[m_NextAddress].c_str(), port);
    m_pRequest = nullptr; // the connection frees it
    SetState(State::Reconnecting);
    event_del(m_pStep);
    event_active(m_pClock, EV_TIMEOUT, 1);
}

bool CloudCall::Reconnect()
{
    // Running took the clock's time-out away: it is set again to the time left.
    if (m_Deadline <= SteadyClock::now())
        return false;
    ArmAt(m_pClock, m_Deadline);
    Free(m_pConnection, evhttp_connection_free, nullptr);
    ConnectNext();
    return true;
}

bool CloudCall::Connected() const
{
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    const evutil_socket_t fd = bufferevent_getfd(evhttp_connection_get_bufferevent(m_pConnection));
    return fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

// ---- Trying again -------------------------------------------------------------------

bool CloudCall::TryAgain(int status, const std::string& why, int retryAfterSeconds)
{
    if (m_Tries >= m_Context.retries)
        return false;
    // A wait the reply asks for is kept when it ends in time; else the call's own.
    const auto pause =
        retryAfterSeconds >= 0 ? std::chrono::milliseconds(retryAfterSeconds * 1000) : Retry::Backoff(m_Tries + 1);
    if (SteadyClock::now() + pause >= m_Deadline)
        return false;
    ++m_Tries;
    Trace("Try [%d] of [%d] again in [%lld] ms for <>: %s\n", m_Tries, m_Context.retries,
          static_cast<long long>(pause.count()), why.c_str());
    m_Context.metrics.CountRetry(m_Request.kind, status);
    m_pRequest = nullptr; // the connection frees it
    SetState(State::Pausing);
    ArmStep(pause);
    return true;
}

void CloudCall::ArmStep(std::chrono::milliseconds delay)
{
    const timeval timeout = ToTimeval(delay);
    event_add(m_pStep, &timeout);
}

void CloudCall::OnStep()
{
    if (m_State == State::Pausing)
        StartTry();
    else if (m_State == State::Renewing)
        Renew();
    else if (m_State == State::InFlight && !Connected())
        TryNextAddress("timed out");
}

// Everything from the last try is dropped but the clock: a fresh connection to the
// first address, the same request.
void CloudCall::StartTry()
{
    Free(m_pConnection, evhttp_connection_free, nullptr);
    if (!m_Addresses.empty())
    {
        m_NextAddress = 0;
        ConnectNext();
        return;
    }
    const std::string host = CloudEndpoint::HostName(m_pHttpUri);
    if ((CloudEndpoint::IsSecure(m_pHttpUri) && !NewTlsStream()) || !NewConnection(host.c_str()) || !NewRequest() ||
        !HandOver())
        FailSoon();
}

// ---- Ending -------------------------------------------------------------------------

void CloudCall::FailSoon()
{
    // Reported from the loop, never from inside the caller's stack.
    SetState(State::Failed);
    event_active(m_pClock, EV_TIMEOUT, 1);
}

void CloudCall::OnRequestDone(evhttp_request* pRequest)
{
    if (pRequest != nullptr && pRequest != m_pRequest)
    {
        Trace("Mismatch in HTTP request and response\n");
        return;
    }
    // libevent reports a connection that failed before any reply with no request,
    // or with a request that has no status.
    const int status = pRequest != nullptr ? evhttp_request_get_response_code(pRequest) : 0;
    if (status == 0)
    {
        int error = errno;
        Trace("Request failed: %s (%d)\n", strerror(error), error);
        const std::string failure = OutboundTls::VerificationFailure(
            m_pConnection != nullptr ? evhttp_connection_get_bufferevent(m_pConnection) : nullptr);
        // An endpoint that fails its check fails it again: it is not tried again.
        if (!failure.empty())
            Trace("Certificate verification failed for <>: %s\n", failure.c_str());
        m_ReplyBegun = m_ReplyBegun || !failure.empty();
    }
    if (m_State == State::HandingOver)
        m_pRequest = nullptr;
    else if (m_Kept && status == 0 && !m_ReplyBegun)
    {
        // The endpoint may have closed it just as the request went: not a try.
        Trace("Reused HTTP connection failed for <>: sending on a new one\n");
        m_pRequest = nullptr; // the connection frees it
        SetState(State::Renewing);
        ArmStep(std::chrono::milliseconds(0));
    }
    else if (m_State == State::InFlight && status == 0 && HasNextAddress())
        TryNextAddress("failed");
    else if (m_State != State::InFlight && m_State != State::Reached)
        return;
    else if (status == 0
                 ? m_ReplyBegun || !TryAgain(0, "connection failed before a reply", -1)
                 : !Retry::IsTransient(status) ||
                       !TryAgain(status, std::to_string(status) + " " + evhttp_request_get_response_code_line(pRequest),
                                 Retry::RetryAfter(evhttp_request_get_input_headers(pRequest))))
    {
        // Whole, and the connection still open (a close would have made it Reached).
        m_KeepOpen = status != 0 && m_State == State::InFlight;
        Finish(status != 0 ? Outcome::Answered : Outcome::Failed);
    }
}

void CloudCall::OnConnectionClosed()
{
    if (m_State == State::InFlight)
        SetState(State::Reached);
}

void CloudCall::OnClock()
{
    if (m_State == State::Failed)
    {
        Finish(Outcome::Failed);
        return;
    }
    if (m_State == State::Reconnecting && Reconnect())
        return;
    Trace("Request timed out for <>\n");
    Finish(Outcome::TimedOut);
}

void CloudCall::Finish(Outcome outcome)
{
    Reply reply;
    if (outcome == Outcome::Answered)
        CloudReply::Read(m_pRequest, m_Label, TracedUri(), m_Request.secret, reply);
    Release();
    m_Owner.OnComplete(outcome, reply);
}

void CloudCall::Release()
{
    Free(m_pHttpUri, evhttp_uri_free, "Clean up HTTP <>\n");
    Free(m_pClock, event_free, "Clear HTTP timer <>\n");
    Free(m_pStep, event_free, nullptr);
    CancelWaits();
    Free(m_pTlsBufferevent, bufferevent_free, nullptr);
    // A request the connection never took is still ours; one it took goes with it.
    if (ConnectionHasRequest())
        m_pRequest = nullptr;
    Free(m_pRequest, evhttp_request_free, nullptr);
    if (m_KeepOpen && m_Context.pPool != nullptr && m_pConnection != nullptr)
    {
        Trace("Keep HTTP connection <>\n");
        // Nothing of this call may be told of the connection from here on.
        evhttp_connection_set_closecb(m_pConnection, nullptr, nullptr);
        evbuffer_remove_cb(bufferevent_get_input(evhttp_connection_get_bufferevent(m_pConnection)), ReplyBytesCb, this);
        m_Context.pPool->GiveBack(m_Endpoint, m_pConnection);
        m_pConnection = nullptr;
    }
    m_KeepOpen = false;
    Free(m_pConnection, evhttp_connection_free, "Close HTTP connection <>\n");
    m_Request = Request();
    m_Tries = 0;
    if (m_Context.pBudget != nullptr)
        m_Context.pBudget->Release(m_Reserved);
    m_Reserved = 0;
    m_Addresses.clear();
    SetState(State::Idle);
}

template <typename Handle>
void CloudCall::Free(Handle*& pHandle, void (*pFree)(Handle*), const char* line) const
{
    if (pHandle == nullptr)
        return;
    if (line != nullptr)
        Trace::Print("%s", Trace::WithId(line, m_Label).c_str());
    pFree(pHandle);
    pHandle = nullptr;
}

void CloudCall::CancelWaits()
{
    if (m_State == State::AwaitingToken)
        m_Context.pCredentials->Cancel(*this);
    if (m_State != State::Resolving)
        return;
    Trace("Cancel host lookup <>\n");
    m_Context.pResolver->Cancel(*this);
}

std::string CloudCall::TracedUri() const
{
    return Trace::Redacted(m_Uri, m_Context.accessKey);
}

// A reply is held against the same budget as the callers' bodies, as it comes. One
// that does not fit is cut off: libevent fails it as too long, which fails the call.
void CloudCall::OnReplyBytes(size_t bytes)
{
    m_ReplyBegun = true;
    if (m_Context.pBudget == nullptr || bytes == 0 || m_pConnection == nullptr)
        return;
    if (m_Context.pBudget->Reserve(bytes))
    {
        m_Reserved += bytes;
        return;
    }
    Trace("No room for the reply for <>: [%zu] bytes\n", m_Reserved + bytes);
    evhttp_connection_set_max_body_size(m_pConnection, 0);
}
