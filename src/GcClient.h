#pragma once

#include <cstdint>
#include <string>

#include <event2/http.h>
#include <event2/util.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>

#include "S2tServer.h"

struct event;
struct evhttp_connection;
struct evhttp_uri;
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

        GcRequest(S2tServer* pServer, GcClient* pClient);
        ~GcRequest() override;

        bool Process() override;

        // Where the libevent callbacks of the current exchange arrive.
        void OnRequestDone(evhttp_request* pRequest);
        void OnTimer();
        void OnHostResolved(int result, evutil_addrinfo* pAddresses);

    protected:
        bool DoTranscribe();
        bool DoSentimentAnalysis(const std::string& language, const std::string& text);
        static bool ParseTranscribeResults(const std::string& data, std::string& language, std::string& text);
        static bool ParseResults(const rapidjson::Value& results, std::string& language, std::string& text);
        static bool ParseAlternatives(const rapidjson::Value& alternatives, std::string& text);

        bool CreateConnection(const std::string& uri);
        bool MakeRequest(std::string data);
        void OnTimeout();
        void OnComplete(bool status);

        // Release functions: idempotent, called in this order.
        void Cleanup();
        void ClearTimer();
        void CloseConnection();

    private:
        std::string MethodUri(const std::string& endpoint, const char* method) const;
        bool SendComposed(const rapidjson::StringBuffer& buffer, State state);
        bool CreateTlsBufferevent();
        bool NewConnection(const char* address);
        bool HandOver();
        void StartHostLookup();
        void FailExchange();
        void ReportVerificationFailure() const;

        GcClient* m_pClient;
        evhttp_connection* m_pConnection;
        evhttp_request* m_pRequest;
        event* m_pTimer;
        evhttp_uri* m_pHttpUri;
        evhttp_cmd_type m_RequestType;
        State m_State;
        std::string m_Uri;

        // The exchange being prepared: the endpoint's host (without IPv6 brackets)
        // and port, the TLS stream until a connection owns it, the name lookup in
        // progress, and the request target and body until they are handed over.
        std::string m_Host;
        uint16_t m_Port;
        bufferevent* m_pTlsBufferevent;
        HostLookup* m_pLookup;
        std::string m_Target;
        std::string m_Body;
        bool m_HandingOver;
        bool m_ExchangeFailed;
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

    // The certificate authorities outbound HTTPS trusts: OpenSSL's default verify
    // paths (SSL_CERT_FILE and SSL_CERT_DIR can name others). Loaded on first use.
    X509_STORE* GetTrustStore();

private:
    std::string m_Name;
    S2tServer* m_pServer;
    std::string m_SpeechServiceEndpoint;
    std::string m_LanguageServiceEndpoint;
    std::string m_ServiceAccount;
    std::string m_AccessKey;
    X509_STORE* m_pTrustStore;
};
