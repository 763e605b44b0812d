#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <event2/http.h>
#include <event2/util.h>
#include <rapidjson/fwd.h>

#include "S2tServer.h"

struct bufferevent;
struct evbuffer;
struct event;
struct evhttp_connection;
struct evhttp_uri;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;
typedef struct x509_store_st X509_STORE;

// The client of the two cloud services: their endpoints and access key, and the
// requests that carry transcriptions through them.
class GcClient
{
public:
    struct HostLookup;

    // One transcription carried through the recognition call and then the
    // sentiment call; it answers its caller exactly once, through OnResponse.
    class GcRequest : public S2tServer::Request
    {
    public:
        enum State
        {
            State_None = 0,
            State_PerformingTranscription = 1,
            State_PerformingSentimentAnalysis = 2,
        };

        // Where the current exchange stands; only SetPhase changes it.
        enum class Phase
        {
            Idle,        // no exchange
            Prepared,    // URI parsed; connected to directly, or looked up once made
            Resolving,   // request built and timer armed; the host name is being looked up
            HandingOver, // inside evhttp_make_request
            InFlight,    // the connection has the request; its completion or the timer ends it
            Failed,      // ended before a completion could come; reported through m_pFailure
        };

        GcRequest(S2tServer* pServer, GcClient* pClient);
        ~GcRequest() override;

        bool Process() override;

        // Where the libevent callbacks of the current exchange arrive.
        void OnRequestDone(evhttp_request* pRequest);
        void OnTimeout();
        void OnFailure();
        void OnHostResolved(int result, evutil_addrinfo* pAddresses);
        // A TLS session the endpoint offers; true when it is kept for later calls.
        bool OnNewSession(SSL_SESSION* pSession);

    protected:
        bool DoTranscribe();
        bool DoSentimentAnalysis(const std::string& language, const std::string& text);
        static bool ParseTranscribeResults(const std::string& data, std::string& language, std::string& text);

        bool CreateConnection(const std::string& uri);
        bool MakeRequest(evbuffer* pBody);
        void OnComplete(bool status);

        // Release functions: idempotent, called in this order by ReleaseExchange.
        void Cleanup();
        void ClearTimer();
        void CloseConnection();

    private:
        void SetPhase(Phase phase) { m_Phase = phase; }
        void ReleaseExchange();
        template <typename Handle>
        void Release(Handle*& pHandle, void (*pFree)(Handle*), const char* line) const;
        // One trace line of this request: "<>" in `format` is where "<id>" goes.
        void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
        // The same for a line with no conversions.
        void TraceLine(const char* line) const;

        std::string MethodUri(const std::string& endpoint, const char* method) const;
        std::string HostName() const;
        uint16_t Port() const;
        std::string SessionKey() const;
        using Body = std::unique_ptr<evbuffer, void (*)(evbuffer*)>;
        // Prepares the exchange with `endpoint` + `method`, then sends the composed body.
        bool SendCall(const std::string& endpoint, const char* method, Body body, State state);
        bool CreateTlsBufferevent();
        bool NewConnection(const char* address);
        bool NewRequest(evbuffer* pBody);
        bool NewEvents();
        bool HandOver();
        void StartHostLookup();
        void FailExchange();
        bool ReadReply(bool status, int& responseCode, std::string& reason, std::string& responseData) const;
        void ReportVerificationFailure() const;

        GcClient* m_pClient;
        evhttp_connection* m_pConnection;
        // Ours until handed over to the connection, which then frees it.
        evhttp_request* m_pRequest;
        event* m_pTimer;
        event* m_pFailure;
        evhttp_uri* m_pHttpUri;
        evhttp_cmd_type m_RequestType;
        State m_State;
        Phase m_Phase;
        std::string m_Uri;
        // The TLS stream until a connection owns it, and the name lookup in progress.
        bufferevent* m_pTlsBufferevent;
        HostLookup* m_pLookup;
    };

    GcClient(const std::string& name, S2tServer* pServer);
    ~GcClient();

    GcClient(const GcClient&) = delete;
    GcClient& operator=(const GcClient&) = delete;

    bool LoadConfig(const rapidjson::Value& config);

    const std::string& GetName() const { return m_Name; }
    const std::string& GetSpeechServiceEndpoint() const { return m_SpeechServiceEndpoint; }
    const std::string& GetLanguageServiceEndpoint() const { return m_LanguageServiceEndpoint; }
    const std::string& GetServiceAccount() const { return m_ServiceAccount; }
    const std::string& GetAccessKey() const { return m_AccessKey; }
    uint64_t GetMaxReplySize() const { return m_MaxReplySize; }

    // The certificate authorities outbound HTTPS trusts: OpenSSL's default verify
    // paths (SSL_CERT_FILE and SSL_CERT_DIR can name others). Loaded on first use.
    X509_STORE* GetTrustStore();

    // The context of outbound HTTPS, of its own so that the listener's certificate
    // is never offered to an endpoint; null when the service has no TLS at all.
    SSL_CTX* GetTlsContext();
    // The newest TLS session of each endpoint ("host port"), offered again on the
    // next fresh connection to it.
    SSL_SESSION* FindSession(const std::string& endpoint) const;
    void KeepSession(const std::string& endpoint, SSL_SESSION* pSession);

private:
    std::string m_Name;
    S2tServer* m_pServer;
    std::string m_SpeechServiceEndpoint;
    std::string m_LanguageServiceEndpoint;
    std::string m_ServiceAccount;
    std::string m_AccessKey;
    X509_STORE* m_pTrustStore;
    SSL_CTX* m_pTlsContext;
    std::map<std::string, SSL_SESSION*> m_Sessions;
    uint64_t m_MaxReplySize; // bytes of a cloud reply's body
};
