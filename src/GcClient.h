#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <rapidjson/fwd.h>

#include "CloudCall.h"
#include "Resolver.h"
#include "S2tServer.h"

struct event;
struct evbuffer;
struct evdns_base;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct x509_store_st X509_STORE;

// The client of the two cloud services: their endpoints and access key, and the
// requests that carry transcriptions through them.
class GcClient
{
public:
    // One transcription carried through the recognition call and then the
    // sentiment call; it answers its caller exactly once, through OnResponse.
    class GcRequest : public S2tServer::Request, private CloudCall::Owner
    {
    public:
        // Which step of the chain is under way; only SetState changes it.
        enum State
        {
            State_None = 0,
            State_PerformingTranscription = 1,
            State_PerformingSentimentAnalysis = 2,
            State_StartingLongRunningTranscription = 3, // recordings over a minute
            State_WaitingForOperation = 4,              // between two polls of it
            State_PollingOperation = 5,
        };

        // How the chain ended, which Finish turns into the caller's reply.
        enum class Outcome
        {
            Answered,     // the sentiment call answered 200: its reply is the caller's
            CloudFailure, // a call failed, answered another status, or answered nonsense
            TimedOut,     // a call, or the long-running recognition, ran out of time
            NotStarted,   // a later call of the chain could not be started
        };

        GcRequest(S2tServer* pServer, GcClient* pClient);
        ~GcRequest() override;

        bool Process() override;
        // The wait before the next poll of a long-running recognition is over.
        void OnWaitOver();

    protected:
        bool DoTranscribe();
        bool DoSentimentAnalysis(const std::string& language, const std::string& text);
        // Reads a recognition reply: the language code of the first result, and
        // the transcripts of all of them joined. False when it is not a JSON object.
        static bool ParseTranscribeResults(const std::string& data, std::string& language, std::string& text);
        // The end of each call of the chain.
        void OnComplete(CloudCall::Outcome outcome, const CloudCall::Reply& reply) override;

    private:
        void SetState(State state) { m_State = state; }
        // Prepares the call of `uri`, then sends `pBody` (null: a GET).
        bool SendCall(const std::string& uri, evbuffer* pBody, State state, int timeoutSeconds);
        std::string MethodUri(const std::string& endpoint, const std::string& method) const;
        bool SendRecognition(const char* method, State state);
        void OnRecognized(const CloudCall::Reply& reply);
        void OnOperation(const CloudCall::Reply& reply);
        bool StartLongRunning();
        void WaitForOperation();
        void Analyse(const std::string& language, const std::string& text);
        void Finish(Outcome outcome, const CloudCall::Reply& reply = CloudCall::Reply());
        void CountCall(State state, Metrics::CloudOutcome outcome) const;
        // Frees every handle the request holds; safe to call twice.
        void Release();

        GcClient* m_pClient;
        State m_State;
        CloudCall m_Call;
        // The body of the call under way, which the call sends again to each address
        // it tries. The recognition's is kept until the recognition is done, so that
        // it can be sent again as a long-running one.
        evbuffer* m_pBody;
        event* m_pWait;
        std::string m_Operation;
        int64_t m_LongRunningDeadline; // steady clock, microseconds
        int m_PollDelaySeconds;
        std::chrono::steady_clock::time_point m_CallStarted;
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
    int GetCallTimeout() const { return static_cast<int>(m_CallTimeoutSeconds); }
    uint64_t GetLongRunningTimeout() const { return m_LongRunningTimeoutSeconds; }
    event_base* GetEventBase() const { return m_pServer->GetEventBase(); }
    evdns_base* GetDnsBase() const { return m_pServer->GetDnsEventBase(); }
    // Made on first use, once the service's loop exists.
    Resolver& GetResolver();

    // The certificate authorities outbound HTTPS trusts: OpenSSL's default verify
    // paths (SSL_CERT_FILE and SSL_CERT_DIR can name others). Loaded on first use.
    X509_STORE* GetTrustStore();

    // The context of outbound HTTPS, of its own so that the listener's certificate
    // is never offered to an endpoint; null when the service has no TLS at all.
    // `keepSession` receives each session an endpoint offers.
    SSL_CTX* GetTlsContext(int (*keepSession)(SSL*, SSL_SESSION*));
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
    std::unique_ptr<Resolver> m_pResolver;
    uint64_t m_MaxReplySize;              // bytes of a cloud reply's body
    uint64_t m_CallTimeoutSeconds;        // each cloud call
    uint64_t m_LongRunningTimeoutSeconds; // a long-running recognition as a whole
};
