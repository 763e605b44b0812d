#include "CloudCall.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/keyvalq_struct.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "CloudJson.h"
#include "OutboundTls.h"
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

void ConnectionClosedCb(evhttp_connection*, void* pContext)
{
    if (CloudCall* pCall = CallOf(pContext, "NULL context in connection close callback"))
        pCall->OnConnectionClosed();
}

// A session the endpoint offers for later connections; with TLS 1.3 it comes
// after the handshake. A copy is kept: the connection's own is marked spent when
// the connection is freed without a TLS shutdown, which evhttp never sends.
int KeepNewSession(SSL* pSsl, SSL_SESSION* pSession)
{
    CloudCall* pCall = CallOf(SSL_get_app_data(pSsl), "NULL context in TLS session callback");
    SSL_SESSION* pCopy = pCall != nullptr ? SSL_SESSION_dup(pSession) : nullptr;
    if (pCopy != nullptr && !pCall->OnNewSession(pCopy))
        SSL_SESSION_free(pCopy);
    return 0;
}

bool IsNumericAddress(const std::string& host)
{
    evutil_addrinfo hints = {};
    hints.ai_flags = EVUTIL_AI_NUMERICHOST;
    evutil_addrinfo* pNumeric = nullptr;
    const bool numeric = evutil_getaddrinfo(host.c_str(), nullptr, &hints, &pNumeric) == 0;
    if (pNumeric != nullptr)
        evutil_freeaddrinfo(pNumeric);
    return numeric;
}

// TLS sends a request as several records; without this, Nagle's algorithm holds
// each back until the endpoint's delayed acknowledgement of the one before.
void SendWithoutDelay(evhttp_connection* pConnection)
{
    const int one = 1;
    evutil_socket_t fd = bufferevent_getfd(evhttp_connection_get_bufferevent(pConnection));
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

CloudCall::CloudCall(Owner& owner, const Context& context, const std::string& label)
    : m_Owner(owner)
    , m_Context(context)
    , m_Label(label)
    , m_State(State::Idle)
    , m_pHttpUri(nullptr)
    , m_pTlsBufferevent(nullptr)
    , m_pConnection(nullptr)
    , m_pRequest(nullptr)
    , m_pClock(nullptr)
    , m_NextAddress(0)
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
    if (strcasecmp(scheme, "http") != 0 && !IsSecure())
    {
        Trace("Unknown URI scheme [%s] for <>: must be either http or https\n", scheme);
        return false;
    }
    const std::string host = HostName();
    if (host.empty())
    {
        Trace("Failed to get host for HTTP <>\n");
        return false;
    }
    if (IsSecure() && !CreateTlsBufferevent())
        return false;
    // A name is looked up when the request is made, so that the lookup can be
    // cancelled with the exchange. Addresses, and names when the service has no DNS
    // base (the library then resolves them itself), are connected to directly.
    if ((IsNumericAddress(host) || m_Context.pResolver == nullptr) && !NewConnection(host.c_str()))
        return false;
    SetState(State::Prepared);
    return true;
}

bool CloudCall::CreateTlsBufferevent()
{
    SSL_CTX* pContext = m_Context.tls.Context(KeepNewSession);
    if (pContext == nullptr)
    {
        Trace("Failed to create HTTPS connection: OpenSSL context is not available for <>\n");
        return false;
    }
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        Trace("Failed to create new OpenSSL handle for <>\n");
        return false;
    }
    const std::string host = HostName();
    SSL_set_tlsext_host_name(pSsl, host.c_str());

    // Verify the endpoint before anything is sent, the access key included: the
    // chain against the trust store, and the name or address the URI gives. Set on
    // this connection's own handle, so the listening side is left as it is.
    X509_STORE* pTrustStore = m_Context.tls.TrustStore();
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    if (pTrustStore == nullptr || SSL_set1_verify_cert_store(pSsl, pTrustStore) != 1 ||
        (X509_VERIFY_PARAM_set1_ip_asc(pParam, host.c_str()) != 1 && SSL_set1_host(pSsl, host.c_str()) != 1))
    {
        Trace("Failed to set up certificate verification for <>\n");
        SSL_free(pSsl);
        return false;
    }
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, nullptr);
    // The session of an earlier call to this endpoint saves the full handshake; when
    // the endpoint does not take it up, the handshake is full and verified as above.
    SSL_set_app_data(pSsl, this);
    if (SSL_SESSION* pSession = m_Context.tls.FindSession(SessionKey()))
        SSL_set_session(pSsl, pSession);

    // From here the bufferevent owns the SSL handle, and frees it with itself.
    m_pTlsBufferevent = bufferevent_openssl_socket_new(m_Context.pBase, -1, pSsl, BUFFEREVENT_SSL_CONNECTING,
                                                       BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
    if (m_pTlsBufferevent == nullptr)
    {
        Trace("Failed to create new OpenSSL bufferevent for <>\n");
        SSL_free(pSsl);
        return false;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(m_pTlsBufferevent, 1);
    return true;
}

bool CloudCall::NewConnection(const char* address)
{
    // The connection takes over the TLS stream, if there is one.
    m_pConnection =
        evhttp_connection_base_bufferevent_new(m_Context.pBase, nullptr, m_pTlsBufferevent, address, Port());
    if (m_pConnection == nullptr)
    {
        Trace("Failed to create HTTP connection for <>\n");
        return false;
    }
    m_pTlsBufferevent = nullptr;
    // Told when a connection that was made closes: the request has gone out by then.
    evhttp_connection_set_closecb(m_pConnection, ConnectionClosedCb, this);
    // A reply over these ends the call as a failed exchange, not as memory held.
    evhttp_connection_set_max_body_size(m_pConnection, static_cast<ev_ssize_t>(m_Context.maxReplySize));
    evhttp_connection_set_max_headers_size(m_pConnection, kMaxReplyHeaderSize);
    // The body goes out in as few writes as the socket takes, not 16 kB per loop pass.
    bufferevent_set_max_single_write(evhttp_connection_get_bufferevent(m_pConnection), EV_SSIZE_MAX);
    return true;
}

bool CloudCall::MakeRequest(const Request& request)
{
    if (m_State != State::Prepared)
        return false;
    m_Request = request;
    m_pClock = event_new(m_Context.pBase, -1, 0, ClockCb, this);
    m_Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_Request.timeoutSeconds);
    const bool awaitToken = m_Context.pCredentials != nullptr && !m_Context.pCredentials->Valid();
    if (!awaitToken && (!NewRequest() || (m_pConnection != nullptr && !HandOver())))
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
        Trace("No access token for <>\n");
    if (!ok || !NewRequest() || (m_pConnection != nullptr && !HandOver()))
        FailSoon();
    else if (m_pConnection == nullptr)
        StartHostLookup();
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
    evhttp_add_header(pHeaders, "Host", HostHeader().c_str());
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
    const char* path = evhttp_uri_get_path(m_pHttpUri);
    std::string target = path != nullptr && *path != '\0' ? path : "/";
    if (const char* query = evhttp_uri_get_query(m_pHttpUri))
        target += std::string("?") + query;

    // The call's clock is the one that counts: the connection's own time-out is
    // set past it, and a failed connection is not tried again behind its back.
    evhttp_connection_set_timeout(m_pConnection, m_Request.timeoutSeconds + 1);
    evhttp_connection_set_retries(m_pConnection, 0);
    Trace("Make HTTP request for <>\n");
    // A completion that runs inside evhttp_make_request only clears m_pRequest;
    // the failure is reported once the library has returned.
    SetState(State::HandingOver);
    int rv = evhttp_make_request(m_pConnection, m_pRequest, m_Request.method, target.c_str());
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
    SendWithoutDelay(m_pConnection);
    return true;
}

void CloudCall::StartHostLookup()
{
    const std::string host = HostName();
    Trace("Resolve host [%s] for <>\n", host.c_str());
    SetState(State::Resolving);
    // The answer may come at once, from the hosts file or a fresh earlier answer.
    m_Context.pResolver->Resolve(host, *this);
}

void CloudCall::OnResolved(int error, const std::vector<std::string>& addresses)
{
    if (error != 0 || addresses.empty())
    {
        Trace("Failed to resolve host [%s] for <>: %s\n", HostName().c_str(), evutil_gai_strerror(error));
        FailSoon();
        return;
    }
    m_Addresses = addresses;
    m_NextAddress = 0;
    ConnectNext();
}

// The request goes to the next address on a connection, and a TLS stream, of its own.
void CloudCall::ConnectNext()
{
    const std::string& address = m_Addresses[m_NextAddress++];
    if ((IsSecure() && m_pTlsBufferevent == nullptr && !CreateTlsBufferevent()) || !NewConnection(address.c_str()) ||
        (m_pRequest == nullptr && !NewRequest()))
        FailSoon();
    else if (!HandOver())
        TryNextAddress();
}

// A connection failed before its request went out: the next address gets the request,
// from the loop, never from within the failed connection's callback.
void CloudCall::TryNextAddress()
{
    if (!HasNextAddress())
    {
        FailSoon();
        return;
    }
    const unsigned port = Port();
    Trace("Connect to [%s]:%u failed for <>: trying [%s]:%u\n", m_Addresses[m_NextAddress - 1].c_str(), port,
          m_Addresses[m_NextAddress].c_str(), port);
    m_pRequest = nullptr; // the connection frees it
    SetState(State::Reconnecting);
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
    const bool answered = pRequest != nullptr && evhttp_request_get_response_code(pRequest) != 0;
    if (!answered)
    {
        int error = errno;
        Trace("Request failed: %s (%d)\n", strerror(error), error);
        ReportVerificationFailure();
    }
    if (m_State == State::HandingOver)
        m_pRequest = nullptr;
    else if (m_State == State::InFlight && !answered && HasNextAddress())
        TryNextAddress();
    else if (m_State == State::InFlight || m_State == State::Reached)
        Finish(answered ? Outcome::Answered : Outcome::Failed);
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
        ReadReply(reply);
    Release();
    m_Owner.OnComplete(outcome, reply);
}

void CloudCall::ReadReply(Reply& reply) const
{
    reply.status = evhttp_request_get_response_code(m_pRequest);
    const char* codeLine = evhttp_request_get_response_code_line(m_pRequest);
    reply.reason = codeLine != nullptr ? codeLine : "";
    Trace("Received HTTP response [%d %s] for <> [%s]\n", reply.status, reply.reason.c_str(), TracedUri().c_str());
    for (const evkeyval* header = evhttp_request_get_input_headers(m_pRequest)->tqh_first; header != nullptr;
         header = header->next.tqe_next)
        Trace::Header(header->key, header->value);
    evbuffer* pInput = evhttp_request_get_input_buffer(m_pRequest);
    const size_t length = pInput != nullptr ? evbuffer_get_length(pInput) : 0;
    const unsigned char* pData = pInput != nullptr ? evbuffer_pullup(pInput, static_cast<ev_ssize_t>(length)) : nullptr;
    if (pData != nullptr)
        reply.body.assign(reinterpret_cast<const char*>(pData), length);
    if (reply.status != 200)
    {
        Trace("HTTP request failed [%d] <>\n", reply.status);
        TraceReason(reply.body);
        return;
    }
    if (pInput == nullptr)
        return;
    Trace("Data [%zu bytes] <>\n", length);
    if (m_Request.secret)
        return;
    Trace::Body(reply.body.data(), reply.body.size());
    Trace("\n");
}

// Google's own words for a refusal, kept even in a redacted trace: it holds no secret.
void CloudCall::TraceReason(const std::string& body) const
{
    const size_t kMaxReason = 300;
    std::string status;
    std::string message;
    if (!CloudJson::ReadError(body, status, message))
        return;
    if (message.size() > kMaxReason)
        message.resize(kMaxReason);
    Trace("Google's reason [%s]: %s for <>\n", status.c_str(), message.c_str());
}

void CloudCall::ReportVerificationFailure() const
{
    bufferevent* pStream = m_pConnection != nullptr ? evhttp_connection_get_bufferevent(m_pConnection) : nullptr;
    SSL* pSsl = pStream != nullptr ? bufferevent_openssl_get_ssl(pStream) : nullptr;
    long verifyResult = pSsl != nullptr ? SSL_get_verify_result(pSsl) : X509_V_OK;
    if (verifyResult != X509_V_OK)
        Trace("Certificate verification failed for <>: %s\n", X509_verify_cert_error_string(verifyResult));
}

void CloudCall::Release()
{
    Free(m_pHttpUri, evhttp_uri_free, "Clean up HTTP <>\n");
    Free(m_pClock, event_free, "Clear HTTP timer <>\n");
    CancelWaits();
    Free(m_pTlsBufferevent, bufferevent_free, nullptr);
    // A request the connection never took is still ours; one it took goes with it.
    if (ConnectionHasRequest())
        m_pRequest = nullptr;
    Free(m_pRequest, evhttp_request_free, nullptr);
    Free(m_pConnection, evhttp_connection_free, "Close HTTP connection <>\n");
    m_Request = Request();
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

// ---- The endpoint -------------------------------------------------------------------

std::string CloudCall::TracedUri() const
{
    return Trace::Redacted(m_Uri, m_Context.accessKey);
}

bool CloudCall::IsSecure() const
{
    const char* scheme = m_pHttpUri != nullptr ? evhttp_uri_get_scheme(m_pHttpUri) : nullptr;
    return scheme != nullptr && strcasecmp(scheme, "https") == 0;
}

std::string CloudCall::HostName() const
{
    const char* host = m_pHttpUri != nullptr ? evhttp_uri_get_host(m_pHttpUri) : nullptr;
    std::string name = host != nullptr ? host : "";
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return name;
}

uint16_t CloudCall::Port() const
{
    const int port = evhttp_uri_get_port(m_pHttpUri);
    if (port != -1)
        return static_cast<uint16_t>(port);
    return IsSecure() ? 443 : 80;
}

std::string CloudCall::HostHeader() const
{
    // The port belongs in it whenever it is not the scheme's own.
    const std::string host = evhttp_uri_get_host(m_pHttpUri);
    const uint16_t port = Port();
    return port == (IsSecure() ? 443 : 80) ? host : host + ":" + std::to_string(port);
}

std::string CloudCall::SessionKey() const
{
    return HostName() + " " + std::to_string(Port());
}

bool CloudCall::OnNewSession(SSL_SESSION* pSession)
{
    if (m_pHttpUri == nullptr)
        return false;
    m_Context.tls.KeepSession(SessionKey(), pSession);
    return true;
}
