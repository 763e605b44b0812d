#include "GcClient.h"

#include <netinet/in.h>
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// A name lookup in progress. Its request owns it until the lookup is cancelled;
// from then on the lookup's callback does, since evdns still reports the
// cancellation later, possibly after the request is gone.
struct GcClient::HostLookup
{
    GcClient::GcRequest* pOwner;
    evdns_getaddrinfo_request* pHandle;
};

namespace
{

const timeval kExchangeTimeout = {5, 0};
const int kConnectionTimeoutSeconds = 60;
const int kConnectionRetries = 5;

void GcRequestDone(evhttp_request* pRequest, void* pContext)
{
    if (pContext == nullptr)
    {
        puts("NULL context in HTTP callback");
        return;
    }
    static_cast<GcClient::GcRequest*>(pContext)->OnRequestDone(pRequest);
}

void GcRequestTimedout(evutil_socket_t, short, void* pContext)
{
    if (pContext == nullptr)
    {
        puts("NULL context in timer callback");
        return;
    }
    static_cast<GcClient::GcRequest*>(pContext)->OnTimer();
}

void HostResolvedCb(int result, evutil_addrinfo* pAddresses, void* pContext)
{
    GcClient::HostLookup* pLookup = static_cast<GcClient::HostLookup*>(pContext);
    GcClient::GcRequest* pOwner = pLookup != nullptr ? pLookup->pOwner : nullptr;
    if (pLookup == nullptr)
        puts("NULL context in DNS callback");
    delete pLookup;
    if (pOwner != nullptr)
        pOwner->OnHostResolved(result, pAddresses);
    else if (pAddresses != nullptr)
        evutil_freeaddrinfo(pAddresses);
}

// The numeric text of an IPv4 or IPv6 address, for connecting without a lookup.
void FormatAddress(const sockaddr* pAddress, char* text, size_t size)
{
    if (pAddress->sa_family == AF_INET)
        evutil_inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr, text, size);
    else if (pAddress->sa_family == AF_INET6)
        evutil_inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(pAddress)->sin6_addr, text, size);
}

} // namespace

GcClient::GcClient(const std::string& name, S2tServer* pServer)
    : m_Name(name)
    , m_pServer(pServer)
    , m_pTrustStore(nullptr)
{
}

GcClient::~GcClient()
{
    if (m_pTrustStore != nullptr)
        X509_STORE_free(m_pTrustStore);
}

bool GcClient::LoadConfig(const rapidjson::Value& config)
{
    CopyStringMember(config, "service-account", m_ServiceAccount);
    CopyStringMember(config, "speech-service-endpoint", m_SpeechServiceEndpoint);
    CopyStringMember(config, "language-service-endpoint", m_LanguageServiceEndpoint);
    CopyStringMember(config, "access-key", m_AccessKey);
    return true;
}

X509_STORE* GcClient::GetTrustStore()
{
    if (m_pTrustStore == nullptr)
    {
        m_pTrustStore = X509_STORE_new();
        if (m_pTrustStore != nullptr && X509_STORE_set_default_paths(m_pTrustStore) != 1)
        {
            X509_STORE_free(m_pTrustStore);
            m_pTrustStore = nullptr;
        }
    }
    return m_pTrustStore;
}

GcClient::GcRequest::GcRequest(S2tServer* pServer, GcClient* pClient)
    : S2tServer::Request(pServer)
    , m_pClient(pClient)
    , m_pConnection(nullptr)
    , m_pRequest(nullptr)
    , m_pTimer(nullptr)
    , m_pHttpUri(nullptr)
    , m_RequestType(EVHTTP_REQ_POST)
    , m_State(State_None)
    , m_Port(0)
    , m_pTlsBufferevent(nullptr)
    , m_pLookup(nullptr)
    , m_HandingOver(false)
    , m_ExchangeFailed(false)
{
}

GcClient::GcRequest::~GcRequest()
{
    Cleanup();
    ClearTimer();
    CloseConnection();
}

bool GcClient::GcRequest::Process()
{
    return DoTranscribe();
}

// ---- Recognition and sentiment calls -------------------------------------------

std::string GcClient::GcRequest::MethodUri(const std::string& endpoint, const char* method) const
{
    std::string uri = endpoint + method;
    if (!m_pClient->GetAccessKey().empty())
        uri += "?key=" + m_pClient->GetAccessKey();
    return uri;
}

bool GcClient::GcRequest::SendComposed(const rapidjson::StringBuffer& buffer, State state)
{
    std::string body(buffer.GetString(), buffer.GetSize());
    printf("Composed data:\n  %s\n", body.c_str());
    m_State = state;
    return MakeRequest(std::move(body));
}

bool GcClient::GcRequest::DoTranscribe()
{
    if (!CreateConnection(MethodUri(m_pClient->GetSpeechServiceEndpoint(), "/speech:recognize")))
        return false;

    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("config");
    writer.StartObject();
    if (!m_Parameters.m_Language.empty())
    {
        writer.Key("languageCode");
        writer.String(m_Parameters.m_Language.c_str());
    }
    if (!m_Parameters.m_LanguageAlternatives.empty())
    {
        writer.Key("alternativeLanguageCodes");
        writer.StartArray();
        for (const std::string& alternative : m_Parameters.m_LanguageAlternatives)
            writer.String(alternative.c_str());
        writer.EndArray();
    }
    writer.EndObject();
    writer.Key("audio");
    writer.StartObject();
    writer.Key("content");
    writer.String(m_Parameters.m_AudioData.c_str());
    writer.EndObject();
    writer.EndObject();
    return SendComposed(buffer, State_PerformingTranscription);
}

bool GcClient::GcRequest::DoSentimentAnalysis(const std::string& language, const std::string& text)
{
    if (!CreateConnection(MethodUri(m_pClient->GetLanguageServiceEndpoint(), "/documents:analyzeSentiment")))
        return false;

    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("document");
    writer.StartObject();
    writer.Key("type");
    writer.String("PLAIN_TEXT");
    writer.Key("language");
    writer.String(language.c_str());
    writer.Key("content");
    writer.String(text.c_str());
    writer.EndObject();
    writer.EndObject();
    return SendComposed(buffer, State_PerformingSentimentAnalysis);
}

bool GcClient::GcRequest::ParseTranscribeResults(const std::string& data, std::string& language, std::string& text)
{
    // The iterative parser keeps a deeply nested reply off the stack.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(data.data(), data.size());
    if (document.HasParseError() || !document.IsObject())
        return false;
    rapidjson::Value::ConstMemberIterator results = document.FindMember("results");
    if (results != document.MemberEnd() && results->value.IsArray())
        ParseResults(results->value, language, text);
    return true;
}

bool GcClient::GcRequest::ParseResults(const rapidjson::Value& results, std::string& language, std::string& text)
{
    for (const rapidjson::Value& result : results.GetArray())
    {
        if (!result.IsObject())
            continue;
        rapidjson::Value::ConstMemberIterator alternatives = result.FindMember("alternatives");
        if (alternatives != result.MemberEnd() && alternatives->value.IsArray())
            ParseAlternatives(alternatives->value, text);
        CopyStringMember(result, "languageCode", language);
        return true;
    }
    return false;
}

bool GcClient::GcRequest::ParseAlternatives(const rapidjson::Value& alternatives, std::string& text)
{
    for (const rapidjson::Value& alternative : alternatives.GetArray())
    {
        if (!alternative.IsObject())
            continue;
        CopyStringMember(alternative, "transcript", text);
        return true;
    }
    return false;
}

// ---- Workflow --------------------------------------------------------------------

void GcClient::GcRequest::OnComplete(bool status)
{
    if (m_State == State_None)
        return;

    int responseCode = 0;
    std::string reason;
    std::string responseData;
    if (status)
    {
        responseCode = evhttp_request_get_response_code(m_pRequest);
        const char* codeLine = evhttp_request_get_response_code_line(m_pRequest);
        reason = codeLine != nullptr ? codeLine : "";
        printf("Received HTTP response [%d %s] for <%" PRIu64 "> [%s]\n", responseCode, reason.c_str(), m_Id,
               m_Uri.c_str());
        TraceHeaders(evhttp_request_get_input_headers(m_pRequest), nullptr);
        if (responseCode == 200)
        {
            evbuffer* pInput = evhttp_request_get_input_buffer(m_pRequest);
            if (pInput != nullptr)
            {
                size_t length = evbuffer_get_length(pInput);
                const unsigned char* pData = evbuffer_pullup(pInput, static_cast<ev_ssize_t>(length));
                responseData.assign(reinterpret_cast<const char*>(pData), length);
                printf("Data [%zu bytes] <%" PRIu64 ">\n", length, m_Id);
                fwrite(responseData.data(), 1, responseData.size(), stdout);
                putchar('\n');
            }
        }
        else
        {
            printf("HTTP request failed [%d] <%" PRIu64 ">\n", responseCode, m_Id);
        }
    }

    Cleanup();
    ClearTimer();
    CloseConnection();
    m_pRequest = nullptr;

    HeaderMap headers;
    if (responseCode != 200)
    {
        OnResponse(401, "Method Failed", headers, responseData);
        return;
    }
    if (m_State == State_PerformingTranscription)
    {
        std::string language;
        std::string text;
        ParseTranscribeResults(responseData, language, text);
        // The caller still waits: a sentiment call that cannot start is a failed call.
        if (!DoSentimentAnalysis(language, text))
            OnResponse(401, "Method Failed", headers, std::string());
        return;
    }
    if (!responseData.empty())
        headers["Content-Type"] = "application/json";
    m_State = State_None;
    OnResponse(200, reason, headers, responseData);
}

// ---- Outbound exchange -------------------------------------------------------------

bool GcClient::GcRequest::CreateConnection(const std::string& uri)
{
    m_Uri = uri;
    m_pHttpUri = evhttp_uri_parse(uri.c_str());
    if (m_pHttpUri == nullptr)
    {
        printf("Malformed HTTP URI [%s] provided for <%" PRIu64 ">\n", uri.c_str(), m_Id);
        return false;
    }
    const char* scheme = evhttp_uri_get_scheme(m_pHttpUri);
    if (scheme == nullptr)
    {
        printf("Malformed URI scheme [%s] for <%" PRIu64 ">\n", uri.c_str(), m_Id);
        return false;
    }
    bool secure = false;
    if (strcasecmp(scheme, "https") == 0)
        secure = true;
    else if (strcasecmp(scheme, "http") != 0)
    {
        printf("Unknown URI scheme [%s] for <%" PRIu64 ">: must be either http or https\n", scheme, m_Id);
        return false;
    }
    const char* host = evhttp_uri_get_host(m_pHttpUri);
    if (host == nullptr || *host == '\0')
    {
        printf("Failed to get host for HTTP <%" PRIu64 ">\n", m_Id);
        return false;
    }
    int port = evhttp_uri_get_port(m_pHttpUri);
    m_Port = port == -1 ? (secure ? 443 : 80) : static_cast<uint16_t>(port);
    m_Host = host;
    if (m_Host.size() > 2 && m_Host.front() == '[' && m_Host.back() == ']')
        m_Host = m_Host.substr(1, m_Host.size() - 2);

    if (secure && !CreateTlsBufferevent())
        return false;

    // A name is looked up when the request is made, so the lookup can be cancelled
    // with the exchange. Addresses, and names when the service has no DNS base
    // (the library then resolves them itself), are connected to directly.
    evutil_addrinfo hints = {};
    hints.ai_flags = EVUTIL_AI_NUMERICHOST;
    evutil_addrinfo* pNumeric = nullptr;
    bool isAddress = evutil_getaddrinfo(m_Host.c_str(), nullptr, &hints, &pNumeric) == 0;
    if (pNumeric != nullptr)
        evutil_freeaddrinfo(pNumeric);
    if (!isAddress && m_pServer->GetDnsEventBase() != nullptr)
        return true;
    return NewConnection(m_Host.c_str());
}

bool GcClient::GcRequest::CreateTlsBufferevent()
{
    SSL_CTX* pContext = m_pServer->GetSecurityContext();
    if (pContext == nullptr)
    {
        printf("Failed to create HTTPS connection: OpenSSL context is not available for <%" PRIu64 ">\n", m_Id);
        return false;
    }
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        printf("Failed to create new OpenSSL handle for <%" PRIu64 ">\n", m_Id);
        return false;
    }
    SSL_set_tlsext_host_name(pSsl, m_Host.c_str());

    // Verify the endpoint before anything is sent, the access key included: the
    // chain against the trust store, and the name or address the URI gives. Set on
    // this connection's own handle, so the listening side is left as it is.
    X509_STORE* pTrustStore = m_pClient->GetTrustStore();
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    if (pTrustStore == nullptr || SSL_set1_verify_cert_store(pSsl, pTrustStore) != 1 ||
        (X509_VERIFY_PARAM_set1_ip_asc(pParam, m_Host.c_str()) != 1 && SSL_set1_host(pSsl, m_Host.c_str()) != 1))
    {
        printf("Failed to set up certificate verification for <%" PRIu64 ">\n", m_Id);
        SSL_free(pSsl);
        return false;
    }
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, nullptr);

    // From here the bufferevent owns the SSL handle, and frees it with itself.
    m_pTlsBufferevent = bufferevent_openssl_socket_new(m_pServer->GetEventBase(), -1, pSsl,
                                                       BUFFEREVENT_SSL_CONNECTING,
                                                       BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
    if (m_pTlsBufferevent == nullptr)
    {
        printf("Failed to create new OpenSSL bufferevent for <%" PRIu64 ">\n", m_Id);
        SSL_free(pSsl);
        return false;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(m_pTlsBufferevent, 1);
    return true;
}

bool GcClient::GcRequest::NewConnection(const char* address)
{
    // The connection takes over the TLS stream, if there is one.
    m_pConnection = evhttp_connection_base_bufferevent_new(m_pServer->GetEventBase(), nullptr, m_pTlsBufferevent,
                                                           address, m_Port);
    if (m_pConnection == nullptr)
    {
        printf("Failed to create HTTP connection for <%" PRIu64 ">\n", m_Id);
        return false;
    }
    m_pTlsBufferevent = nullptr;
    evhttp_connection_set_timeout(m_pConnection, kConnectionTimeoutSeconds);
    evhttp_connection_set_retries(m_pConnection, kConnectionRetries);
    return true;
}

bool GcClient::GcRequest::MakeRequest(std::string data)
{
    if (m_pHttpUri == nullptr || (m_pConnection == nullptr && m_Host.empty()))
        return false;

    const char* path = evhttp_uri_get_path(m_pHttpUri);
    m_Target = path != nullptr && *path != '\0' ? path : "/";
    if (const char* query = evhttp_uri_get_query(m_pHttpUri))
        m_Target += std::string("?") + query;
    m_Body = std::move(data);
    m_pTimer = event_new(m_pServer->GetEventBase(), -1, 0, GcRequestTimedout, this);
    if (m_pTimer == nullptr)
    {
        printf("Failed to create HTTP request timer for <%" PRIu64 ">\n", m_Id);
        return false;
    }

    if (m_pConnection != nullptr && !HandOver())
        return false;
    // Armed before a lookup starts: the lookup may fail at once and reschedule it.
    event_add(m_pTimer, &kExchangeTimeout);
    printf("Set HTTP request timer %ld sec for <%" PRIu64 ">\n", static_cast<long>(kExchangeTimeout.tv_sec), m_Id);
    if (m_pConnection == nullptr)
        StartHostLookup();
    return true;
}

bool GcClient::GcRequest::HandOver()
{
    m_pRequest = evhttp_request_new(GcRequestDone, this);
    if (m_pRequest == nullptr)
    {
        printf("Failed to create a new HTTP request for <%" PRIu64 ">\n", m_Id);
        return false;
    }
    evkeyvalq* pHeaders = evhttp_request_get_output_headers(m_pRequest);
    evhttp_add_header(pHeaders, "Host", evhttp_uri_get_host(m_pHttpUri));
    evhttp_add_header(pHeaders, "Content-type", "application/json");
    if (!m_Body.empty())
        evbuffer_add(evhttp_request_get_output_buffer(m_pRequest), m_Body.data(), m_Body.size());
    std::string().swap(m_Body);

    printf("Make HTTP request for <%" PRIu64 ">\n", m_Id);
    // A completion that runs inside evhttp_make_request only clears m_pRequest;
    // the failure is reported once the library has returned.
    m_HandingOver = true;
    int rv = evhttp_make_request(m_pConnection, m_pRequest, m_RequestType, m_Target.c_str());
    m_HandingOver = false;
    if (rv != 0)
    {
        printf("Failed to make HTTP request rv %d for <%" PRIu64 ">\n", rv, m_Id);
        m_pRequest = nullptr;
        return false;
    }
    if (m_pRequest == nullptr)
    {
        printf("Unexecpected error in callback for <%" PRIu64 ">\n", m_Id);
        return false;
    }
    return true;
}

void GcClient::GcRequest::StartHostLookup()
{
    printf("Resolve host [%s] for <%" PRIu64 ">\n", m_Host.c_str(), m_Id);
    evutil_addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    m_pLookup = new HostLookup{this, nullptr};
    HostLookup* pLookup = m_pLookup;
    evdns_getaddrinfo_request* pHandle =
        evdns_getaddrinfo(m_pServer->GetDnsEventBase(), m_Host.c_str(), nullptr, &hints, HostResolvedCb, pLookup);
    // An answer known at once (the hosts file) has already arrived and cleared m_pLookup.
    if (m_pLookup != nullptr)
        m_pLookup->pHandle = pHandle;
}

void GcClient::GcRequest::OnHostResolved(int result, evutil_addrinfo* pAddresses)
{
    m_pLookup = nullptr;
    char address[INET6_ADDRSTRLEN] = "";
    if (result == 0 && pAddresses != nullptr)
        FormatAddress(pAddresses->ai_addr, address, sizeof address);
    if (pAddresses != nullptr)
        evutil_freeaddrinfo(pAddresses);
    if (result != 0 || address[0] == '\0')
    {
        printf("Failed to resolve host [%s] for <%" PRIu64 ">: %s\n", m_Host.c_str(), m_Id,
               evutil_gai_strerror(result));
        FailExchange();
        return;
    }
    if (!NewConnection(address) || !HandOver())
        FailExchange();
}

void GcClient::GcRequest::FailExchange()
{
    // Reported from the loop, never from inside the caller's stack.
    const timeval now = {0, 0};
    m_ExchangeFailed = true;
    if (m_pTimer != nullptr)
        event_add(m_pTimer, &now);
}

void GcClient::GcRequest::OnRequestDone(evhttp_request* pRequest)
{
    if (pRequest == nullptr)
    {
        int error = errno;
        printf("Request failed: %s (%d)\n", strerror(error), error);
        ReportVerificationFailure();
        if (m_HandingOver)
            m_pRequest = nullptr;
        else
            OnComplete(false);
        return;
    }
    if (pRequest != m_pRequest)
    {
        puts("Mismatch in HTTP request and response");
        return;
    }
    if (m_HandingOver)
        m_pRequest = nullptr;
    else
        OnComplete(true);
}

void GcClient::GcRequest::ReportVerificationFailure() const
{
    if (m_pConnection == nullptr)
        return;
    SSL* pSsl = bufferevent_openssl_get_ssl(evhttp_connection_get_bufferevent(m_pConnection));
    if (pSsl == nullptr)
        return;
    long verifyResult = SSL_get_verify_result(pSsl);
    if (verifyResult != X509_V_OK)
        printf("Certificate verification failed for <%" PRIu64 ">: %s\n", m_Id,
               X509_verify_cert_error_string(verifyResult));
}

void GcClient::GcRequest::OnTimer()
{
    if (!m_ExchangeFailed)
    {
        OnTimeout();
        return;
    }
    m_ExchangeFailed = false;
    OnComplete(false);
}

void GcClient::GcRequest::OnTimeout()
{
    printf("Request timed out for <%" PRIu64 ">\n", m_Id);
    if (m_pRequest != nullptr)
    {
        evhttp_cancel_request(m_pRequest);
        m_pRequest = nullptr;
    }
    Cleanup();
    ClearTimer();
    CloseConnection();
    OnResponse(408, "Request Timeout", HeaderMap(), std::string());
}

void GcClient::GcRequest::Cleanup()
{
    if (m_pHttpUri == nullptr)
        return;
    printf("Clean up HTTP <%" PRIu64 ">\n", m_Id);
    evhttp_uri_free(m_pHttpUri);
    m_pHttpUri = nullptr;
}

void GcClient::GcRequest::ClearTimer()
{
    if (m_pTimer == nullptr)
        return;
    printf("Clear HTTP timer <%" PRIu64 ">\n", m_Id);
    event_free(m_pTimer);
    m_pTimer = nullptr;
}

void GcClient::GcRequest::CloseConnection()
{
    if (m_pLookup != nullptr)
    {
        // The lookup's callback still comes, with the cancellation, and frees it.
        printf("Cancel host lookup <%" PRIu64 ">\n", m_Id);
        m_pLookup->pOwner = nullptr;
        if (m_pLookup->pHandle != nullptr)
            evdns_getaddrinfo_cancel(m_pLookup->pHandle);
        else
            delete m_pLookup;
        m_pLookup = nullptr;
    }
    if (m_pTlsBufferevent != nullptr)
    {
        bufferevent_free(m_pTlsBufferevent);
        m_pTlsBufferevent = nullptr;
    }
    if (m_pConnection != nullptr)
    {
        printf("Close HTTP connection <%" PRIu64 ">\n", m_Id);
        evhttp_connection_free(m_pConnection);
        m_pConnection = nullptr;
    }
    m_Host.clear();
    std::string().swap(m_Body);
}
