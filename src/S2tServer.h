#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/fwd.h>

#include "Inbound.h"
#include "Metrics.h"
#include "Settings.h"
#include "Stop.h"

struct evbuffer;
struct event_base;
struct evdns_base;
struct evhttp;
struct evhttp_request;
typedef struct ssl_ctx_st SSL_CTX;

class GcClient;
struct RequestHead;

// Header names compare byte for byte, so lookups are case-sensitive.
using HeaderMap = std::map<std::string, std::string>;

class S2tServer
{
public:
    // One transcription in flight. The service creates it, names it in m_RequestMap
    // and deletes it in one place, Retire: when its start fails, after its reply, or
    // when the service ends with it still in flight.
    class Request
    {
    public:
        struct Parameters
        {
            std::string m_AudioData;
            std::string m_Language;
            std::vector<std::string> m_LanguageAlternatives;
        };

        explicit Request(S2tServer* pServer);
        virtual ~Request();

        // True: under way, and OnResponse will be called exactly once later.
        // False: nothing was answered and nothing is pending; the caller deletes it.
        virtual bool Process() = 0;

        // Reports the one reply. The object no longer exists when this returns.
        void OnResponse(int statusCode, const std::string& reason, const HeaderMap& headers, const std::string& data)
        {
            m_pServer->OnTranscribeResponse(this, statusCode, reason, headers, data);
        }

        S2tServer* m_pServer;
        uint64_t m_Id;
        evhttp_request* m_pHttpRequest;
        std::string m_TransactionId;
        std::string m_Mailbox;
        std::string m_MsIsdn;
        Parameters m_Parameters;
        std::chrono::steady_clock::time_point m_Arrived;
        size_t m_BodyBytes; // of the transcription request
    };

    S2tServer(const std::string& name, bool debugLogging);
    ~S2tServer();

    S2tServer(const S2tServer&) = delete;
    S2tServer& operator=(const S2tServer&) = delete;

    bool Create(const std::string& configPath);
    void RunEventLoop();
    void Destroy();

    event_base* GetEventBase() const { return m_pEventBase; }
    evdns_base* GetDnsEventBase() const { return m_pDnsEventBase; }
    SSL_CTX* GetSecurityContext() const { return m_pSslContext; }
    Inbound& GetInbound() { return m_Inbound; }
    Stop& GetStop() { return m_Stop; }
    Metrics& GetMetrics() { return m_Metrics; }
    size_t RequestsInFlight() const { return m_RequestMap.size(); }
    // The loop ends after the pass it is in.
    void EndEventLoop();
    // The stop will not wait for them any longer: each request in flight is
    // answered 503, and its connection closed.
    void AbandonRequests();
    // 0 when a request whose head has come in may go on; otherwise the status it is
    // refused with before its body is read, and the reason phrase.
    int Screen(const RequestHead& head, const char*& reason) const;

    using Endpoint = Metrics::Endpoint;

    // The endpoint callbacks forward here: trace, authorise, dispatch.
    void OnHttpRequest(evhttp_request* req, Endpoint endpoint);

    // Reads the transcription body; `data` is parsed in place and left changed.
    static bool ParseTranscribeRequestData(std::string& data, Request::Parameters& parameters);
    static bool TokenMatches(const std::string& expected, const std::string& received);

protected:
    // Traces the request and collects its headers and body; false for one whose
    // framing a proxy in front could read otherwise (it is refused with 400).
    static bool ValidateRequest(evhttp_request* req, HeaderMap& headersOut, std::string& dataOut);
    void OnLivenessRequest(evhttp_request* req);
    void OnReadinessRequest(evhttp_request* req);
    void OnExitRequest(evhttp_request* req);
    void OnMetricsRequest(evhttp_request* req);
    void OnOtherRequest(evhttp_request* req);
    bool OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data);
    void OnTranscribeResponse(Request* pRequest, int statusCode, const std::string& reason, const HeaderMap& headers,
                              const std::string& data);

private:
    friend struct S2tServerInspector; // tests look inside

    bool CreateHandles(const std::string& configPath);
    bool CreateHttpServer();
    bool LoadConfig(const std::string& path);
    bool LoadHttpServerConfig(const rapidjson::Value& config);
    bool SetupListenerTls();
    bool SetupCerts();
    static bool IsAuthorized(const std::string& authorization, const std::string& token);
    bool AuthorizeOrRefuse(evhttp_request* req, const HeaderMap& headers, const std::string& token);
    // Every reply of the service goes out here.
    void Reply(evhttp_request* req, int statusCode, const char* reason, evbuffer* pBody = nullptr);
    void Reply(evhttp_request* req, int statusCode, const char* reason, const std::string& body);
    // A reply after which the connection closes: whatever follows on it is never served.
    void ReplyAndClose(evhttp_request* req, int statusCode, const char* reason);
    bool TakeRequestId(uint64_t& id);
    void Retire(Request* pRequest);
    void Cleanup();

    std::string m_Name;
    bool m_EventLoopOn;
    event_base* m_pEventBase;
    evdns_base* m_pDnsEventBase;
    SSL_CTX* m_pSslContext;
    evhttp* m_pHttp;
    GcClient* m_pGcClient;
    std::string m_ClientAuthToken;
    std::string m_AdminAuthToken;
    std::string m_Address;
    uint16_t m_Port;
    bool m_Secure;
    std::string m_CertChain;
    std::string m_PrivateKey;
    uint64_t m_LastRequestId;
    std::map<uint64_t, Request*> m_RequestMap;
    bool m_MetricsOn;
    std::string m_MetricsAuthToken;
    Metrics m_Metrics;
    Inbound m_Inbound;
    Stop m_Stop;
};
