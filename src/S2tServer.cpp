#include "S2tServer.h"

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include "GcClient.h"

namespace
{

void EventLogCallback(int severity, const char* msg)
{
    printf("%d %s\n", severity, msg);
}

// The service a callback was given, or null, with `complaint` traced, when it has none.
S2tServer* ServerOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        puts(complaint);
    return static_cast<S2tServer*>(pArg);
}

bufferevent* BevCallback(event_base* pEventBase, void* pArg)
{
    S2tServer* pServer = ServerOf(pArg, "NULL context in connection callback");
    return pServer != nullptr ? pServer->OnNewConnection(pEventBase) : nullptr;
}

void RequestBytesRead(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg);
void ReplyBytesQueued(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg);

void ForwardRequest(evhttp_request* req, void* pArg, S2tServer::Endpoint endpoint)
{
    if (S2tServer* pServer = ServerOf(pArg, "NULL context in HTTP server callback"))
        pServer->OnHttpRequest(req, endpoint);
}

void TranscribeRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Transcribe);
}

void LivenessRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Liveness);
}

void ReadinessRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Readiness);
}

void ExitRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Exit);
}

void ExitReplySentCb(evhttp_request*, void* pArg)
{
    if (S2tServer* pServer = ServerOf(pArg, "NULL context in HTTP server callback"))
        pServer->OnExitReplySent();
}

void DrainReplySentCb(evhttp_request*, void* pArg)
{
    if (S2tServer* pServer = ServerOf(pArg, "NULL context in HTTP server callback"))
        pServer->OnDrainReplySent();
}

void StopSignalCb(evutil_socket_t signal, short, void* pArg)
{
    if (S2tServer* pServer = ServerOf(pArg, "NULL context in signal callback"))
        pServer->OnStopSignal(static_cast<int>(signal));
}

void AcceptCheckCb(evutil_socket_t, short, void* pArg)
{
    if (S2tServer* pServer = ServerOf(pArg, "NULL context in timer callback"))
        pServer->OnAcceptCheck();
}

// accept() failed, most likely for want of a descriptor. Left enabled, the listener
// would retry on every pass of the loop, spinning and tracing each time; it is
// paused instead, and OnAcceptCheck resumes it once a descriptor is free.
void AcceptErrorCb(evconnlistener* pListener, void*)
{
    int error = EVUTIL_SOCKET_ERROR();
    evconnlistener_disable(pListener);
    printf("Accepting paused: %s (%d)\n", evutil_socket_error_to_string(error), error);
}

// First bytes on a connection that could not get TLS: close the socket so the HTTP
// layer sees the end of the stream and frees the connection.
void DropOnInput(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (pInfo->n_added == 0)
        return;
    evutil_socket_t fd = bufferevent_getfd(static_cast<bufferevent*>(pArg));
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

// A bufferevent that never lets the HTTP layer read a request: its input is frozen
// at the front, and the first bytes received close the connection. Handing the HTTP
// layer no bufferevent at all would make it serve the connection in plain text.
bufferevent* NewDroppingBufferevent(event_base* pEventBase)
{
    bufferevent* pBev = bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    evbuffer* pInput = bufferevent_get_input(pBev);
    evbuffer_freeze(pInput, 1);
    evbuffer_add_cb(pInput, DropOnInput, pBev);
    return pBev;
}

const char* MethodName(evhttp_cmd_type type)
{
    switch (type)
    {
    case EVHTTP_REQ_GET:
        return "GET";
    case EVHTTP_REQ_POST:
        return "POST";
    case EVHTTP_REQ_HEAD:
        return "HEAD";
    case EVHTTP_REQ_PUT:
        return "PUT";
    case EVHTTP_REQ_DELETE:
        return "DELETE";
    case EVHTTP_REQ_OPTIONS:
        return "OPTIONS";
    case EVHTTP_REQ_TRACE:
        return "TRACE";
    case EVHTTP_REQ_CONNECT:
        return "CONNECT";
    case EVHTTP_REQ_PATCH:
        return "PATCH";
    default:
        return "unknown";
    }
}

// An event base whose epoll interest changes are made once per loop pass, not once
// per change: connections add and drop interest several times in a pass. The
// changelist's known trap is descriptors shared through dup(), which this service
// never makes.
event_base* NewEventBase()
{
    event_config* pConfig = event_config_new();
    if (pConfig == nullptr)
        return nullptr;
    event_config_set_flag(pConfig, EVENT_BASE_FLAG_EPOLL_USE_CHANGELIST);
    event_base* pBase = event_base_new_with_config(pConfig);
    event_config_free(pConfig);
    return pBase;
}

// Modern clients only: TLS 1.2 with forward-secret AEAD suites, or TLS 1.3.
const char* const kListenerCiphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const timeval kAcceptCheckInterval = {0, 250000};

// Whether a descriptor could be had now: the probe is closed again at once.
bool DescriptorFree()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

// Once a second has passed without a request of at least this size ending, the
// memory of large bodies goes back to the system: glibc would otherwise keep their
// peak for good, and returning it after each one would fault it in again for the next.
const size_t kTrimAfterBytes = 1 << 20;
const timeval kTrimDelay = {1, 0};
// RapidJSON's SIMD string scan reads whole 16-byte blocks, past the closing quote
// of the last string: the body keeps that much room after its end.
const size_t kParsePadding = 16;

void TrimCb(evutil_socket_t, short, void*)
{
    malloc_trim(0);
}

// Moves the body out of the input buffer chain by chain: one copy, and no
// zero-filling of the string before it.
void TakeBody(evbuffer* pInput, std::string& body)
{
    const size_t length = evbuffer_get_length(pInput);
    const int count = evbuffer_peek(pInput, -1, nullptr, nullptr, 0);
    std::vector<evbuffer_iovec> chains(count > 0 ? static_cast<size_t>(count) : 0);
    evbuffer_peek(pInput, -1, nullptr, chains.data(), count);
    body.reserve(length + kParsePadding);
    for (const evbuffer_iovec& chain : chains)
        body.append(static_cast<const char*>(chain.iov_base), chain.iov_len);
    evbuffer_drain(pInput, length);
}

// The length of what a length-based RapidJSON parse passes over as a UTF-8 byte
// order mark: EF BB BF, or the leading part of it that is there.
size_t ByteOrderMarkLength(const char* text)
{
    const char* mark = "\xEF\xBB\xBF";
    size_t length = 0;
    while (length < 3 && text[length] == mark[length])
        ++length;
    return length;
}

// OpenSSL's reason for the last failure, or the system's own words for a file it
// could not read ("Permission denied"), which OpenSSL itself calls "system lib".
std::string OpenSslReason()
{
    std::string text = "unknown error";
    bool fromSystem = false;
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error())
    {
        const char* reason = ERR_reason_error_string(error);
        if (ERR_SYSTEM_ERROR(error))
            text = strerror(ERR_GET_REASON(error));
        else if (!fromSystem && reason != nullptr)
            text = reason;
        fromSystem = fromSystem || ERR_SYSTEM_ERROR(error);
    }
    return text;
}

} // namespace

void CopyStringMember(const rapidjson::Value& object, const char* name, std::string& out)
{
    rapidjson::Value::ConstMemberIterator member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString())
        return;
    const char* text = member->value.GetString();
    const size_t length = member->value.GetStringLength();
    const void* nul = memchr(text, '\0', length);
    out.assign(text, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length);
}

void CopyUintMember(const rapidjson::Value& object, const char* name, uint64_t& out)
{
    rapidjson::Value::ConstMemberIterator member = object.FindMember(name);
    if (member != object.MemberEnd() && member->value.IsUint64())
        out = member->value.GetUint64();
}

void TraceHeaders(const evkeyvalq* pHeaders, HeaderMap* pCollected)
{
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
    {
        printf("  %s: %s\n", header->key, header->value);
        if (pCollected != nullptr)
            (*pCollected)[header->key] = header->value;
    }
}

S2tServer::Request::Request(S2tServer* pServer)
    : m_pServer(pServer)
    , m_Id(0)
    , m_pHttpRequest(nullptr)
    , m_BodySize(0)
{
}

S2tServer::Request::~Request() = default;

// libevent's read time-out starts again with every byte, so a client sending one
// byte a second would hold its connection for ever. A request must arrive whole
// within the time-out of its first byte, plus a second for every kMinRequestRate
// bytes it brings, so that a large body on a slower link still fits.
struct S2tServer::RequestClock
{
    static const size_t kMinRequestRate = 64 << 10; // bytes per second

    bufferevent* pBev;
    timeval timeout;
    std::chrono::steady_clock::time_point deadline;
    bool running;

    void OnRead(size_t bytes)
    {
        using namespace std::chrono;
        const steady_clock::time_point now = steady_clock::now();
        if (!running)
            deadline = now + seconds(timeout.tv_sec);
        running = true;
        deadline += microseconds(bytes * 1000000 / kMinRequestRate);
        const int64_t left = duration_cast<microseconds>(deadline - now).count();
        // Past due: at once, as a zero time-out would mean none at all.
        timeval readTimeout = {static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        if (left <= 0)
            readTimeout = {0, 1};
        bufferevent_set_timeouts(pBev, &readTimeout, &timeout);
    }

    // The request is answered: the next one on the connection gets a clock of its own.
    void OnReply()
    {
        running = false;
        bufferevent_set_timeouts(pBev, &timeout, &timeout);
    }
};

namespace
{

// The clock of a buffer callback that added bytes; null for one that drained them.
S2tServer::RequestClock* ClockOnAdd(const evbuffer_cb_info* pInfo, void* pArg)
{
    if (pInfo->n_added == 0)
        return nullptr;
    if (pArg == nullptr)
        puts("NULL context in request clock callback");
    return static_cast<S2tServer::RequestClock*>(pArg);
}

void RequestBytesRead(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (S2tServer::RequestClock* pClock = ClockOnAdd(pInfo, pArg))
        pClock->OnRead(pInfo->n_added);
}

void ReplyBytesQueued(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (S2tServer::RequestClock* pClock = ClockOnAdd(pInfo, pArg))
        pClock->OnReply();
}

} // namespace

S2tServer::S2tServer(const std::string& name, bool debugLogging)
    : m_Name(name)
    , m_EventLoopOn(false)
    , m_pEventBase(nullptr)
    , m_pDnsEventBase(nullptr)
    , m_pSslContext(nullptr)
    , m_pHttp(nullptr)
    , m_pTrimTimer(nullptr)
    , m_pBoundSocket(nullptr)
    , m_pSigTerm(nullptr)
    , m_pSigInt(nullptr)
    , m_pAcceptCheck(nullptr)
    , m_Draining(false)
    , m_RepliesInWriting(0)
    , m_pGcClient(nullptr)
    , m_Port(1080)
    , m_Secure(false)
    , m_MaxBodySize(16 << 20)
    , m_MaxHeaderSize(64 << 10)
    , m_TimeoutSeconds(30)
    , m_LastRequestId(0)
{
    event_set_log_callback(EventLogCallback);
    if (debugLogging)
        event_enable_debug_logging(EVENT_DBG_ALL);
    if (evthread_use_pthreads() != 0)
        puts("Failed to initialize libevent to use threads");
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

S2tServer::~S2tServer() = default;

bool S2tServer::Create(const std::string& configPath)
{
    if (CreateHandles(configPath))
        return true;
    Cleanup();
    return false;
}

bool S2tServer::CreateHandles(const std::string& configPath)
{
    m_pGcClient = new GcClient("GC", this);
    if (!LoadConfig(configPath))
        return false;

    // Made even for plain HTTP: outbound HTTPS uses the same context.
    m_pSslContext = SSL_CTX_new(TLS_method());
    if (m_pSslContext == nullptr)
    {
        printf("Failed to initialize OpenSSL context <%s>\n", m_Name.c_str());
        m_Secure = false;
    }
    else
    {
        if (!SetupListenerTls() || (m_Secure && !SetupCerts()))
            return false;
    }

    m_pEventBase = NewEventBase();
    if (m_pEventBase == nullptr)
    {
        printf("Failed to initialize event base <%s>\n", m_Name.c_str());
        return false;
    }
    if (evthread_make_base_notifiable(m_pEventBase) != 0)
        printf("Failed to make event base notifiable <%s>\n", m_Name.c_str());

    // Without it, memory is only kept, not lost: no start-up failure.
    m_pTrimTimer = evtimer_new(m_pEventBase, TrimCb, nullptr);
    m_pDnsEventBase = evdns_base_new(m_pEventBase, EVDNS_BASE_INITIALIZE_NAMESERVERS);
    if (m_pDnsEventBase == nullptr)
        printf("Failed to initialize async DNS event base <%s>\n", m_Name.c_str());
    return CreateHttpServer();
}

bool S2tServer::CreateHttpServer()
{
    m_pHttp = evhttp_new(m_pEventBase);
    if (m_pHttp == nullptr)
    {
        puts("Couldn't create evhttp");
        return false;
    }
    evhttp_set_bevcb(m_pHttp, BevCallback, this);
    evhttp_set_max_body_size(m_pHttp, static_cast<ev_ssize_t>(m_MaxBodySize));
    evhttp_set_max_headers_size(m_pHttp, static_cast<ev_ssize_t>(m_MaxHeaderSize));
    // Covers TLS handshakes too, which run on the same bufferevent.
    const timeval timeout = {static_cast<time_t>(m_TimeoutSeconds), 0};
    evhttp_set_timeout_tv(m_pHttp, &timeout);
    // The 413 for an oversized request is read to its end, not reset under the client.
    evhttp_set_flags(m_pHttp, EVHTTP_SERVER_LINGERING_CLOSE);

    evhttp_set_cb(m_pHttp, "/transcribe", TranscribeRequestCb, this);
    evhttp_set_cb(m_pHttp, "/liveness", LivenessRequestCb, this);
    evhttp_set_cb(m_pHttp, "/readiness", ReadinessRequestCb, this);
    evhttp_set_cb(m_pHttp, "/exit", ExitRequestCb, this);

    if (m_Address.empty())
        m_Address = "0.0.0.0";
    m_pBoundSocket = evhttp_bind_socket_with_handle(m_pHttp, m_Address.c_str(), m_Port);
    if (m_pBoundSocket == nullptr)
    {
        printf("Couldn't bind to %s:%d\n", m_Address.c_str(), m_Port);
        return false;
    }
    evconnlistener_set_error_cb(evhttp_bound_socket_get_listener(m_pBoundSocket), AcceptErrorCb);
    return WatchSignalsAndAccepting();
}

bool S2tServer::WatchSignalsAndAccepting()
{
    m_pSigTerm = evsignal_new(m_pEventBase, SIGTERM, StopSignalCb, this);
    m_pSigInt = evsignal_new(m_pEventBase, SIGINT, StopSignalCb, this);
    m_pAcceptCheck = event_new(m_pEventBase, -1, EV_PERSIST, AcceptCheckCb, this);
    if (m_pSigTerm == nullptr || m_pSigInt == nullptr || m_pAcceptCheck == nullptr ||
        event_add(m_pSigTerm, nullptr) != 0 || event_add(m_pSigInt, nullptr) != 0 ||
        event_add(m_pAcceptCheck, &kAcceptCheckInterval) != 0)
    {
        puts("Couldn't watch for stop signals");
        return false;
    }
    return true;
}

void S2tServer::OnAcceptCheck()
{
    if (m_pBoundSocket != nullptr && DescriptorFree())
        evconnlistener_enable(evhttp_bound_socket_get_listener(m_pBoundSocket));
}

void S2tServer::OnStopSignal(int signal)
{
    if (m_Draining)
    {
        printf("Received signal %d again: stopping at once\n", signal);
        m_EventLoopOn = false;
        event_base_loopbreak(m_pEventBase);
        return;
    }
    printf("Received signal %d: no new requests, %zu in flight to finish\n", signal, m_RequestMap.size());
    m_Draining = true;
    evhttp_del_accept_socket(m_pHttp, m_pBoundSocket);
    m_pBoundSocket = nullptr;
    FinishDrainWhenDone();
}

void S2tServer::FinishDrainWhenDone()
{
    if (!m_Draining || !m_RequestMap.empty())
        return;
    if (m_EventLoopOn)
    {
        puts("Drained: no request in flight");
        m_EventLoopOn = false;
        // A caller that has gone away never completes its reply: stop a little later anyway.
        const timeval bound = {1, 0};
        event_base_loopexit(m_pEventBase, &bound);
    }
    // The loop stops once the last replies have been written.
    if (m_RepliesInWriting == 0)
        event_base_loopbreak(m_pEventBase);
}

void S2tServer::OnDrainReplySent()
{
    --m_RepliesInWriting;
    FinishDrainWhenDone();
}

void S2tServer::RunEventLoop()
{
    printf("Start HTTP event loop <%s>\n", m_Name.c_str());
    m_EventLoopOn = true;
    // One pass at a time: what a pass traced goes out in one write before the loop
    // waits again. Once stopping, passes go on until the exit reply is out or its
    // time bound has passed.
    do
    {
        fflush(stdout);
        event_base_loop(m_pEventBase, EVLOOP_ONCE);
    } while (m_EventLoopOn || !(event_base_got_break(m_pEventBase) || event_base_got_exit(m_pEventBase)));
    printf("Ended HTTP event loop <%s>\n", m_Name.c_str());
}

void S2tServer::Destroy()
{
    Cleanup();
}

void S2tServer::Cleanup()
{
    for (event** ppEvent : {&m_pTrimTimer, &m_pAcceptCheck, &m_pSigInt, &m_pSigTerm})
    {
        if (*ppEvent != nullptr)
            event_free(*ppEvent);
        *ppEvent = nullptr;
    }
    m_pBoundSocket = nullptr;
    if (m_pHttp != nullptr)
    {
        evhttp_free(m_pHttp);
        m_pHttp = nullptr;
    }
    // Requests still in flight hold timers and connections on the bases below.
    ReleaseRequests();
    if (m_pDnsEventBase != nullptr)
    {
        evdns_base_free(m_pDnsEventBase, 0);
        m_pDnsEventBase = nullptr;
    }
    if (m_pEventBase != nullptr)
    {
        event_base_free(m_pEventBase);
        m_pEventBase = nullptr;
    }
    if (m_pSslContext != nullptr)
    {
        SSL_CTX_free(m_pSslContext);
        m_pSslContext = nullptr;
    }
    delete m_pGcClient;
    m_pGcClient = nullptr;
}

void S2tServer::ReleaseRequests()
{
    if (m_RequestMap.empty())
        return;
    for (auto& entry : m_RequestMap)
        delete entry.second;
    m_RequestMap.clear();
    // Cancelled name lookups report back through the loop; let them, so their
    // memory is returned before the bases go.
    if (m_pEventBase != nullptr)
        event_base_loop(m_pEventBase, EVLOOP_NONBLOCK);
}

bool S2tServer::SetupListenerTls()
{
    SSL_CTX_set_options(m_pSslContext, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_min_proto_version(m_pSslContext, TLS1_2_VERSION) == 1 &&
        SSL_CTX_set_cipher_list(m_pSslContext, kListenerCiphers) == 1)
        return true;
    printf("Failed to set the TLS protocols and ciphers <%s>: %s\n", m_Name.c_str(), OpenSslReason().c_str());
    return false;
}

bool S2tServer::SetupCerts()
{
    printf("Loading certificate chain [%s] private key [%s]\n", m_CertChain.c_str(), m_PrivateKey.c_str());
    if (SSL_CTX_use_certificate_chain_file(m_pSslContext, m_CertChain.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(m_pSslContext, m_PrivateKey.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(m_pSslContext) == 1)
        return true;
    printf("Failed to load certificate chain [%s] private key [%s]: %s\n", m_CertChain.c_str(), m_PrivateKey.c_str(),
           OpenSslReason().c_str());
    return false;
}

bufferevent* S2tServer::OnNewConnection(event_base* pEventBase)
{
    bufferevent* pBev = m_Secure ? NewAcceptedBufferevent(pEventBase, m_pSslContext)
                                 : bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    // With a time-out of 0, requests get no clock.
    if (pBev != nullptr && m_TimeoutSeconds > 0)
        TimeRequests(pBev);
    return pBev;
}

void S2tServer::TimeRequests(bufferevent* pBev)
{
    std::unique_ptr<RequestClock>& pClock = m_RequestClocks[pBev];
    if (pClock == nullptr)
        pClock.reset(new RequestClock());
    // Capped at a year, so that the deadline's arithmetic cannot overflow.
    const uint64_t seconds = std::min<uint64_t>(m_TimeoutSeconds, 365 * 24 * 3600);
    *pClock = RequestClock{pBev, {static_cast<time_t>(seconds), 0}, {}, false};
    // The callbacks go with the stream's buffers, so none outlives its connection.
    evbuffer_add_cb(bufferevent_get_input(pBev), RequestBytesRead, pClock.get());
    evbuffer_add_cb(bufferevent_get_output(pBev), ReplyBytesQueued, pClock.get());
}

bufferevent* S2tServer::NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext)
{
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        printf("Failed to create OpenSSL handle for an accepted connection: %s\n", OpenSslReason().c_str());
        return NewDroppingBufferevent(pEventBase);
    }
    // From here the bufferevent owns the SSL handle and frees it with the connection.
    bufferevent* pBev =
        bufferevent_openssl_socket_new(pEventBase, -1, pSsl, BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
    {
        SSL_free(pSsl);
        puts("Failed to create OpenSSL bufferevent for an accepted connection");
        return NewDroppingBufferevent(pEventBase);
    }
    return pBev;
}

bool S2tServer::LoadConfig(const std::string& path)
{
    std::ifstream file(path);
    if (!file.is_open())
    {
        printf("Could not open file for reading!\n");
        return false;
    }
    rapidjson::IStreamWrapper stream(file);
    rapidjson::Document document;
    document.ParseStream(stream);
    if (document.HasParseError())
    {
        printf("Error  : %d\nOffset : %zu\n", static_cast<int>(document.GetParseError()), document.GetErrorOffset());
        return false;
    }
    if (!document.IsObject())
    {
        printf("Error  : configuration root is not an object\n");
        return false;
    }

    rapidjson::Value::ConstMemberIterator section = document.FindMember("http-server");
    if (section != document.MemberEnd() && section->value.IsObject())
        LoadHttpServerConfig(section->value);
    section = document.FindMember("google-cloud");
    if (section != document.MemberEnd() && m_pGcClient != nullptr && section->value.IsObject())
        m_pGcClient->LoadConfig(section->value);
    return true;
}

bool S2tServer::LoadHttpServerConfig(const rapidjson::Value& config)
{
    CopyStringMember(config, "address", m_Address);
    rapidjson::Value::ConstMemberIterator member = config.FindMember("port");
    if (member != config.MemberEnd() && member->value.IsUint())
        m_Port = static_cast<uint16_t>(member->value.GetUint());
    member = config.FindMember("secure");
    if (member != config.MemberEnd() && member->value.IsBool())
        m_Secure = member->value.GetBool();
    CopyStringMember(config, "certificate-chain", m_CertChain);
    CopyStringMember(config, "private-key", m_PrivateKey);
    CopyStringMember(config, "client-auth-token", m_ClientAuthToken);
    CopyStringMember(config, "admin-auth-token", m_AdminAuthToken);
    CopyUintMember(config, "max-body-size", m_MaxBodySize);
    CopyUintMember(config, "max-header-size", m_MaxHeaderSize);
    CopyUintMember(config, "timeout", m_TimeoutSeconds);
    return true;
}

void S2tServer::OnHttpRequest(evhttp_request* req, Endpoint endpoint)
{
    HeaderMap headersOut;
    std::string dataOut;
    ValidateRequest(req, headersOut, dataOut);

    switch (endpoint)
    {
    case Endpoint::Liveness:
        OnLivenessRequest(req, headersOut, dataOut);
        break;
    case Endpoint::Readiness:
        if (m_Draining)
            evhttp_send_reply(req, 503, "Service Unavailable", nullptr);
        else
            OnReadinessRequest(req, headersOut, dataOut);
        break;
    case Endpoint::Exit:
        if (AuthorizeOrRefuse(req, headersOut, m_AdminAuthToken))
            OnExitRequest(req, headersOut, dataOut);
        break;
    case Endpoint::Transcribe:
        if (m_Draining)
            evhttp_send_reply(req, 503, "Service Unavailable", nullptr);
        else if (AuthorizeOrRefuse(req, headersOut, m_ClientAuthToken) &&
                 !OnTranscribeRequest(req, headersOut, dataOut))
        {
            puts("Request failed");
            evhttp_send_reply(req, 403, "Error", nullptr);
        }
        break;
    }
}

bool S2tServer::ValidateRequest(evhttp_request* req, HeaderMap& headersOut, std::string& dataOut)
{
    printf("Received a %s request for %s\nHeaders:\n", MethodName(evhttp_request_get_command(req)),
           evhttp_request_get_uri(req));
    TraceHeaders(evhttp_request_get_input_headers(req), &headersOut);

    puts("Input data: <<<");
    // The body goes to the trace raw, byte for byte, with no line break added.
    TakeBody(evhttp_request_get_input_buffer(req), dataOut);
    fwrite(dataOut.data(), 1, dataOut.size(), stdout);
    puts(">>>");
    return true;
}

bool S2tServer::TokenMatches(const std::string& expected, const std::string& received)
{
    // Constant time over the contents, so a caller cannot find the token byte by byte.
    return expected.size() == received.size() && CRYPTO_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

bool S2tServer::IsAuthorized(const HeaderMap& headers, const std::string& token) const
{
    if (token.empty())
        return true;
    HeaderMap::const_iterator header = headers.find("Authorization");
    return TokenMatches(token, header != headers.end() ? header->second : std::string());
}

bool S2tServer::AuthorizeOrRefuse(evhttp_request* req, const HeaderMap& headers, const std::string& token)
{
    if (IsAuthorized(headers, token))
        return true;
    puts("Request unauthorized");
    evhttp_send_reply(req, 401, "Unauthorized", nullptr);
    return false;
}

bool S2tServer::OnLivenessRequest(evhttp_request* req, const HeaderMap&, const std::string&)
{
    evhttp_send_reply(req, 200, "OK", nullptr);
    return true;
}

bool S2tServer::OnReadinessRequest(evhttp_request* req, const HeaderMap&, const std::string&)
{
    evhttp_send_reply(req, 200, "OK", nullptr);
    return true;
}

bool S2tServer::OnExitRequest(evhttp_request* req, const HeaderMap&, const std::string&)
{
    // The loop stops once the reply has been written, so the caller gets its 200.
    evhttp_request_set_on_complete_cb(req, ExitReplySentCb, this);
    evhttp_send_reply(req, 200, "OK", nullptr);
    m_EventLoopOn = false;
    // A caller that has gone away never completes the reply: stop a little later anyway.
    const timeval bound = {1, 0};
    event_base_loopexit(m_pEventBase, &bound);
    return true;
}

void S2tServer::OnExitReplySent()
{
    event_base_loopbreak(m_pEventBase);
}

bool S2tServer::OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data)
{
    Request* pRequest = new GcClient::GcRequest(this, m_pGcClient);
    pRequest->m_Id = m_LastRequestId;
    pRequest->m_pHttpRequest = req;
    pRequest->m_BodySize = data.size();
    CopyHeader(headers, "X-Tarvex-TranID", pRequest->m_TransactionId);
    CopyHeader(headers, "X-Tarvex-Mailbox", pRequest->m_Mailbox);
    CopyHeader(headers, "X-Tarvex-MSISDN", pRequest->m_MsIsdn);

    if (!ParseTranscribeRequestData(data, pRequest->m_Parameters) || !TakeRequestId(pRequest->m_Id))
    {
        delete pRequest;
        return false;
    }
    m_RequestMap[pRequest->m_Id] = pRequest;

    const uint64_t id = pRequest->m_Id;
    if (pRequest->Process())
        return true;
    m_RequestMap.erase(id);
    delete pRequest;
    return false;
}

bool S2tServer::TakeRequestId(uint64_t& id)
{
    // Identifiers run 0..999 and wrap. One still in flight is passed over, so the
    // table names every request in flight and none is lost at shutdown.
    for (int tries = 0; tries < 1000; ++tries)
    {
        const uint64_t candidate = m_LastRequestId;
        m_LastRequestId = m_LastRequestId == 999 ? 0 : m_LastRequestId + 1;
        if (m_RequestMap.count(candidate) == 0)
        {
            id = candidate;
            return true;
        }
    }
    puts("No free request identifier: 1000 requests in flight");
    return false;
}

void S2tServer::CopyHeader(const HeaderMap& headers, const char* name, std::string& out)
{
    HeaderMap::const_iterator header = headers.find(name);
    if (header != headers.end())
        out = header->second;
}

bool S2tServer::ParseTranscribeRequestData(std::string& data, Request::Parameters& parameters)
{
    // Parsed in place, so the audio is not copied into the document on its way.
    // The iterative parser keeps deeply nested input off the stack.
    rapidjson::Document document;
    data.reserve(data.size() + kParsePadding);
    document.ParseInsitu<rapidjson::kParseIterativeFlag>(&data[0] + ByteOrderMarkLength(data.c_str()));
    if (document.HasParseError() || !document.IsObject())
        return false;

    CopyStringMember(document, "language", parameters.m_Language);
    rapidjson::Value::ConstMemberIterator alternatives = document.FindMember("language-alternatives");
    if (alternatives != document.MemberEnd() && alternatives->value.IsArray())
    {
        for (const rapidjson::Value& alternative : alternatives->value.GetArray())
            if (alternative.IsString())
                parameters.m_LanguageAlternatives.emplace_back(alternative.GetString());
    }
    CopyStringMember(document, "audio", parameters.m_AudioData);
    return true;
}

bool S2tServer::OnTranscribeResponse(Request* pRequest, int statusCode, const std::string& reason,
                                     const HeaderMap& headers, const std::string& data)
{
    if (pRequest == nullptr)
        return false;

    evbuffer* pBody = nullptr;
    if (!data.empty())
    {
        pBody = evbuffer_new();
        evbuffer_add(pBody, data.data(), data.size());
    }
    if (m_Draining)
    {
        ++m_RepliesInWriting;
        evhttp_request_set_on_complete_cb(pRequest->m_pHttpRequest, DrainReplySentCb, this);
    }
    evkeyvalq* pOutput = evhttp_request_get_output_headers(pRequest->m_pHttpRequest);
    for (const auto& header : headers)
        evhttp_add_header(pOutput, header.first.c_str(), header.second.c_str());
    evhttp_send_reply(pRequest->m_pHttpRequest, statusCode, reason.c_str(), pBody);
    if (pBody != nullptr)
        evbuffer_free(pBody);

    const bool large = pRequest->m_BodySize >= kTrimAfterBytes;
    m_RequestMap.erase(pRequest->m_Id);
    delete pRequest;
    if (large && m_pTrimTimer != nullptr)
        event_add(m_pTrimTimer, &kTrimDelay);
    FinishDrainWhenDone();
    return true;
}
