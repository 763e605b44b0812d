#pragma once

#include <strings.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Budget.h"
#include "base/Config.h"
#include "base/Metrics.h"
#include "base/Timing.h"
#include "cloud/Transcription.h"
#include "inbound/Stop.h"

struct evbuffer;
struct event;
struct event_base;
struct evdns_base;
struct evhttp;
struct evhttp_request;
struct Decision;
typedef struct ssl_ctx_st SSL_CTX;

class GcClient;
class Listener;
class RequestPolicy;

// Header names compare byte for byte, so lookups are case-sensitive.
// Header names in any case; the last value of a name counts.
struct NameLess
{
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};
using HeaderMap = std::map<std::string, std::string, NameLess>;

// The service: it makes every object from the configuration, routes each request
// to its handler, keeps the table of transcriptions in flight and sends every reply.
class S2tServer final : private Stop::Host, private Transcription::Owner
{
public:
    // One transcription in flight: the caller's request and the chain that carries it.
    struct Request
    {
        uint64_t m_Id = 0;
        evhttp_request* m_pHttpRequest = nullptr;
        std::string m_TransactionId;
        std::string m_Mailbox;
        std::string m_MsIsdn;
        SteadyClock::time_point m_Arrived;
        size_t m_BodyBytes = 0;
        std::unique_ptr<Transcription> m_pTranscription;
    };

    S2tServer(const std::string& name, bool debugLogging);
    ~S2tServer();

    S2tServer(const S2tServer&) = delete;
    S2tServer& operator=(const S2tServer&) = delete;

    // Reads the configuration and makes every handle; with `checkOnly`, goes as far
    // as it can without listening or calling anyone.
    bool Create(const std::string& configPath, bool checkOnly = false);
    // After a failed Create: the failure may pass by itself when tried again.
    bool MayStartLater() const { return m_MayStartLater; }
    void RunEventLoop();
    void Destroy();

    using Endpoint = Metrics::Endpoint;

    // Where the libevent callbacks arrive: the endpoints, and the deletion of the
    // transcriptions that have ended, once their own frames are gone.
    void OnHttpRequest(evhttp_request* req, Endpoint endpoint);
    void OnReaper();

    // Reads the transcription body; `data` is parsed in place and left changed.
    static bool ParseTranscribeRequestData(std::string& data, Transcription::Parameters& parameters);

private:
    friend struct S2tServerInspector; // tests look inside

    bool CreateHandles(const std::string& configPath, bool checkOnly);
    bool CreateHttpServer();
    // Traces the request as it came and takes its headers and body.
    static void TraceRequest(evhttp_request* req, HeaderMap& headers, std::string& data);
    void Refuse(evhttp_request* req, Endpoint endpoint, const Decision& decision);
    void OnMetricsRequest(evhttp_request* req);
    void OnOtherRequest(evhttp_request* req);
    void OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data);
    void OnTranscriptionDone(Transcription& transcription, const Transcription::Result& result) override;
    // Every reply of the service goes out here.
    void Reply(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why, evbuffer* pBody = nullptr);
    void Reply(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why, const std::string& body);
    // A reply after which the connection closes: whatever follows on it is never served.
    void ReplyAndClose(evhttp_request* req, int statusCode, const char* reason, Metrics::Reason why);
    bool TakeRequestId(uint64_t& id);
    void Cleanup();

    // What the stop asks of the service.
    size_t RequestsInFlight() const override { return m_RequestMap.size(); }
    size_t UploadsInProgress() const override;
    size_t RepliesInWriting() const override;
    size_t ObjectsBeingDeleted() const override;
    void StopAccepting() override;
    void RefuseUploads() override;
    void AbandonRequests() override;
    void EndLoop() override;

    std::string m_Name;
    Config m_Config;
    event_base* m_pEventBase;
    evdns_base* m_pDnsEventBase;
    SSL_CTX* m_pSslContext; // the listener's, when it serves HTTPS
    bool m_MayStartLater = false;
    size_t m_OpenEndpoints = 0; // callable by anyone who reaches the address
    evhttp* m_pHttp;
    event* m_pReaper;
    Metrics m_Metrics;
    std::unique_ptr<Budget> m_pBodies; // bodies, and recordings being uploaded
    std::unique_ptr<GcClient> m_pGcClient;
    std::unique_ptr<RequestPolicy> m_pPolicy;
    std::unique_ptr<Stop> m_pStop;
    std::unique_ptr<Listener> m_pListener;
    uint64_t m_LastRequestId;
    std::map<uint64_t, Request> m_RequestMap;
    // Ended, to be deleted from the loop.
    std::vector<std::unique_ptr<Transcription>> m_Retired;
};
