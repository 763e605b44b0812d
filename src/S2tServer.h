#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <rapidjson/fwd.h>

struct bufferevent;
struct event;
struct event_base;
struct evdns_base;
struct evhttp;
struct evhttp_bound_socket;
struct evhttp_request;
struct evkeyvalq;
typedef struct ssl_ctx_st SSL_CTX;

class GcClient;

// Header names compare byte for byte, so lookups are case-sensitive.
using HeaderMap = std::map<std::string, std::string>;

// Copies the string member `name` of `object`, up to its first NUL. Leaves `out`
// unchanged when the member is absent or not a string. `object` must be an object.
void CopyStringMember(const rapidjson::Value& object, const char* name, std::string& out);
// The same for an unsigned integer member.
void CopyUintMember(const rapidjson::Value& object, const char* name, uint64_t& out);

// Writes each header to the trace as "  name: value", in arrival order, and, when
// `pCollected` is given, stores it there (a repeated name keeps its last value).
void TraceHeaders(const evkeyvalq* pHeaders, HeaderMap* pCollected);

class S2tServer
{
public:
    // One transcription in flight. The service creates it, names it in m_RequestMap
    // and deletes it in exactly one place: when its start fails, or after its reply.
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
        size_t m_BodySize; // of the inbound request; large ones give memory back when they end
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

    enum class Endpoint
    {
        Transcribe,
        Liveness,
        Readiness,
        Exit
    };

    // The endpoint callbacks forward here: trace, authorise, dispatch.
    void OnHttpRequest(evhttp_request* req, Endpoint endpoint);
    void OnExitReplySent();
    // SIGTERM or SIGINT: the first drains the requests in flight, a second stops at once.
    void OnStopSignal(int signal);
    // A reply sent while draining has been written to its caller.
    void OnDrainReplySent();
    // Accepting is paused while no descriptor is free; this resumes it once one is.
    void OnAcceptCheck();

    // The stream of an accepted connection, in TLS when the service is secure, with
    // a clock on each request that arrives on it.
    bufferevent* OnNewConnection(event_base* pEventBase);
    // Wraps an accepted connection in TLS. A connection whose TLS object cannot be
    // made is dropped rather than served in plain text.
    static bufferevent* NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext);
    struct RequestClock;

    // Reads the transcription body; `data` is parsed in place and left changed.
    static bool ParseTranscribeRequestData(std::string& data, Request::Parameters& parameters);
    static bool TokenMatches(const std::string& expected, const std::string& received);

protected:
    static bool ValidateRequest(evhttp_request* req, HeaderMap& headersOut, std::string& dataOut);
    bool OnLivenessRequest(evhttp_request* req, const HeaderMap& headers, const std::string& data);
    bool OnReadinessRequest(evhttp_request* req, const HeaderMap& headers, const std::string& data);
    bool OnExitRequest(evhttp_request* req, const HeaderMap& headers, const std::string& data);
    bool OnTranscribeRequest(evhttp_request* req, const HeaderMap& headers, std::string& data);
    bool OnTranscribeResponse(Request* pRequest, int statusCode, const std::string& reason, const HeaderMap& headers,
                              const std::string& data);

private:
    friend struct S2tServerInspector; // tests look inside

    bool CreateHandles(const std::string& configPath);
    bool CreateHttpServer();
    bool LoadConfig(const std::string& path);
    bool LoadHttpServerConfig(const rapidjson::Value& config);
    bool SetupListenerTls();
    bool WatchSignalsAndAccepting();
    void FinishDrainWhenDone();
    bool SetupCerts();
    bool IsAuthorized(const HeaderMap& headers, const std::string& token) const;
    bool AuthorizeOrRefuse(evhttp_request* req, const HeaderMap& headers, const std::string& token);
    static void CopyHeader(const HeaderMap& headers, const char* name, std::string& out);
    bool TakeRequestId(uint64_t& id);
    void TimeRequests(bufferevent* pBev);
    void ReleaseRequests();
    void Cleanup();

    std::string m_Name;
    bool m_EventLoopOn;
    event_base* m_pEventBase;
    evdns_base* m_pDnsEventBase;
    SSL_CTX* m_pSslContext;
    evhttp* m_pHttp;
    event* m_pTrimTimer;                 // gives large bodies' memory back once they stop coming
    evhttp_bound_socket* m_pBoundSocket; // null once draining has stopped accepting
    event* m_pSigTerm;
    event* m_pSigInt;
    event* m_pAcceptCheck;
    bool m_Draining;
    int m_RepliesInWriting; // while draining
    GcClient* m_pGcClient;
    std::string m_ClientAuthToken;
    std::string m_AdminAuthToken;
    std::string m_Address;
    uint16_t m_Port;
    bool m_Secure;
    std::string m_CertChain;
    std::string m_PrivateKey;
    // Inbound limits: a body or header block over its size gets 413, and a connection
    // idle, or reading or writing, for longer than the time-out is closed.
    uint64_t m_MaxBodySize;
    uint64_t m_MaxHeaderSize;
    uint64_t m_TimeoutSeconds;
    // One per connection stream, by its address: a stream freed with its connection
    // may be made again at the same address, and its clock then starts afresh.
    std::unordered_map<bufferevent*, std::unique_ptr<RequestClock>> m_RequestClocks;
    uint64_t m_LastRequestId;
    std::map<uint64_t, Request*> m_RequestMap;
};
