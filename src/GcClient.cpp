#include "GcClient.h"

#include <cstring>
#include <vector>

#include <event2/buffer.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Trace.h"

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;
using Body = std::unique_ptr<evbuffer, void (*)(evbuffer*)>;

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
        Trace::Body(static_cast<const char*>(chain.iov_base), chain.iov_len);
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
    , m_CallTimeoutSeconds(5)
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

SSL_CTX* GcClient::GetTlsContext(int (*keepSession)(SSL*, SSL_SESSION*))
{
    if (m_pTlsContext != nullptr || m_pServer->GetSecurityContext() == nullptr)
        return m_pTlsContext;
    m_pTlsContext = SSL_CTX_new(TLS_client_method());
    if (m_pTlsContext != nullptr)
    {
        // Sessions are kept here, one per endpoint, not in OpenSSL's own cache.
        SSL_CTX_set_session_cache_mode(m_pTlsContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_pTlsContext, keepSession);
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
    , m_State(State_None)
    , m_Call(*this, *pClient, m_Id)
{
}

GcClient::GcRequest::~GcRequest() = default;

bool GcClient::GcRequest::Process()
{
    return DoTranscribe();
}

// ---- Recognition and sentiment calls -------------------------------------------

bool GcClient::GcRequest::SendCall(const std::string& endpoint, const char* method, evbuffer* pBody, State state)
{
    std::string uri = endpoint + method;
    if (!m_pClient->GetAccessKey().empty())
        uri += "?key=" + m_pClient->GetAccessKey();
    if (!m_Call.CreateConnection(uri))
    {
        m_Call.Release();
        return false;
    }
    m_Call.Trace("Composed data:\n  ");
    TraceBuffer(pBody);
    m_Call.Trace("\n");
    SetState(state);
    if (m_Call.MakeRequest(EVHTTP_REQ_POST, pBody, m_pClient->GetCallTimeout()))
        return true;
    m_Call.Release();
    return false;
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
    return SendCall(m_pClient->GetSpeechServiceEndpoint(), "/speech:recognize", body.get(),
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
    return SendCall(m_pClient->GetLanguageServiceEndpoint(), "/documents:analyzeSentiment", body.get(),
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

void GcClient::GcRequest::OnComplete(CloudCall::Outcome outcome, const CloudCall::Reply& reply)
{
    if (outcome == CloudCall::Outcome::TimedOut)
        Finish(Outcome::TimedOut);
    else if (outcome == CloudCall::Outcome::Failed || reply.status != 200)
        Finish(Outcome::CloudFailure);
    else if (m_State == State_PerformingSentimentAnalysis)
        Finish(Outcome::Answered, reply);
    else if (m_State == State_PerformingTranscription)
    {
        std::string language;
        std::string text;
        ParseTranscribeResults(reply.body, language, text);
        if (!DoSentimentAnalysis(language, text))
            Finish(Outcome::NotStarted);
    }
}

// The one place where how the chain ended becomes the caller's status and reason.
// A first call that cannot start never gets here: Process reports it, and the
// service refuses the request with 403.
void GcClient::GcRequest::Finish(Outcome outcome, const CloudCall::Reply& reply)
{
    m_Call.Release();
    SetState(State_None);
    HeaderMap headers;
    switch (outcome)
    {
    case Outcome::Answered:
        if (!reply.body.empty())
            headers["Content-Type"] = "application/json";
        OnResponse(200, PrintableReason(reply.reason), headers, reply.body);
        break;
    case Outcome::TimedOut:
        OnResponse(408, "Request Timeout", headers, std::string());
        break;
    case Outcome::CloudFailure:
    case Outcome::NotStarted:
        OnResponse(401, "Method Failed", headers, std::string());
        break;
    }
}
