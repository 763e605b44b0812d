#include "GcClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include <event2/buffer.h>
#include <event2/event.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Recording.h"
#include "Trace.h"

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

namespace
{

// Longer recordings are refused by the synchronous method.
const double kSyncLimitSeconds = 60;
// Polls of a long-running recognition start a second apart and slow down to five.
const int kFirstPollDelaySeconds = 1;
const int kLastPollDelaySeconds = 5;

int64_t NowMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WaitOverCb(evutil_socket_t, short, void* pContext)
{
    if (pContext == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<GcClient::GcRequest*>(pContext)->OnWaitOver();
}

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

// The transcript of a result: its first alternative's, when that has one.
void ReadTranscript(const rapidjson::Value& result, std::string& transcript)
{
    rapidjson::Value::ConstMemberIterator alternatives = result.FindMember("alternatives");
    if (alternatives == result.MemberEnd() || !alternatives->value.IsArray())
        return;
    for (const rapidjson::Value& alternative : alternatives->value.GetArray())
    {
        if (!alternative.IsObject())
            continue;
        CopyStringMember(alternative, "transcript", transcript);
        return;
    }
}

// The cloud splits a recording at its pauses into results, in order: their
// transcripts together are what was said, one space between two of them.
void ReadResults(const rapidjson::Value& results, std::string& language, std::string& text)
{
    bool first = true;
    std::string joined;
    for (const rapidjson::Value& result : results.GetArray())
    {
        if (!result.IsObject())
            continue;
        if (first)
            CopyStringMember(result, "languageCode", language);
        first = false;
        std::string transcript;
        ReadTranscript(result, transcript);
        if (transcript.empty())
            continue;
        if (!joined.empty() && joined.back() != ' ' && transcript.front() != ' ')
            joined += ' ';
        joined += transcript;
    }
    if (!joined.empty())
        text = joined;
}

void ReadResultsMember(const rapidjson::Value& object, std::string& language, std::string& text)
{
    rapidjson::Value::ConstMemberIterator results = object.FindMember("results");
    if (results != object.MemberEnd() && results->value.IsArray())
        ReadResults(results->value, language, text);
}

// An operation name goes into the poll's path as it is: only the characters
// Google's names are made of.
bool IsOperationName(const std::string& name)
{
    return !name.empty() && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                   "0123456789-._~/") == std::string::npos;
}

} // namespace

GcClient::GcClient(const std::string& name, S2tServer* pServer)
    : m_Name(name)
    , m_pServer(pServer)
    , m_pTrustStore(nullptr)
    , m_pTlsContext(nullptr)
    , m_MaxReplySize(16 << 20)
    , m_CallTimeoutSeconds(5)
    , m_LongRunningTimeoutSeconds(600)
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
    CopyUintMember(config, "call-timeout", m_CallTimeoutSeconds, 1, 3600);
    CopyUintMember(config, "long-running-timeout", m_LongRunningTimeoutSeconds, 1, 24 * 3600);
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

Resolver& GcClient::GetResolver()
{
    if (m_pResolver == nullptr)
        m_pResolver = std::make_unique<Resolver>(GetEventBase(), GetDnsBase());
    return *m_pResolver;
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
    , m_pBody(nullptr)
    , m_pWait(nullptr)
    , m_LongRunningDeadline(0)
    , m_PollDelaySeconds(kFirstPollDelaySeconds)
{
}

GcClient::GcRequest::~GcRequest()
{
    Release();
}

void GcClient::GcRequest::Release()
{
    m_Call.Release();
    if (m_pWait != nullptr)
        event_free(m_pWait);
    m_pWait = nullptr;
    if (m_pBody != nullptr)
        evbuffer_free(m_pBody);
    m_pBody = nullptr;
}

bool GcClient::GcRequest::Process()
{
    return DoTranscribe();
}

// ---- The calls ----------------------------------------------------------------------

std::string GcClient::GcRequest::MethodUri(const std::string& endpoint, const std::string& method) const
{
    std::string uri = endpoint + method;
    if (!m_pClient->GetAccessKey().empty())
        uri += "?key=" + m_pClient->GetAccessKey();
    return uri;
}

bool GcClient::GcRequest::SendCall(const std::string& uri, evbuffer* pBody, State state, int timeoutSeconds)
{
    m_CallStarted = std::chrono::steady_clock::now();
    if (!m_Call.CreateConnection(uri))
    {
        m_Call.Release();
        CountCall(state, Metrics::CloudOutcome::NotStarted);
        return false;
    }
    if (pBody != nullptr)
    {
        m_Call.Trace("Composed data:\n  ");
        Trace::Body(pBody);
        m_Call.Trace("\n");
    }
    SetState(state);
    if (m_Call.MakeRequest(pBody != nullptr ? EVHTTP_REQ_POST : EVHTTP_REQ_GET, pBody, timeoutSeconds))
        return true;
    m_Call.Release();
    CountCall(state, Metrics::CloudOutcome::NotStarted);
    return false;
}

void GcClient::GcRequest::CountCall(State state, Metrics::CloudOutcome outcome) const
{
    const Metrics::CloudMethod method = state == State_PerformingTranscription ? Metrics::CloudMethod::Recognize
                                        : state == State_StartingLongRunningTranscription
                                            ? Metrics::CloudMethod::LongRunningRecognize
                                        : state == State_PollingOperation ? Metrics::CloudMethod::Operations
                                                                          : Metrics::CloudMethod::AnalyzeSentiment;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_CallStarted).count();
    m_pServer->GetMetrics().CountCloudCall(method, outcome, seconds);
}

// The kept recognition body can go out again, as a long-running recognition.
bool GcClient::GcRequest::SendRecognition(const char* method, State state)
{
    return SendCall(MethodUri(m_pClient->GetSpeechServiceEndpoint(), method), m_pBody, state,
                    m_pClient->GetCallTimeout());
}

bool GcClient::GcRequest::DoTranscribe()
{
    const Recording recording = Recording::Inspect(m_Parameters.m_AudioData);
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
    // The cloud reads the encoding from WAV and FLAC headers, but AMR's storage
    // format must be named, or the call fails. Nothing else is added to any other.
    if (recording.format == Recording::Format::Amr || recording.format == Recording::Format::AmrWb)
    {
        const bool wideband = recording.format == Recording::Format::AmrWb;
        writer.Key("encoding");
        writer.String(wideband ? "AMR_WB" : "AMR");
        writer.Key("sampleRateHertz");
        writer.Int(wideband ? 16000 : 8000);
    }
    writer.EndObject();

    m_pBody = evbuffer_new();
    if (m_pBody == nullptr)
        return false;
    evbuffer_add_printf(m_pBody, "{\"config\":%s,\"audio\":{\"content\":", config.GetString());
    AppendAudio(m_pBody, m_Parameters.m_AudioData);
    evbuffer_add(m_pBody, "}}", 2);
    if (recording.seconds <= kSyncLimitSeconds)
        return SendRecognition("/speech:recognize", State_PerformingTranscription);
    m_Call.Trace("Recording of [%.1f] seconds is over a minute: long-running recognition for <>\n", recording.seconds);
    return StartLongRunning();
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

    m_pBody = evbuffer_new();
    if (m_pBody == nullptr)
        return false;
    evbuffer_add(m_pBody, buffer.GetString(), buffer.GetSize());
    return SendCall(MethodUri(m_pClient->GetLanguageServiceEndpoint(), "/documents:analyzeSentiment"), m_pBody,
                    State_PerformingSentimentAnalysis, m_pClient->GetCallTimeout());
}

bool GcClient::GcRequest::ParseTranscribeResults(const std::string& data, std::string& language, std::string& text)
{
    // The iterative parser keeps a deeply nested reply off the stack.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(data.data(), data.size());
    if (document.HasParseError() || !document.IsObject())
        return false;
    ReadResultsMember(document, language, text);
    return true;
}

// ---- Long-running recognition ---------------------------------------------------------

bool GcClient::GcRequest::StartLongRunning()
{
    m_LongRunningDeadline = NowMicroseconds() + static_cast<int64_t>(m_pClient->GetLongRunningTimeout()) * 1000000;
    m_PollDelaySeconds = kFirstPollDelaySeconds;
    return SendRecognition("/speech:longrunningrecognize", State_StartingLongRunningTranscription);
}

void GcClient::GcRequest::OnOperation(const CloudCall::Reply& reply)
{
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(reply.body.data(), reply.body.size());
    std::string name;
    if (!document.HasParseError() && document.IsObject())
        CopyStringMember(document, "name", name);
    if (!IsOperationName(name))
    {
        m_Call.Trace("Reply is not an operation for <>\n");
        Finish(Outcome::CloudFailure);
        return;
    }
    m_Operation = name;
    rapidjson::Value::ConstMemberIterator done = document.FindMember("done");
    if (done == document.MemberEnd() || !done->value.IsTrue())
    {
        WaitForOperation();
        return;
    }
    rapidjson::Value::ConstMemberIterator error = document.FindMember("error");
    rapidjson::Value::ConstMemberIterator response = document.FindMember("response");
    if (error != document.MemberEnd() || response == document.MemberEnd() || !response->value.IsObject())
    {
        m_Call.Trace("Operation [%s] failed for <>\n", m_Operation.c_str());
        Finish(Outcome::CloudFailure);
        return;
    }
    m_Call.Trace("Operation [%s] done for <>\n", m_Operation.c_str());
    std::string language;
    std::string text;
    ReadResultsMember(response->value, language, text);
    Analyse(language, text);
}

void GcClient::GcRequest::WaitForOperation()
{
    const int64_t left = m_LongRunningDeadline - NowMicroseconds();
    if (left <= 0)
    {
        m_Call.Trace("Long-running recognition timed out for <>\n");
        Finish(Outcome::TimedOut);
        return;
    }
    if (m_pWait == nullptr)
        m_pWait = evtimer_new(m_pClient->GetEventBase(), WaitOverCb, this);
    const int64_t wait = std::min<int64_t>(left, m_PollDelaySeconds * int64_t(1000000));
    const timeval delay = {static_cast<time_t>(wait / 1000000), static_cast<suseconds_t>(wait % 1000000)};
    if (m_pWait == nullptr || event_add(m_pWait, &delay) != 0)
    {
        Finish(Outcome::NotStarted);
        return;
    }
    SetState(State_WaitingForOperation);
    if (wait < left)
    {
        m_Call.Trace("Operation [%s] not done: next poll in [%d] sec for <>\n", m_Operation.c_str(),
                     m_PollDelaySeconds);
        m_PollDelaySeconds = std::min(m_PollDelaySeconds * 2, kLastPollDelaySeconds);
    }
    else
        m_PollDelaySeconds = 0; // this wait ends with the recognition's time: no poll after it
}

void GcClient::GcRequest::OnWaitOver()
{
    const int64_t left = m_LongRunningDeadline - NowMicroseconds();
    if (m_PollDelaySeconds == 0)
    {
        m_Call.Trace("Long-running recognition timed out for <>\n");
        Finish(Outcome::TimedOut);
        return;
    }
    // A poll never runs past the long-running recognition's own end.
    const int timeout =
        static_cast<int>(std::clamp<int64_t>((left + 999999) / 1000000, 1, m_pClient->GetCallTimeout()));
    const std::string uri = MethodUri(m_pClient->GetSpeechServiceEndpoint(), "/operations/" + m_Operation);
    if (!SendCall(uri, nullptr, State_PollingOperation, timeout))
        Finish(Outcome::NotStarted);
}

// ---- Workflow --------------------------------------------------------------------

void GcClient::GcRequest::OnComplete(CloudCall::Outcome outcome, const CloudCall::Reply& reply)
{
    CountCall(m_State, outcome == CloudCall::Outcome::TimedOut ? Metrics::CloudOutcome::Timeout
                       : outcome == CloudCall::Outcome::Answered && reply.status == 200
                           ? Metrics::CloudOutcome::Ok
                           : Metrics::CloudOutcome::CloudError);
    const bool tooLong = reply.status == 400 && reply.body.find("Sync input too long") != std::string::npos;
    if (outcome == CloudCall::Outcome::TimedOut)
        Finish(Outcome::TimedOut);
    else if (outcome == CloudCall::Outcome::Answered && m_State == State_PerformingTranscription && tooLong)
    {
        m_Call.Trace("Recognition refused as too long: long-running recognition for <>\n");
        if (!StartLongRunning())
            Finish(Outcome::NotStarted);
    }
    else if (outcome == CloudCall::Outcome::Failed || reply.status != 200)
        Finish(Outcome::CloudFailure);
    else if (m_State == State_PerformingTranscription)
        OnRecognized(reply);
    else if (m_State == State_StartingLongRunningTranscription || m_State == State_PollingOperation)
        OnOperation(reply);
    else if (m_State == State_PerformingSentimentAnalysis)
        Finish(Outcome::Answered, reply);
}

void GcClient::GcRequest::OnRecognized(const CloudCall::Reply& reply)
{
    std::string language;
    std::string text;
    if (ParseTranscribeResults(reply.body, language, text))
        Analyse(language, text);
    else
    {
        // A success that says nothing readable is not one: the caller is not given
        // the sentiment of an empty text for it.
        m_Call.Trace("Recognition reply is not a JSON object for <>\n");
        Finish(Outcome::CloudFailure);
    }
}

void GcClient::GcRequest::Analyse(const std::string& language, const std::string& text)
{
    // The recording is done with: its memory goes before the next call.
    evbuffer_free(m_pBody);
    m_pBody = nullptr;
    if (!DoSentimentAnalysis(language, text))
        Finish(Outcome::NotStarted);
}

// The one place where how the chain ended becomes the caller's status and reason.
// A first call that cannot start never gets here: Process reports it, and the
// service refuses the request with 403.
void GcClient::GcRequest::Finish(Outcome outcome, const CloudCall::Reply& reply)
{
    Release();
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
