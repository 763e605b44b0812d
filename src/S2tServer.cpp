#include "S2tServer.h"

#include "HttpMethod.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

#include <event2/buffer.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include "Connection.h"
#include "GcClient.h"
#include "Trace.h"
#include "TranscribeBody.h"

namespace
{

void EventLogCallback(int severity, const char* msg)
{
    Trace::Print("%d %s\n", severity, msg);
}

void ForwardRequest(evhttp_request* req, void* pArg, S2tServer::Endpoint endpoint)
{
    if (pArg == nullptr)
        Trace::Print("NULL context in HTTP server callback\n");
    else
        static_cast<S2tServer*>(pArg)->OnHttpRequest(req, endpoint);
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

void MetricsRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Metrics);
}

void OtherRequestCb(evhttp_request* req, void* pArg)
{
    ForwardRequest(req, pArg, S2tServer::Endpoint::Other);
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
} // namespace

S2tServer::Request::Request(S2tServer* pServer)
    : m_pServer(pServer)
    , m_Id(0)
    , m_pHttpRequest(nullptr)
    , m_Arrived(std::chrono::steady_clock::now())
    , m_BodyBytes(0)
{
}

S2tServer::Request::~Request() = default;

S2tServer::S2tServer(const std::string& name, bool debugLogging)
    : m_Name(name)
    , m_EventLoopOn(false)
    , m_pEventBase(nullptr)
    , m_pDnsEventBase(nullptr)
    , m_pSslContext(nullptr)
    , m_pHttp(nullptr)
    , m_pGcClient(nullptr)
    , m_Port(1080)
    , m_Secure(false)
    , m_LastRequestId(0)
    , m_MetricsOn(true)
    , m_Inbound(*this)
    , m_Stop(*this)
{
    event_set_log_callback(EventLogCallback);
    if (debugLogging)
        event_enable_debug_logging(EVENT_DBG_ALL);
    if (evthread_use_pthreads() != 0)
        Trace::Print("Failed to initialize libevent to use threads\n");
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
        Trace::Print("Failed to initialize OpenSSL context <%s>\n", m_Name.c_str());
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
        Trace::Print("Failed to initialize event base <%s>\n", m_Name.c_str());
        return false;
    }
    if (evthread_make_base_notifiable(m_pEventBase) != 0)
        Trace::Print("Failed to make event base notifiable <%s>\n", m_Name.c_str());

    m_pDnsEventBase = evdns_base_new(m_pEventBase, EVDNS_BASE_INITIALIZE_NAMESERVERS);
    if (m_pDnsEventBase == nullptr)
        Trace::Print("Failed to initialize async DNS event base <%s>\n", m_Name.c_str());
    return CreateHttpServer() && m_Stop.WatchSignals(m_pEventBase);
}

bool S2tServer::CreateHttpServer()
{
    m_pHttp = evhttp_new(m_pEventBase);
    if (m_pHttp == nullptr)
    {
        Trace::Print("Couldn't create evhttp\n");
        return false;
    }
    evhttp_set_cb(m_pHttp, "/transcribe", TranscribeRequestCb, this);
    evhttp_set_cb(m_pHttp, "/liveness", LivenessRequestCb, this);
    evhttp_set_cb(m_pHttp, "/readiness", ReadinessRequestCb, this);
    evhttp_set_cb(m_pHttp, "/exit", ExitRequestCb, this);
    if (m_MetricsOn)
        evhttp_set_cb(m_pHttp, "/metrics", MetricsRequestCb, this);
    evhttp_set_gencb(m_pHttp, OtherRequestCb, this);

    if (m_Address.empty())
        m_Address = "0.0.0.0";
    return m_Inbound.Listen(m_pHttp, m_Address, m_Port, m_Secure ? m_pSslContext : nullptr);
}

void S2tServer::RunEventLoop()
{
    Trace::Print("Start HTTP event loop <%s>\n", m_Name.c_str());
    Trace::Watch(m_pEventBase);
    m_EventLoopOn = true;
    // One pass at a time: what a pass traced is written, as far as standard output
    // takes it, before the loop waits again.
    while (m_EventLoopOn)
    {
        Trace::Flush();
        event_base_loop(m_pEventBase, EVLOOP_ONCE);
    }
    Trace::Watch(nullptr);
    Trace::Print("Ended HTTP event loop <%s>\n", m_Name.c_str());
}

void S2tServer::EndEventLoop()
{
    m_EventLoopOn = false;
    event_base_loopbreak(m_pEventBase);
}

void S2tServer::Destroy()
{
    Cleanup();
}

void S2tServer::Cleanup()
{
    m_Stop.Release();
    if (m_pHttp != nullptr)
    {
        evhttp_free(m_pHttp);
        m_pHttp = nullptr;
    }
    m_Inbound.Release();
    // Requests still in flight hold timers and connections on the bases below.
    while (!m_RequestMap.empty())
        Retire(m_RequestMap.begin()->second);
    // Cancelled name lookups report back through the loop; let them, so their
    // memory is returned before the bases go.
    if (m_pEventBase != nullptr)
        event_base_loop(m_pEventBase, EVLOOP_NONBLOCK);
    // The client's own lookups use the bases below.
    delete m_pGcClient;
    m_pGcClient = nullptr;
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
}

bool S2tServer::SetupListenerTls()
{
    SSL_CTX_set_options(m_pSslContext, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_min_proto_version(m_pSslContext, TLS1_2_VERSION) == 1 &&
        SSL_CTX_set_cipher_list(m_pSslContext, kListenerCiphers) == 1)
        return true;
    Trace::Print("Failed to set the TLS protocols and ciphers <%s>: %s\n", m_Name.c_str(), OpenSslReason().c_str());
    return false;
}

bool S2tServer::SetupCerts()
{
    Trace::Print("Loading certificate chain [%s] private key [%s]\n", m_CertChain.c_str(), m_PrivateKey.c_str());
    if (SSL_CTX_use_certificate_chain_file(m_pSslContext, m_CertChain.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(m_pSslContext, m_PrivateKey.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(m_pSslContext) == 1)
        return true;
    Trace::Print("Failed to load certificate chain [%s] private key [%s]: %s\n", m_CertChain.c_str(),
                 m_PrivateKey.c_str(), OpenSslReason().c_str());
    return false;
}

bool S2tServer::LoadConfig(const std::string& path)
{
    std::ifstream file(path);
    if (!file.is_open())
    {
        Trace::Print("Could not open file for reading!\n");
        return false;
    }
    rapidjson::IStreamWrapper stream(file);
    rapidjson::Document document;
    document.ParseStream(stream);
    if (document.HasParseError())
    {
        Trace::Print("Error  : %d\nOffset : %zu\n", static_cast<int>(document.GetParseError()),
                     document.GetErrorOffset());
        return false;
    }
    if (!document.IsObject())
    {
        Trace::Print("Error  : configuration root is not an object\n");
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
    CopyBoolMember(config, "secure", m_Secure);
    CopyStringMember(config, "certificate-chain", m_CertChain);
    CopyStringMember(config, "private-key", m_PrivateKey);
    CopyStringMember(config, "client-auth-token", m_ClientAuthToken);
    CopyStringMember(config, "admin-auth-token", m_AdminAuthToken);
    CopyBoolMember(config, "metrics", m_MetricsOn);
    CopyStringMember(config, "metrics-auth-token", m_MetricsAuthToken);
    return m_Inbound.LoadConfig(config) && m_Stop.LoadConfig(config) && Trace::LoadConfig(config);
}

void S2tServer::OnHttpRequest(evhttp_request* req, Endpoint endpoint)
{
    if (endpoint == Endpoint::Metrics || endpoint == Endpoint::Other)
    {
        endpoint == Endpoint::Metrics ? OnMetricsRequest(req) : OnOtherRequest(req);
        return;
    }
    const bool begunBeforeStop = m_Inbound.OnRequest(req);
    HeaderMap headersOut;
    std::string dataOut;
    if (!ValidateRequest(req, headersOut, dataOut))
    {
        ReplyAndClose(req, 400, "Bad Request");
        return;
    }
    // A request that began before the stop is still served; /readiness tells the
    // balancer the service is going.
    const bool refusedWhileDraining =
        endpoint == Endpoint::Readiness || (endpoint == Endpoint::Transcribe && !begunBeforeStop);
    if (m_Stop.Draining() && refusedWhileDraining)
    {
        Reply(req, 503, "Service Unavailable");
        return;
    }
    switch (endpoint)
    {
    case Endpoint::Liveness:
        OnLivenessRequest(req);
        break;
    case Endpoint::Readiness:
        OnReadinessRequest(req);
        break;
    case Endpoint::Exit:
        if (AuthorizeOrRefuse(req, headersOut, m_AdminAuthToken))
            OnExitRequest(req);
        break;
    case Endpoint::Transcribe:
        if (AuthorizeOrRefuse(req, headersOut, m_ClientAuthToken) && !OnTranscribeRequest(req, headersOut, dataOut))
        {
            Trace::Print("Request failed\n");
            Reply(req, 403, "Error");
        }
        break;
    default: // answered above
        break;
    }
}

bool S2tServer::ValidateRequest(evhttp_request* req, HeaderMap& headersOut, std::string& dataOut)
{
    Trace::Print("Received a %s request for %s\nHeaders:\n", HttpMethodName(evhttp_request_get_command(req)),
                 evhttp_request_get_uri(req));
    const evkeyvalq* pHeaders = evhttp_request_get_input_headers(req);
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
    {
        Trace::Header(header->key, header->value);
        headersOut[header->key] = header->value;
    }
    Trace::Print("Input data: <<<\n");
    // The body goes to the trace byte for byte, control characters escaped, with no line break added.
    TranscribeBody::Take(evhttp_request_get_input_buffer(req), dataOut);
    Trace::Body(dataOut.data(), dataOut.size());
    Trace::Print(">>>\n");
    const char* fault = Inbound::FramingFault(req);
    if (fault != nullptr)
        Trace::Print("Request malformed: %s\n", fault);
    return fault == nullptr;
}

int S2tServer::Screen(const RequestHead& head, const char*& reason) const
{
    if (head.Path() != "/transcribe" || IsAuthorized(head.authorization, m_ClientAuthToken))
        return 0;
    reason = "Unauthorized";
    return 401;
}

bool S2tServer::TokenMatches(const std::string& expected, const std::string& received)
{
    // Constant time over the contents, so a caller cannot find the token byte by byte.
    return expected.size() == received.size() && CRYPTO_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

bool S2tServer::IsAuthorized(const std::string& authorization, const std::string& token)
{
    return token.empty() || TokenMatches(token, authorization);
}

bool S2tServer::AuthorizeOrRefuse(evhttp_request* req, const HeaderMap& headers, const std::string& token)
{
    HeaderMap::const_iterator header = headers.find("Authorization");
    if (IsAuthorized(header != headers.end() ? header->second : std::string(), token))
        return true;
    Trace::Print("Request unauthorized\n");
    Reply(req, 401, "Unauthorized");
    return false;
}

void S2tServer::Reply(evhttp_request* req, int statusCode, const char* reason, evbuffer* pBody)
{
    const char* path = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(req));
    m_Metrics.CountReply(Metrics::EndpointOf(path != nullptr ? path : ""), statusCode);
    m_Inbound.OnReplySent(req);
    evhttp_send_reply(req, statusCode, reason, pBody);
}

void S2tServer::Reply(evhttp_request* req, int statusCode, const char* reason, const std::string& body)
{
    evbuffer* pBody = body.empty() ? nullptr : evbuffer_new();
    if (pBody != nullptr)
        evbuffer_add(pBody, body.data(), body.size());
    Reply(req, statusCode, reason, pBody);
    if (pBody != nullptr)
        evbuffer_free(pBody);
}

void S2tServer::ReplyAndClose(evhttp_request* req, int statusCode, const char* reason)
{
    evhttp_add_header(evhttp_request_get_output_headers(req), "Connection", "close");
    Reply(req, statusCode, reason);
}

// The scrape writes one trace line, so that a scrape every few seconds does not
// fill the trace.
void S2tServer::OnMetricsRequest(evhttp_request* req)
{
    m_Inbound.OnRequest(req);
    Trace::Print("Received a %s request for %s\n", HttpMethodName(evhttp_request_get_command(req)),
                 evhttp_request_get_uri(req));
    const char* authorization = evhttp_find_header(evhttp_request_get_input_headers(req), "Authorization");
    if (Inbound::FramingFault(req) != nullptr)
    {
        ReplyAndClose(req, 400, "Bad Request");
        return;
    }
    if (!IsAuthorized(authorization != nullptr ? authorization : "", m_MetricsAuthToken))
    {
        Reply(req, 401, "Unauthorized");
        return;
    }
    Metrics::Gauges gauges;
    gauges.requestsInFlight = m_RequestMap.size();
    gauges.draining = m_Stop.Draining();
    m_Inbound.ReadGauges(gauges);
    gauges.traceBytesDropped = Trace::DroppedBytes();
    evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Type", Exposition::kContentType);
    Reply(req, 200, "OK", m_Metrics.Render(gauges, S2T_VERSION));
}

// Any other path gets libevent's own not-found page, untraced, as it would without
// this callback; it is here so that the reply is counted and timed like the others.
void S2tServer::OnOtherRequest(evhttp_request* req)
{
    m_Inbound.OnRequest(req);
    evbuffer* pBody = Inbound::NotFoundPage(req);
    Reply(req, 404, "Not Found", pBody);
    evbuffer_free(pBody);
}

void S2tServer::OnLivenessRequest(evhttp_request* req)
{
    Reply(req, 200, "OK");
}

void S2tServer::OnReadinessRequest(evhttp_request* req)
{
    Reply(req, 200, "OK");
}

void S2tServer::OnExitRequest(evhttp_request* req)
{
    // The loop ends once the reply has been written, so the caller gets its 200.
    Reply(req, 200, "OK");
    m_Stop.OnExit();
}

bool S2tServer::OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data)
{
    Request::Parameters parameters;
    uint64_t id = 0;
    if (!ParseTranscribeRequestData(data, parameters) || !TakeRequestId(id))
        return false;
    Request* pRequest = new GcClient::GcRequest(this, m_pGcClient);
    pRequest->m_Id = id;
    pRequest->m_pHttpRequest = req;
    pRequest->m_BodyBytes = data.size();
    pRequest->m_Parameters = std::move(parameters);
    for (auto [name, field] :
         {std::pair{"X-Tarvex-TranID", &pRequest->m_TransactionId}, std::pair{"X-Tarvex-Mailbox", &pRequest->m_Mailbox},
          std::pair{"X-Tarvex-MSISDN", &pRequest->m_MsIsdn}})
    {
        HeaderMap::const_iterator header = headers.find(name);
        if (header != headers.end())
            *field = header->second;
    }
    m_RequestMap[id] = pRequest;
    if (pRequest->Process())
        return true;
    Retire(pRequest);
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
    Trace::Print("No free request identifier: 1000 requests in flight\n");
    return false;
}

bool S2tServer::ParseTranscribeRequestData(std::string& data, Request::Parameters& parameters)
{
    return TranscribeBody::Read(data, parameters);
}

void S2tServer::OnTranscribeResponse(Request* pRequest, int statusCode, const std::string& reason,
                                     const HeaderMap& headers, const std::string& data)
{
    evkeyvalq* pOutput = evhttp_request_get_output_headers(pRequest->m_pHttpRequest);
    for (const auto& header : headers)
        evhttp_add_header(pOutput, header.first.c_str(), header.second.c_str());
    Reply(pRequest->m_pHttpRequest, statusCode, reason.c_str(), data);
    m_Metrics.ObserveTranscription(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pRequest->m_Arrived).count(),
        pRequest->m_BodyBytes);
    Retire(pRequest);
}

void S2tServer::AbandonRequests()
{
    while (!m_RequestMap.empty())
    {
        Request* pRequest = m_RequestMap.begin()->second;
        ReplyAndClose(pRequest->m_pHttpRequest, 503, "Service Unavailable");
        Retire(pRequest);
    }
}

// The one place a request is deleted.
void S2tServer::Retire(Request* pRequest)
{
    m_RequestMap.erase(pRequest->m_Id);
    delete pRequest;
    m_Stop.OnProgress();
}
