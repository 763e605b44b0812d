#include "S2tServer.h"

#include <event2/buffer.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include "TranscribeBody.h"
#include "base/HttpMethod.h"
#include "base/Trace.h"
#include "cloud/GcClient.h"
#include "inbound/Listener.h"
#include "inbound/ListenerTls.h"
#include "inbound/RequestPolicy.h"

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

void ReaperCb(evutil_socket_t, short, void* pArg)
{
    if (pArg == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<S2tServer*>(pArg)->OnReaper();
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

// libevent's own page for a path it does not serve, with its headers set on the reply.
evbuffer* NotFoundPage(evhttp_request* pRequest)
{
    char* uri = evhttp_htmlescape(evhttp_request_get_uri(pRequest));
    evbuffer* pBody = evbuffer_new();
    evbuffer_add_printf(pBody,
                        "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
                        "<p>The requested URL %s was not found on this server.</p></body></html>\n",
                        uri != nullptr ? uri : "");
    free(uri);
    evkeyvalq* pHeaders = evhttp_request_get_output_headers(pRequest);
    evhttp_add_header(pHeaders, "Content-Type", "text/html");
    evhttp_add_header(pHeaders, "Connection", "close");
    return pBody;
}

} // namespace

S2tServer::S2tServer(const std::string& name, bool debugLogging)
    : m_Name(name)
    , m_pEventBase(nullptr)
    , m_pDnsEventBase(nullptr)
    , m_pSslContext(nullptr)
    , m_pHttp(nullptr)
    , m_pReaper(nullptr)
    , m_LastRequestId(0)
{
    event_set_log_callback(EventLogCallback);
    if (debugLogging)
        event_enable_debug_logging(EVENT_DBG_ALL);
    if (evthread_use_pthreads() != 0)
        Trace::Print("Failed to initialize libevent to use threads\n");
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

S2tServer::~S2tServer()
{
    Cleanup();
}

bool S2tServer::Create(const std::string& configPath, bool checkOnly)
{
    const bool created = CreateHandles(configPath, checkOnly);
    m_MayStartLater = !created && m_pListener != nullptr && m_pListener->MayBindLater();
    if (!created || checkOnly)
        Cleanup();
    return created;
}

bool S2tServer::CreateHandles(const std::string& configPath, bool checkOnly)
{
    if (!ReadConfig(configPath, m_Config))
        return false;
    Trace::Configure(m_Config.trace.bufferSize, m_Config.trace.Redacted(), m_Config.trace.rate);
    const ListenerSettings& listener = m_Config.listener;
    m_Metrics.Bound(static_cast<double>(m_Config.cloud.longRunningTimeoutSeconds));
    m_OpenEndpoints = RequestPolicy::OpenEndpoints(m_Config.policy, listener.address);
    if (listener.secure && (m_pSslContext = NewListenerTlsContext(listener, m_Name)) == nullptr)
        return false;

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
    m_pReaper = event_new(m_pEventBase, -1, 0, ReaperCb, this);

    m_pBodies = std::make_unique<Budget>(listener.maxBufferedBytes);
    m_pGcClient =
        std::make_unique<GcClient>(m_Config.cloud, m_pEventBase, m_pDnsEventBase, m_pBodies.get(), m_Metrics, [this] {
            if (m_pStop != nullptr)
                m_pStop->Wake();
        });
    m_pPolicy = std::make_unique<RequestPolicy>(m_Config.policy, listener.maxBodySize);
    m_pStop =
        std::make_unique<Stop>(static_cast<Stop::Host&>(*this), m_Config.drainTimeoutSeconds, listener.timeoutSeconds);
    m_pListener = std::make_unique<Listener>(
        listener, Listener::Context{m_pEventBase, *m_pBodies, m_Metrics, *m_pPolicy, *m_pStop});
    if (checkOnly)
        return m_pReaper != nullptr && m_pGcClient->Check();
    return m_pReaper != nullptr && m_pGcClient->Start() && CreateHttpServer() && m_pStop->Watch(m_pEventBase);
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
    if (m_Config.policy.metrics)
        evhttp_set_cb(m_pHttp, "/metrics", MetricsRequestCb, this);
    evhttp_set_gencb(m_pHttp, OtherRequestCb, this);
    return m_pListener->Listen(m_pHttp, m_pSslContext);
}

void S2tServer::RunEventLoop()
{
    Trace::Print("Start HTTP event loop <%s>\n", m_Name.c_str());
    Trace::Watch(m_pEventBase);
    // One pass at a time: what a pass traced is written, as far as standard output
    // takes it, before the loop waits again.
    while (!m_pStop->Ended())
    {
        Trace::Flush();
        event_base_loop(m_pEventBase, EVLOOP_ONCE);
    }
    Trace::Watch(nullptr);
    Trace::Print("Ended HTTP event loop <%s>\n", m_Name.c_str());
}

void S2tServer::Destroy()
{
    Cleanup();
}

void S2tServer::Cleanup()
{
    if (m_pStop != nullptr)
        m_pStop->Release();
    if (m_pHttp != nullptr)
        evhttp_free(m_pHttp);
    m_pHttp = nullptr;
    if (m_pListener != nullptr)
        m_pListener->Release();
    // Transcriptions still in flight hold timers and connections on the bases below.
    m_RequestMap.clear();
    m_Retired.clear();
    if (m_pReaper != nullptr)
        event_free(m_pReaper);
    m_pReaper = nullptr;
    // Cancelled name lookups report back through the loop; let them, so their
    // memory is returned before the bases go.
    if (m_pEventBase != nullptr)
        event_base_loop(m_pEventBase, EVLOOP_NONBLOCK);
    // The client's own lookups use the bases below.
    m_pGcClient.reset();
    if (m_pDnsEventBase != nullptr)
        evdns_base_free(m_pDnsEventBase, 0);
    m_pDnsEventBase = nullptr;
    if (m_pEventBase != nullptr)
        event_base_free(m_pEventBase);
    m_pEventBase = nullptr;
    if (m_pSslContext != nullptr)
        SSL_CTX_free(m_pSslContext);
    m_pSslContext = nullptr;
}

// ---- Requests -----------------------------------------------------------------------

void S2tServer::OnHttpRequest(evhttp_request* req, Endpoint endpoint)
{
    if (endpoint == Endpoint::Other)
    {
        OnOtherRequest(req);
        return;
    }
    const bool begunBeforeStop = m_pListener->OnRequest(req);
    HeaderMap headers;
    std::string data;
    // The scrape writes one trace line, so that a scrape every few seconds does not
    // fill the trace.
    if (endpoint == Endpoint::Metrics)
        Trace::Print("Received a %s request for %s\n", HttpMethodName(evhttp_request_get_command(req)),
                     Trace::Target(evhttp_request_get_uri(req)).c_str());
    else
        TraceRequest(req, headers, data);
    Situation situation;
    situation.draining = m_pStop->Draining();
    situation.begunBeforeStop = begunBeforeStop;
    situation.cloudReady = m_pGcClient->Ready();
    const Decision decision = m_pPolicy->Decide(RequestHead::Of(req), endpoint, situation);
    if (!decision.Served())
    {
        Refuse(req, endpoint, decision);
        return;
    }
    switch (endpoint)
    {
    case Endpoint::Exit:
        // The loop ends once the reply has been written, so the caller gets its 200.
        Reply(req, 200, "OK", Metrics::Reason::Ok);
        m_pStop->OnExit();
        break;
    case Endpoint::Metrics:
        OnMetricsRequest(req);
        break;
    case Endpoint::Transcribe:
        OnTranscribeRequest(req, headers, data);
        break;
    default: // the probes
        Reply(req, 200, "OK", Metrics::Reason::Ok);
        break;
    }
}

void S2tServer::TraceRequest(evhttp_request* req, HeaderMap& headers, std::string& data)
{
    Trace::Print("Received a %s request for %s\nHeaders:\n", HttpMethodName(evhttp_request_get_command(req)),
                 Trace::Target(evhttp_request_get_uri(req)).c_str());
    const evkeyvalq* pHeaders = evhttp_request_get_input_headers(req);
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
    {
        Trace::Header(header->key, header->value);
        headers[header->key] = header->value;
    }
    Trace::Print("Input data: <<<\n");
    // The body goes to the trace byte for byte, control characters escaped, with no line break added.
    TranscribeBody::Take(evhttp_request_get_input_buffer(req), data);
    Trace::Body(data.data(), data.size());
    Trace::Print(">>>\n");
}

void S2tServer::Refuse(evhttp_request* req, Endpoint endpoint, const Decision& decision)
{
    if (endpoint != Endpoint::Metrics && decision.status == 400)
        Trace::Print("Request malformed: %s\n", decision.fault);
    if (endpoint != Endpoint::Metrics && decision.status == 401)
        Trace::Print("Request unauthorized\n");
    if (decision.close)
        ReplyAndClose(req, decision.status, decision.reason, decision.why);
    else
        Reply(req, decision.status, decision.reason, decision.why);
}

void S2tServer::OnMetricsRequest(evhttp_request* req)
{
    Metrics::Gauges gauges;
    gauges.requestsInFlight = m_RequestMap.size();
    gauges.draining = m_pStop->Draining();
    m_pListener->ReadGauges(gauges);
    gauges.traceBytesDropped = Trace::DroppedBytes();
    gauges.openEndpoints = m_OpenEndpoints;
    evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Type", Exposition::kContentType);
    Reply(req, 200, "OK", Metrics::Reason::Ok, m_Metrics.Render(gauges, S2T_VERSION));
}

// Any other path gets libevent's own not-found page, untraced, as it would without
// this callback; it is here so that the reply is counted and timed like the others.
void S2tServer::OnOtherRequest(evhttp_request* req)
{
    m_pListener->OnRequest(req);
    evbuffer* pBody = NotFoundPage(req);
    Reply(req, 404, "Not Found", Metrics::Reason::NotFound, pBody);
    evbuffer_free(pBody);
}

void S2tServer::OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data)
{
    Transcription::Parameters parameters;
    uint64_t id = 0;
    if (!ParseTranscribeRequestData(data, parameters) || !TakeRequestId(id))
    {
        Trace::Print("Request failed\n");
        Reply(req, 403, "Error", Metrics::Reason::BadRequest);
        return;
    }
    Request& request = m_RequestMap[id];
    request.m_Id = id;
    request.m_pHttpRequest = req;
    request.m_Arrived = SteadyClock::now();
    request.m_BodyBytes = data.size();
    for (auto [name, field] :
         {std::pair{"X-Tarvex-TranID", &request.m_TransactionId}, std::pair{"X-Tarvex-Mailbox", &request.m_Mailbox},
          std::pair{"X-Tarvex-MSISDN", &request.m_MsIsdn}})
    {
        HeaderMap::const_iterator header = headers.find(name);
        if (header != headers.end())
            *field = header->second;
    }
    const Transcription::Context context{m_Config.cloud,
                                         *m_pGcClient,
                                         m_pGcClient->GetStorage(),
                                         *m_pBodies,
                                         m_Metrics,
                                         m_pEventBase,
                                         static_cast<Transcription::Owner&>(*this)};
    request.m_pTranscription = std::make_unique<Transcription>(context, id, std::move(parameters));
    // Its end may come at once, when its first call cannot start: `request` is gone then.
    request.m_pTranscription->Start();
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

bool S2tServer::ParseTranscribeRequestData(std::string& data, Transcription::Parameters& parameters)
{
    return TranscribeBody::Read(data, parameters);
}

// The one place a transcription leaves the table. It is deleted from the loop,
// once the frames of its own report have returned.
void S2tServer::OnTranscriptionDone(Transcription& transcription, const Transcription::Result& result)
{
    auto entry = m_RequestMap.find(transcription.Id());
    if (entry == m_RequestMap.end())
        return;
    Request& request = entry->second;
    if (result.json)
        evhttp_add_header(evhttp_request_get_output_headers(request.m_pHttpRequest), "Content-Type",
                          "application/json");
    if (result.close)
        ReplyAndClose(request.m_pHttpRequest, result.status, result.reason.c_str(), result.why);
    else
        Reply(request.m_pHttpRequest, result.status, result.reason.c_str(), result.why, result.body);
    m_Metrics.ObserveTranscription(std::chrono::duration<double>(SteadyClock::now() - request.m_Arrived).count(),
                                   request.m_BodyBytes);
    m_Retired.push_back(std::move(request.m_pTranscription));
    m_RequestMap.erase(entry);
    event_active(m_pReaper, EV_TIMEOUT, 1);
    m_pStop->Wake();
}

void S2tServer::OnReaper()
{
    m_Retired.clear();
}

// ---- Replies ------------------------------------------------------------------------

void S2tServer::Reply(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why, evbuffer* pBody)
{
    // HEAD is answered with the headers alone and the length GET would have: libevent
    // 2.1 would send the body too, and the next reply would start inside it.
    if (evhttp_request_get_command(req) == EVHTTP_REQ_HEAD)
    {
        const size_t length = pBody != nullptr ? evbuffer_get_length(pBody) : 0;
        evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Length", std::to_string(length).c_str());
        pBody = nullptr;
    }
    const char* path = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(req));
    m_Metrics.CountReply(Metrics::EndpointOf(path != nullptr ? path : ""), statusCode, why);
    m_pListener->OnReplySent(req);
    evhttp_send_reply(req, statusCode, reason, pBody);
}

void S2tServer::Reply(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why,
                      const std::string& body)
{
    evbuffer* pBody = body.empty() ? nullptr : evbuffer_new();
    if (pBody != nullptr)
        evbuffer_add(pBody, body.data(), body.size());
    Reply(req, statusCode, reason, why, pBody);
    if (pBody != nullptr)
        evbuffer_free(pBody);
}

void S2tServer::ReplyAndClose(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why)
{
    evhttp_add_header(evhttp_request_get_output_headers(req), "Connection", "close");
    Reply(req, statusCode, reason, why);
}

// ---- The stop -----------------------------------------------------------------------

size_t S2tServer::UploadsInProgress() const
{
    return m_pListener->UploadsInProgress();
}

size_t S2tServer::RepliesInWriting() const
{
    return m_pListener->RepliesInWriting();
}

size_t S2tServer::ObjectsBeingDeleted() const
{
    return m_pGcClient->GetStorage().DeletesPending();
}

void S2tServer::StopAccepting()
{
    m_pListener->StopAccepting();
    m_pGcClient->CloseIdle();
}

void S2tServer::RefuseUploads()
{
    m_pListener->RefuseUploads();
}

void S2tServer::AbandonRequests()
{
    // Each leaves the table as it ends, and lives on until the loop deletes it.
    std::vector<Transcription*> inFlight;
    for (auto& entry : m_RequestMap)
        inFlight.push_back(entry.second.m_pTranscription.get());
    for (Transcription* pTranscription : inFlight)
        pTranscription->Abandon();
}

void S2tServer::EndLoop()
{
    event_base_loopbreak(m_pEventBase);
}
