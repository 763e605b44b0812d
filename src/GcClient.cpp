#include "GcClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <rapidjson/document.h>
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
const ev_ssize_t kMaxReplyHeaderSize = 64 << 10;

// A reason phrase fit for the caller's status line: control characters, CR and LF
// among them, would let a cloud reply write headers of its own into it.
std::string PrintableReason(std::string reason)
{
    for (char& c : reason)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return reason;
}

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
    static_cast<GcClient::GcRequest*>(pContext)->OnTimeout();
}

void GcExchangeFailed(evutil_socket_t, short, void* pContext)
{
    if (pContext == nullptr)
    {
        puts("NULL context in failure callback");
        return;
    }
    static_cast<GcClient::GcRequest*>(pContext)->OnFailure();
}

// A session the endpoint offers for later connections; with TLS 1.3 it comes
// after the handshake. A copy is kept: the connection's own is marked spent when
// the connection is freed without a TLS shutdown, which evhttp never sends.
int KeepNewSession(SSL* pSsl, SSL_SESSION* pSession)
{
    void* pContext = SSL_get_app_data(pSsl);
    if (pContext == nullptr)
    {
        puts("NULL context in TLS session callback");
        return 0;
    }
    SSL_SESSION* pCopy = SSL_SESSION_dup(pSession);
    if (pCopy != nullptr && !static_cast<GcClient::GcRequest*>(pContext)->OnNewSession(pCopy))
        SSL_SESSION_free(pCopy);
    return 0;
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

// TLS sends a request as several records; without this, Nagle's algorithm holds
// each back until the endpoint's delayed acknowledgement of the one before.
void SendWithoutDelay(evhttp_connection* pConnection)
{
    const int one = 1;
    evutil_socket_t fd = bufferevent_getfd(evhttp_connection_get_bufferevent(pConnection));
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void FreeAudio(const void*, size_t, void* pAudio)
{
    delete static_cast<std::string*>(pAudio);
}

// A quote, backslash or control character: all the JSON writer would escape.
// Bitwise, not short-circuit, so that a loop over it has no branch.
unsigned char MustEscape(unsigned char c)
{
    return (c < 0x20) | (c == '"') | (c == '\\');
}

// True when the text goes into a JSON string as it is. Whole blocks are checked
// with no branch inside, which the compiler turns into vector code.
bool NeedsNoEscaping(const std::string& text)
{
    const size_t kBlock = 64;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t at = 0;
    for (; at + kBlock <= size; at += kBlock)
    {
        unsigned char escaped = 0;
        for (size_t i = 0; i < kBlock; ++i)
            escaped |= MustEscape(p[at + i]);
        if (escaped != 0)
            return false;
    }
    for (; at < size; ++at)
        if (MustEscape(p[at]) != 0)
            return false;
    return true;
}

// Appends the audio as a JSON string. Base64 needs no escaping, so such audio is
// moved into the body by reference, not copied, and freed once it has been sent.
void AppendAudio(evbuffer* pBody, std::string& audio)
{
    if (audio.empty() || !NeedsNoEscaping(audio))
    {
        rapidjson::StringBuffer escaped;
        JsonWriter writer(escaped);
        writer.String(audio.data(), static_cast<rapidjson::SizeType>(audio.size()));
        evbuffer_add(pBody, escaped.GetString(), escaped.GetSize());
        return;
    }
    std::string* pAudio = new std::string(std::move(audio));
    evbuffer_add(pBody, "\"", 1);
    if (evbuffer_add_reference(pBody, pAudio->data(), pAudio->size(), FreeAudio, pAudio) != 0)
    {
        evbuffer_add(pBody, pAudio->data(), pAudio->size());
        delete pAudio;
    }
    evbuffer_add(pBody, "\"", 1);
}

// Writes the buffer's bytes to the trace as they are, without copying them together.
void TraceBuffer(evbuffer* pBuffer)
{
    const int count = evbuffer_peek(pBuffer, -1, nullptr, nullptr, 0);
    std::vector<evbuffer_iovec> chains(count > 0 ? static_cast<size_t>(count) : 0);
    evbuffer_peek(pBuffer, -1, nullptr, chains.data(), count);
    for (const evbuffer_iovec& chain : chains)
        fwrite(chain.iov_base, 1, chain.iov_len, stdout);
}

// Writes `text` with "<id>" in place of the two characters at `at` (npos: none).
void WriteWithId(const char* text, size_t at, uint64_t id)
{
    if (at == std::string::npos)
        fputs(text, stdout);
    else
        printf("%.*s<%" PRIu64 ">%s", static_cast<int>(at), text, id, text + at + 2);
}

std::string FormatText(const char* format, va_list arguments)
{
    va_list sizing;
    va_copy(sizing, arguments);
    int size = vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        vsnprintf(&text[0], text.size() + 1, format, arguments);
    return text;
}

bool ParseAlternatives(const rapidjson::Value& alternatives, std::string& text)
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

bool ParseResults(const rapidjson::Value& results, std::string& language, std::string& text)
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

} // namespace

GcClient::GcClient(const std::string& name, S2tServer* pServer)
    : m_Name(name)
    , m_pServer(pServer)
    , m_pTrustStore(nullptr)
    , m_pTlsContext(nullptr)
    , m_MaxReplySize(16 << 20)
{
}

GcClient::~GcClient()
{
    for (auto& session : m_Sessions)
        SSL_SESSION_free(session.second);
    if (m_pTlsContext != nullptr)
        SSL_CTX_free(m_pTlsContext);
    if (m_pTrustStore != nullptr)
        X509_STORE_free(m_pTrustStore);
}

bool GcClient::LoadConfig(const rapidjson::Value& config)
{
    CopyStringMember(config, "service-account", m_ServiceAccount);
    CopyStringMember(config, "speech-service-endpoint", m_SpeechServiceEndpoint);
    CopyStringMember(config, "language-service-endpoint", m_LanguageServiceEndpoint);
    CopyStringMember(config, "access-key", m_AccessKey);
    CopyUintMember(config, "max-reply-size", m_MaxReplySize);
    return true;
}

SSL_CTX* GcClient::GetTlsContext()
{
    if (m_pTlsContext != nullptr || m_pServer->GetSecurityContext() == nullptr)
        return m_pTlsContext;
    m_pTlsContext = SSL_CTX_new(TLS_client_method());
    if (m_pTlsContext != nullptr)
    {
        // Sessions are kept here, one per endpoint, not in OpenSSL's own cache.
        SSL_CTX_set_session_cache_mode(m_pTlsContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_pTlsContext, KeepNewSession);
    }
    return m_pTlsContext;
}

SSL_SESSION* GcClient::FindSession(const std::string& endpoint) const
{
    auto session = m_Sessions.find(endpoint);
    return session != m_Sessions.end() ? session->second : nullptr;
}

void GcClient::KeepSession(const std::string& endpoint, SSL_SESSION* pSession)
{
    SSL_SESSION*& pKept = m_Sessions[endpoint];
    if (pKept != nullptr)
        SSL_SESSION_free(pKept);
    pKept = pSession;
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
    , m_pFailure(nullptr)
    , m_pHttpUri(nullptr)
    , m_RequestType(EVHTTP_REQ_POST)
    , m_State(State_None)
    , m_Phase(Phase::Idle)
    , m_pTlsBufferevent(nullptr)
    , m_pLookup(nullptr)
{
}

GcClient::GcRequest::~GcRequest()
{
    ReleaseExchange();
}

bool GcClient::GcRequest::Process()
{
    return DoTranscribe();
}

void GcClient::GcRequest::Trace(const char* format, ...) const
{
    va_list arguments;
    va_start(arguments, format);
    va_list forHead;
    va_copy(forHead, arguments);
    const std::string line = FormatText(format, arguments);
    // The text before the marker uses the line's first conversions, so its length
    // is where the marker stands in the line, whatever the arguments hold.
    const char* marker = strstr(format, "<>");
    const size_t at =
        marker != nullptr ? FormatText(std::string(format, marker).c_str(), forHead).size() : std::string::npos;
    va_end(forHead);
    va_end(arguments);
    WriteWithId(line.c_str(), at, m_Id);
}

void GcClient::GcRequest::TraceLine(const char* line) const
{
    const char* marker = strstr(line, "<>");
    WriteWithId(line, marker != nullptr ? static_cast<size_t>(marker - line) : std::string::npos, m_Id);
}

// ---- Recognition and sentiment calls -------------------------------------------

std::string GcClient::GcRequest::MethodUri(const std::string& endpoint, const char* method) const
{
    std::string uri = endpoint + method;
    if (!m_pClient->GetAccessKey().empty())
        uri += "?key=" + m_pClient->GetAccessKey();
    return uri;
}

bool GcClient::GcRequest::SendCall(const std::string& endpoint, const char* method, Body body, State state)
{
    if (!CreateConnection(MethodUri(endpoint, method)))
        return false;
    fputs("Composed data:\n  ", stdout);
    TraceBuffer(body.get());
    putchar('\n');
    m_State = state;
    return MakeRequest(body.get());
}

bool GcClient::GcRequest::DoTranscribe()
{
    rapidjson::StringBuffer config;
    JsonWriter writer(config);
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

    Body body(evbuffer_new(), evbuffer_free);
    if (body == nullptr)
        return false;
    evbuffer_add_printf(body.get(), "{\"config\":%s,\"audio\":{\"content\":", config.GetString());
    AppendAudio(body.get(), m_Parameters.m_AudioData);
    evbuffer_add(body.get(), "}}", 2);
    return SendCall(m_pClient->GetSpeechServiceEndpoint(), "/speech:recognize", std::move(body),
                    State_PerformingTranscription);
}

bool GcClient::GcRequest::DoSentimentAnalysis(const std::string& language, const std::string& text)
{
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

    Body body(evbuffer_new(), evbuffer_free);
    if (body == nullptr)
        return false;
    evbuffer_add(body.get(), buffer.GetString(), buffer.GetSize());
    return SendCall(m_pClient->GetLanguageServiceEndpoint(), "/documents:analyzeSentiment", std::move(body),
                    State_PerformingSentimentAnalysis);
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

// ---- Workflow --------------------------------------------------------------------

void GcClient::GcRequest::OnComplete(bool status)
{
    if (m_State == State_None)
        return;

    int responseCode = 0;
    std::string reason;
    std::string responseData;
    ReadReply(status, responseCode, reason, responseData);
    ReleaseExchange();

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
    OnResponse(200, PrintableReason(reason), headers, responseData);
}

bool GcClient::GcRequest::ReadReply(bool status, int& responseCode, std::string& reason,
                                    std::string& responseData) const
{
    if (!status)
        return false;
    responseCode = evhttp_request_get_response_code(m_pRequest);
    const char* codeLine = evhttp_request_get_response_code_line(m_pRequest);
    reason = codeLine != nullptr ? codeLine : "";
    Trace("Received HTTP response [%d %s] for <> [%s]\n", responseCode, reason.c_str(), m_Uri.c_str());
    TraceHeaders(evhttp_request_get_input_headers(m_pRequest), nullptr);
    if (responseCode != 200)
    {
        Trace("HTTP request failed [%d] <>\n", responseCode);
        return true;
    }
    evbuffer* pInput = evhttp_request_get_input_buffer(m_pRequest);
    if (pInput != nullptr)
    {
        size_t length = evbuffer_get_length(pInput);
        const unsigned char* pData = evbuffer_pullup(pInput, static_cast<ev_ssize_t>(length));
        responseData.assign(reinterpret_cast<const char*>(pData), length);
        Trace("Data [%zu bytes] <>\n", length);
        fwrite(responseData.data(), 1, responseData.size(), stdout);
        putchar('\n');
    }
    return true;
}

// ---- Outbound exchange -------------------------------------------------------------

std::string GcClient::GcRequest::HostName() const
{
    const char* host = m_pHttpUri != nullptr ? evhttp_uri_get_host(m_pHttpUri) : nullptr;
    std::string name = host != nullptr ? host : "";
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return name;
}

std::string GcClient::GcRequest::SessionKey() const
{
    return HostName() + " " + std::to_string(Port());
}

bool GcClient::GcRequest::OnNewSession(SSL_SESSION* pSession)
{
    if (m_pHttpUri == nullptr)
        return false;
    m_pClient->KeepSession(SessionKey(), pSession);
    return true;
}

uint16_t GcClient::GcRequest::Port() const
{
    int port = evhttp_uri_get_port(m_pHttpUri);
    if (port != -1)
        return static_cast<uint16_t>(port);
    return strcasecmp(evhttp_uri_get_scheme(m_pHttpUri), "https") == 0 ? 443 : 80;
}

bool GcClient::GcRequest::CreateConnection(const std::string& uri)
{
    m_Uri = uri;
    m_pHttpUri = evhttp_uri_parse(uri.c_str());
    if (m_pHttpUri == nullptr)
    {
        Trace("Malformed HTTP URI [%s] provided for <>\n", uri.c_str());
        return false;
    }
    const char* scheme = evhttp_uri_get_scheme(m_pHttpUri);
    if (scheme == nullptr)
    {
        Trace("Malformed URI scheme [%s] for <>\n", uri.c_str());
        return false;
    }
    bool secure = strcasecmp(scheme, "https") == 0;
    if (!secure && strcasecmp(scheme, "http") != 0)
    {
        Trace("Unknown URI scheme [%s] for <>: must be either http or https\n", scheme);
        return false;
    }
    const std::string host = HostName();
    if (host.empty())
    {
        Trace("Failed to get host for HTTP <>\n");
        return false;
    }
    if (secure && !CreateTlsBufferevent())
        return false;

    // A name is looked up when the request is made, so the lookup can be cancelled
    // with the exchange. Addresses, and names when the service has no DNS base
    // (the library then resolves them itself), are connected to directly.
    evutil_addrinfo hints = {};
    hints.ai_flags = EVUTIL_AI_NUMERICHOST;
    evutil_addrinfo* pNumeric = nullptr;
    bool isAddress = evutil_getaddrinfo(host.c_str(), nullptr, &hints, &pNumeric) == 0;
    if (pNumeric != nullptr)
        evutil_freeaddrinfo(pNumeric);
    if ((isAddress || m_pServer->GetDnsEventBase() == nullptr) && !NewConnection(host.c_str()))
        return false;
    SetPhase(Phase::Prepared);
    return true;
}

bool GcClient::GcRequest::CreateTlsBufferevent()
{
    SSL_CTX* pContext = m_pClient->GetTlsContext();
    if (pContext == nullptr)
    {
        Trace("Failed to create HTTPS connection: OpenSSL context is not available for <>\n");
        return false;
    }
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        Trace("Failed to create new OpenSSL handle for <>\n");
        return false;
    }
    const std::string host = HostName();
    SSL_set_tlsext_host_name(pSsl, host.c_str());

    // Verify the endpoint before anything is sent, the access key included: the
    // chain against the trust store, and the name or address the URI gives. Set on
    // this connection's own handle, so the listening side is left as it is.
    X509_STORE* pTrustStore = m_pClient->GetTrustStore();
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    if (pTrustStore == nullptr || SSL_set1_verify_cert_store(pSsl, pTrustStore) != 1 ||
        (X509_VERIFY_PARAM_set1_ip_asc(pParam, host.c_str()) != 1 && SSL_set1_host(pSsl, host.c_str()) != 1))
    {
        Trace("Failed to set up certificate verification for <>\n");
        SSL_free(pSsl);
        return false;
    }
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, nullptr);
    // The session of an earlier call to this endpoint saves the full handshake; when
    // the endpoint does not take it up, the handshake is full and verified as above.
    SSL_set_app_data(pSsl, this);
    if (SSL_SESSION* pSession = m_pClient->FindSession(SessionKey()))
        SSL_set_session(pSsl, pSession);

    // From here the bufferevent owns the SSL handle, and frees it with itself.
    m_pTlsBufferevent = bufferevent_openssl_socket_new(m_pServer->GetEventBase(), -1, pSsl, BUFFEREVENT_SSL_CONNECTING,
                                                       BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
    if (m_pTlsBufferevent == nullptr)
    {
        Trace("Failed to create new OpenSSL bufferevent for <>\n");
        SSL_free(pSsl);
        return false;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(m_pTlsBufferevent, 1);
    return true;
}

bool GcClient::GcRequest::NewConnection(const char* address)
{
    // The connection takes over the TLS stream, if there is one.
    m_pConnection =
        evhttp_connection_base_bufferevent_new(m_pServer->GetEventBase(), nullptr, m_pTlsBufferevent, address, Port());
    if (m_pConnection == nullptr)
    {
        Trace("Failed to create HTTP connection for <>\n");
        return false;
    }
    m_pTlsBufferevent = nullptr;
    evhttp_connection_set_timeout(m_pConnection, kConnectionTimeoutSeconds);
    evhttp_connection_set_retries(m_pConnection, kConnectionRetries);
    // A reply over these ends the call as a failed exchange, not as memory held.
    evhttp_connection_set_max_body_size(m_pConnection, static_cast<ev_ssize_t>(m_pClient->GetMaxReplySize()));
    evhttp_connection_set_max_headers_size(m_pConnection, kMaxReplyHeaderSize);
    // The body goes out in as few writes as the socket takes, not 16 kB per loop pass.
    bufferevent_set_max_single_write(evhttp_connection_get_bufferevent(m_pConnection), EV_SSIZE_MAX);
    return true;
}

bool GcClient::GcRequest::MakeRequest(evbuffer* pBody)
{
    if (m_Phase != Phase::Prepared || !NewRequest(pBody) || !NewEvents())
        return false;
    if (m_pConnection != nullptr && !HandOver())
        return false;
    // Armed before a lookup starts: the lookup may fail at once.
    event_add(m_pTimer, &kExchangeTimeout);
    Trace("Set HTTP request timer %ld sec for <>\n", static_cast<long>(kExchangeTimeout.tv_sec));
    if (m_pConnection == nullptr)
        StartHostLookup();
    return true;
}

bool GcClient::GcRequest::NewRequest(evbuffer* pBody)
{
    m_pRequest = evhttp_request_new(GcRequestDone, this);
    if (m_pRequest == nullptr)
    {
        Trace("Failed to create a new HTTP request for <>\n");
        return false;
    }
    evkeyvalq* pHeaders = evhttp_request_get_output_headers(m_pRequest);
    evhttp_add_header(pHeaders, "Host", evhttp_uri_get_host(m_pHttpUri));
    evhttp_add_header(pHeaders, "Content-type", "application/json");
    // Moves the body's chains, the audio's reference among them, without copying.
    evbuffer_add_buffer(evhttp_request_get_output_buffer(m_pRequest), pBody);
    return true;
}

bool GcClient::GcRequest::NewEvents()
{
    m_pTimer = event_new(m_pServer->GetEventBase(), -1, 0, GcRequestTimedout, this);
    m_pFailure = event_new(m_pServer->GetEventBase(), -1, 0, GcExchangeFailed, this);
    if (m_pTimer != nullptr && m_pFailure != nullptr)
        return true;
    Trace("Failed to create HTTP request timer for <>\n");
    return false;
}

bool GcClient::GcRequest::HandOver()
{
    const char* path = evhttp_uri_get_path(m_pHttpUri);
    std::string target = path != nullptr && *path != '\0' ? path : "/";
    if (const char* query = evhttp_uri_get_query(m_pHttpUri))
        target += std::string("?") + query;

    Trace("Make HTTP request for <>\n");
    // A completion that runs inside evhttp_make_request only clears m_pRequest;
    // the failure is reported once the library has returned.
    SetPhase(Phase::HandingOver);
    int rv = evhttp_make_request(m_pConnection, m_pRequest, m_RequestType, target.c_str());
    if (rv != 0)
    {
        Trace("Failed to make HTTP request rv %d for <>\n", rv);
        m_pRequest = nullptr;
        return false;
    }
    if (m_pRequest == nullptr)
    {
        Trace("Unexecpected error in callback for <>\n");
        return false;
    }
    SetPhase(Phase::InFlight);
    SendWithoutDelay(m_pConnection);
    return true;
}

void GcClient::GcRequest::StartHostLookup()
{
    const std::string host = HostName();
    Trace("Resolve host [%s] for <>\n", host.c_str());
    evutil_addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    SetPhase(Phase::Resolving);
    m_pLookup = new HostLookup{this, nullptr};
    HostLookup* pLookup = m_pLookup;
    evdns_getaddrinfo_request* pHandle =
        evdns_getaddrinfo(m_pServer->GetDnsEventBase(), host.c_str(), nullptr, &hints, HostResolvedCb, pLookup);
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
        Trace("Failed to resolve host [%s] for <>: %s\n", HostName().c_str(), evutil_gai_strerror(result));
        FailExchange();
        return;
    }
    if (!NewConnection(address) || !HandOver())
        FailExchange();
}

void GcClient::GcRequest::FailExchange()
{
    // Reported from the loop, never from inside the caller's stack.
    SetPhase(Phase::Failed);
    event_active(m_pFailure, EV_TIMEOUT, 1);
}

void GcClient::GcRequest::OnRequestDone(evhttp_request* pRequest)
{
    if (pRequest == nullptr)
    {
        int error = errno;
        printf("Request failed: %s (%d)\n", strerror(error), error);
        ReportVerificationFailure();
    }
    else if (pRequest != m_pRequest)
    {
        puts("Mismatch in HTTP request and response");
        return;
    }
    switch (m_Phase)
    {
    case Phase::HandingOver:
        m_pRequest = nullptr;
        break;
    case Phase::InFlight:
        OnComplete(pRequest != nullptr);
        break;
    default:
        break;
    }
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
        Trace("Certificate verification failed for <>: %s\n", X509_verify_cert_error_string(verifyResult));
}

void GcClient::GcRequest::OnFailure()
{
    OnComplete(false);
}

void GcClient::GcRequest::OnTimeout()
{
    Trace("Request timed out for <>\n");
    if (m_Phase == Phase::InFlight && m_pRequest != nullptr)
    {
        evhttp_cancel_request(m_pRequest);
        m_pRequest = nullptr;
    }
    ReleaseExchange();
    OnResponse(408, "Request Timeout", HeaderMap(), std::string());
}

void GcClient::GcRequest::ReleaseExchange()
{
    Cleanup();
    ClearTimer();
    CloseConnection();
    SetPhase(Phase::Idle);
}

// Frees a handle of the exchange once, tracing `line` when it is given.
template <typename Handle>
void GcClient::GcRequest::Release(Handle*& pHandle, void (*pFree)(Handle*), const char* line) const
{
    if (pHandle == nullptr)
        return;
    if (line != nullptr)
        TraceLine(line);
    pFree(pHandle);
    pHandle = nullptr;
}

void GcClient::GcRequest::Cleanup()
{
    Release(m_pHttpUri, evhttp_uri_free, "Clean up HTTP <>\n");
}

void GcClient::GcRequest::ClearTimer()
{
    Release(m_pFailure, event_free, nullptr);
    Release(m_pTimer, event_free, "Clear HTTP timer <>\n");
}

void GcClient::GcRequest::CloseConnection()
{
    if (m_pLookup != nullptr)
    {
        // The lookup's callback still comes, with the cancellation, and frees it.
        Trace("Cancel host lookup <>\n");
        m_pLookup->pOwner = nullptr;
        if (m_pLookup->pHandle != nullptr)
            evdns_getaddrinfo_cancel(m_pLookup->pHandle);
        else
            delete m_pLookup;
        m_pLookup = nullptr;
    }
    Release(m_pTlsBufferevent, bufferevent_free, nullptr);
    // A request the connection never took is still ours; one it took goes with it.
    if (m_pRequest != nullptr && m_Phase != Phase::InFlight && m_Phase != Phase::HandingOver)
        evhttp_request_free(m_pRequest);
    m_pRequest = nullptr;
    Release(m_pConnection, evhttp_connection_free, "Close HTTP connection <>\n");
}
