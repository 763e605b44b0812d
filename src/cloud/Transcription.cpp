#include "Transcription.h"

#include <algorithm>
#include <cstdarg>

#include <event2/buffer.h>
#include <event2/event.h>
#include <openssl/evp.h>

#include "CloudJson.h"
#include "Recording.h"
#include "Retry.h"
#include "Storage.h"
#include "base/Timing.h"
#include "base/Trace.h"

namespace
{

// Google takes about a minute of audio inline, in a request of up to 10 MB; a longer
// or larger recording goes through Cloud Storage.
const double kInlineLimitSeconds = 55;
const size_t kInlineLimitBytes = 10485760;
const size_t kMaxAlternatives = 3;
// Polls of a long-running recognition start a second apart and slow down to five.
const std::chrono::seconds kFirstPollDelay(1);
const std::chrono::seconds kLastPollDelay(5);

// How each ending reaches the caller, and the trace line it adds.
struct Answer
{
    int status;
    const char* reason; // null: the sentiment call's own
    bool close;
    const char* line;
    Metrics::Reason why;
};

const Answer kAnswers[] = {
    {200, nullptr, false, nullptr, Metrics::Reason::Ok},                    // Answered
    {403, "Error", false, "Request failed\n", Metrics::Reason::Error},      // Refused
    {401, "Method Failed", false, nullptr, Metrics::Reason::CloudFailure},  // CloudFailure
    {408, "Request Timeout", false, nullptr, Metrics::Reason::Timeout},     // TimedOut
    {401, "Method Failed", false, nullptr, Metrics::Reason::CloudFailure},  // NotStarted
    {503, "Service Unavailable", true, nullptr, Metrics::Reason::Draining}, // Abandoned
    {503, "Service Unavailable", false, nullptr, Metrics::Reason::NoRoom},  // NoRoom
    {200, "OK", false, nullptr, Metrics::Reason::Ok},                       // Silent: the sentiment of nothing
};
static_assert(sizeof kAnswers / sizeof kAnswers[0] == static_cast<size_t>(Transcription::Outcome::Count),
              "every outcome has its answer");

void WaitOverCb(evutil_socket_t, short, void* pContext)
{
    if (pContext == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<Transcription*>(pContext)->OnWaitOver();
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

// The call each step makes, as the metrics name it.
Metrics::CloudMethod MethodOf(Transcription::State state)
{
    switch (state)
    {
    case Transcription::State_PerformingTranscription:
        return Metrics::CloudMethod::Recognize;
    case Transcription::State_StartingLongRunningTranscription:
        return Metrics::CloudMethod::LongRunningRecognize;
    case Transcription::State_PollingOperation:
        return Metrics::CloudMethod::Operations;
    case Transcription::State_UploadingRecording:
        return Metrics::CloudMethod::Upload;
    default:
        return Metrics::CloudMethod::AnalyzeSentiment;
    }
}

bool IsTooLong(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply)
{
    return outcome == CloudExchange::Outcome::Answered && reply.status == 400 &&
           reply.body.find("Sync input too long") != std::string::npos;
}

} // namespace

Transcription::Transcription(const Context& context, uint64_t id, Parameters parameters)
    : m_Context(context)
    , m_Id(id)
    , m_Parameters(std::move(parameters))
    , m_State(State_None)
    , m_pCall(context.exchanges.NewExchange(*this, std::to_string(id)))
    , m_pBody(nullptr)
    , m_pWait(nullptr)
    , m_Format(Recording::Format::Unknown)
    , m_Reserved(0)
    , m_PollDelay(kFirstPollDelay)
    , m_LastWait(false)
{
}

Transcription::~Transcription()
{
    Release();
}

void Transcription::Release()
{
    m_pCall->Release();
    if (m_pWait != nullptr)
        event_free(m_pWait);
    m_pWait = nullptr;
    if (m_pBody != nullptr)
        evbuffer_free(m_pBody);
    m_pBody = nullptr;
    m_Context.budget.Release(m_Reserved);
    m_Reserved = 0;
}

void Transcription::Trace(const char* format, ...) const
{
    va_list arguments;
    va_start(arguments, format);
    Trace::PrintV(Trace::WithId(format, std::to_string(m_Id)).c_str(), arguments);
    va_end(arguments);
}

void Transcription::Start()
{
    // Google takes three alternative languages at most, and needs a language.
    std::vector<std::string>& alternatives = m_Parameters.m_LanguageAlternatives;
    if (alternatives.size() > kMaxAlternatives)
    {
        Trace("Alternative languages after the first [%zu] of [%zu] dropped for <>\n", kMaxAlternatives,
              alternatives.size());
        alternatives.resize(kMaxAlternatives);
    }
    if (m_Parameters.m_Language.empty())
        m_Parameters.m_Language = m_Context.settings.defaultLanguage;
    if (!DoTranscribe(Recording::Inspect(m_Parameters.m_AudioData)))
        Finish(Outcome::Refused);
}

void Transcription::Abandon()
{
    if (m_State != State_Done)
        Finish(Outcome::Abandoned);
}

// ---- The calls ----------------------------------------------------------------------

std::string Transcription::MethodUri(const std::string& endpoint, const std::string& method) const
{
    std::string uri = endpoint + method;
    if (!m_Context.settings.accessKey.empty())
        uri += "?key=" + m_Context.settings.accessKey;
    return uri;
}

bool Transcription::SendCall(const std::string& uri, evbuffer* pBody, State state, int timeoutSeconds,
                             const char* contentType)
{
    m_CallStarted = Clock::now();
    if (m_pCall->CreateConnection(uri))
    {
        if (pBody != nullptr)
        {
            Trace("Composed data:\n  ");
            Trace::Body(pBody);
            Trace("\n");
        }
        SetState(state);
        CloudExchange::Request request;
        request.method = pBody != nullptr ? EVHTTP_REQ_POST : EVHTTP_REQ_GET;
        request.pBody = pBody;
        request.contentType = contentType;
        request.timeoutSeconds = timeoutSeconds;
        request.kind = MethodOf(state);
        if (m_pCall->MakeRequest(request))
            return true;
    }
    m_pCall->Release();
    CountCall(state, Metrics::CloudOutcome::NotStarted);
    return false;
}

void Transcription::CountCall(State state, Metrics::CloudOutcome outcome) const
{
    const double seconds = std::chrono::duration<double>(Clock::now() - m_CallStarted).count();
    m_Context.metrics.CountCloudCall(MethodOf(state), outcome, seconds);
}

// The kept recognition body can go out again, as a long-running recognition.
bool Transcription::SendRecognition(const char* method, State state)
{
    return SendCall(MethodUri(m_Context.settings.speechServiceEndpoint, method), m_pBody, state,
                    static_cast<int>(m_Context.settings.callTimeoutSeconds));
}

bool Transcription::DoTranscribe(const Recording& recording)
{
    m_Format = recording.format;
    m_pBody = evbuffer_new();
    if (m_pBody == nullptr)
        return false;
    CloudJson::WriteRecognitionBody(m_pBody, m_Parameters.m_Language, m_Parameters.m_LanguageAlternatives,
                                    recording.format, m_Context.settings.recognition, m_Parameters.m_AudioData);
    const size_t bytes = evbuffer_get_length(m_pBody);
    if (recording.seconds <= kInlineLimitSeconds && bytes <= kInlineLimitBytes)
        return SendRecognition("/speech:recognize", State_PerformingTranscription);
    Trace("Recording of [%.1f] seconds in [%zu] bytes is more than Google takes inline for <>\n", recording.seconds,
          bytes);
    return Stage();
}

bool Transcription::DoSentimentAnalysis(const std::string& language, const std::string& text)
{
    const std::string body = CloudJson::SentimentBody(language, text);
    m_pBody = evbuffer_new();
    if (m_pBody == nullptr)
        return false;
    evbuffer_add(m_pBody, body.data(), body.size());
    return SendCall(MethodUri(m_Context.settings.languageServiceEndpoint, "/documents:analyzeSentiment"), m_pBody,
                    State_PerformingSentimentAnalysis, static_cast<int>(m_Context.settings.callTimeoutSeconds));
}

// ---- The chain ----------------------------------------------------------------------

// Each call's end, by the step it ends: on success the next step, on failure the end.
// Each call's end, by the step it ends: on success the next step, on failure the end,
// but for a poll, whose failure leaves the recognition running.
void Transcription::OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply)
{
    const bool ok = outcome == CloudExchange::Outcome::Answered && reply.status == 200;
    const bool timedOut = outcome == CloudExchange::Outcome::TimedOut;
    CountCall(m_State, timedOut ? Metrics::CloudOutcome::Timeout
                       : ok     ? Metrics::CloudOutcome::Ok
                                : Metrics::CloudOutcome::CloudError);
    const Outcome failed = timedOut ? Outcome::TimedOut : Outcome::CloudFailure;
    switch (m_State)
    {
    case State_PerformingTranscription:
        if (ok)
            OnRecognized(reply);
        else if (!IsTooLong(outcome, reply))
            Finish(failed);
        else
        {
            Trace("Recognition refused as too long: through Cloud Storage for <>\n");
            if (!Stage())
                Finish(Outcome::NotStarted);
        }
        break;
    case State_UploadingRecording:
        if (ok && CloudJson::ReadUploaded(reply.body, m_Object))
            OnUploaded();
        else
            Finish(failed);
        break;
    case State_StartingLongRunningTranscription:
        ok ? OnOperation(reply) : Finish(failed);
        break;
    case State_PollingOperation:
        if (ok)
            OnOperation(reply);
        else if (timedOut || outcome == CloudExchange::Outcome::Failed || Retry::IsTransient(reply.status))
        {
            Trace("Poll of operation [%s] failed: polling on for <>\n", m_Operation.c_str());
            WaitForOperation();
        }
        else
            Finish(failed);
        break;
    case State_PerformingSentimentAnalysis:
        ok ? Finish(Outcome::Answered, reply) : Finish(failed);
        break;
    case State_None:
    case State_WaitingForOperation:
    case State_Done:
        break; // no call is under way
    }
}

void Transcription::OnRecognized(const CloudExchange::Reply& reply)
{
    std::string language;
    std::string text;
    if (CloudJson::ParseTranscribeResults(reply.body, language, text))
    {
        Analyse(language, text);
        return;
    }
    // A success that says nothing readable is not one: the caller is not given the
    // sentiment of an empty text for it.
    Trace("Recognition reply is not a JSON object for <>\n");
    Finish(Outcome::CloudFailure);
}

void Transcription::Analyse(const std::string& language, const std::string& text)
{
    // A hang-up or a silent message: Google refuses to analyse an empty document.
    if (text.empty())
    {
        Trace("No speech in the recording: no sentiment call for <>\n");
        m_Context.metrics.CountSilent();
        std::string echoed = m_Parameters.m_Language;
        for (char& c : echoed)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        CloudExchange::Reply reply;
        reply.body = CloudJson::SilentSentiment(echoed);
        Finish(Outcome::Silent, reply);
        return;
    }
    // The recording is done with: its memory goes before the next call.
    evbuffer_free(m_pBody);
    m_pBody = nullptr;
    std::string().swap(m_Parameters.m_AudioData);
    if (!DoSentimentAnalysis(language, text))
        Finish(Outcome::NotStarted);
}

// ---- Cloud Storage ------------------------------------------------------------------

// True when the chain goes on or has ended; false when the upload could not start.
bool Transcription::Stage()
{
    if (!m_Context.storage.Configured())
    {
        // Google would refuse it: no call is made.
        Trace("No storage-bucket to put the recording in for <>\n");
        Finish(Outcome::CloudFailure);
        return true;
    }
    return Upload();
}

// The recording is decoded once, and held against the budget until it is uploaded.
bool Transcription::Upload()
{
    if (m_pBody != nullptr)
        evbuffer_free(m_pBody);
    m_pBody = nullptr;
    const std::string& audio = m_Parameters.m_AudioData;
    if (audio.empty() || audio.size() % 4 != 0)
    {
        Trace("Recording is not base64 for <>\n");
        Finish(Outcome::CloudFailure);
        return true;
    }
    const size_t bytes = audio.size() / 4 * 3;
    if (!m_Context.budget.Reserve(bytes))
    {
        Trace("No room for the recording's [%zu] bytes for <>\n", bytes);
        Finish(Outcome::NoRoom);
        return true;
    }
    m_Reserved = bytes;
    m_pBody = evbuffer_new();
    evbuffer_iovec space;
    if (m_pBody == nullptr || evbuffer_reserve_space(m_pBody, static_cast<ev_ssize_t>(bytes + 1), &space, 1) != 1)
        return false;
    const int decoded =
        EVP_DecodeBlock(static_cast<unsigned char*>(space.iov_base),
                        reinterpret_cast<const unsigned char*>(audio.data()), static_cast<int>(audio.size()));
    if (decoded < 0)
    {
        Trace("Recording is not base64 for <>\n");
        Finish(Outcome::CloudFailure);
        return true;
    }
    // The decoder counts the padding as bytes.
    const size_t padding = audio.size() >= 2 ? std::count(audio.end() - 2, audio.end(), '=') : 0;
    space.iov_len = static_cast<size_t>(decoded) - padding;
    evbuffer_commit_space(m_pBody, &space, 1);
    std::string().swap(m_Parameters.m_AudioData);
    m_Object = m_Context.storage.NewObjectName();
    return SendCall(m_Context.storage.UploadUri(m_Object), m_pBody, State_UploadingRecording,
                    static_cast<int>(m_Context.settings.callTimeoutSeconds), "application/octet-stream");
}

void Transcription::OnUploaded()
{
    evbuffer_free(m_pBody);
    m_Context.budget.Release(m_Reserved);
    m_Reserved = 0;
    m_pBody = evbuffer_new();
    if (m_pBody == nullptr)
    {
        Finish(Outcome::NotStarted);
        return;
    }
    CloudJson::WriteRecognitionUriBody(m_pBody, m_Parameters.m_Language, m_Parameters.m_LanguageAlternatives, m_Format,
                                       m_Context.settings.recognition, m_Context.storage.GsUri(m_Object));
    if (!StartLongRunning())
        Finish(Outcome::NotStarted);
}

// ---- Long-running recognition -------------------------------------------------------

bool Transcription::StartLongRunning()
{
    m_LongRunningDeadline = Clock::now() + std::chrono::seconds(m_Context.settings.longRunningTimeoutSeconds);
    m_PollDelay = kFirstPollDelay;
    return SendRecognition("/speech:longrunningrecognize", State_StartingLongRunningTranscription);
}

void Transcription::OnOperation(const CloudExchange::Reply& reply)
{
    CloudJson::Operation operation;
    if (!CloudJson::ReadOperation(reply.body, operation))
    {
        Trace("Reply is not an operation for <>\n");
        Finish(Outcome::CloudFailure);
        return;
    }
    m_Operation = operation.name;
    switch (operation.state)
    {
    case CloudJson::Operation::State::Running:
        WaitForOperation();
        break;
    case CloudJson::Operation::State::Failed:
        Trace("Operation [%s] failed for <>\n", m_Operation.c_str());
        Finish(Outcome::CloudFailure);
        break;
    case CloudJson::Operation::State::Done:
        Trace("Operation [%s] done for <>\n", m_Operation.c_str());
        Analyse(operation.language, operation.text);
        break;
    }
}

void Transcription::WaitForOperation()
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(m_LongRunningDeadline - Clock::now());
    if (left.count() <= 0)
    {
        Trace("Long-running recognition timed out for <>\n");
        Finish(Outcome::TimedOut);
        return;
    }
    if (m_pWait == nullptr)
        m_pWait = evtimer_new(m_Context.pBase, WaitOverCb, this);
    const auto wait = std::min<std::chrono::microseconds>(left, m_PollDelay);
    const timeval delay = ToTimeval(wait);
    if (m_pWait == nullptr || event_add(m_pWait, &delay) != 0)
    {
        Finish(Outcome::NotStarted);
        return;
    }
    SetState(State_WaitingForOperation);
    m_LastWait = wait == left;
    if (m_LastWait)
        return;
    Trace("Operation [%s] not done: next poll in [%d] sec for <>\n", m_Operation.c_str(),
          static_cast<int>(m_PollDelay.count()));
    m_PollDelay = std::min(m_PollDelay * 2, kLastPollDelay);
}

void Transcription::OnWaitOver()
{
    if (m_LastWait)
    {
        Trace("Long-running recognition timed out for <>\n");
        Finish(Outcome::TimedOut);
        return;
    }
    // A poll never runs past the long-running recognition's own end.
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(m_LongRunningDeadline - Clock::now() +
                                                                       std::chrono::microseconds(999999));
    const int timeout = static_cast<int>(
        std::clamp<int64_t>(left.count(), 1, static_cast<int64_t>(m_Context.settings.callTimeoutSeconds)));
    const std::string uri = MethodUri(m_Context.settings.speechServiceEndpoint, "/operations/" + m_Operation);
    if (!SendCall(uri, nullptr, State_PollingOperation, timeout))
        Finish(Outcome::NotStarted);
}

// ---- The end ------------------------------------------------------------------------

// The one place where how the chain ended becomes the caller's reply.
void Transcription::Finish(Outcome outcome, const CloudExchange::Reply& reply)
{
    Release();
    SetState(State_Done);
    if (!m_Object.empty())
        m_Context.storage.Delete(m_Object, std::to_string(m_Id));
    m_Object.clear();
    const Answer& answer = kAnswers[static_cast<size_t>(outcome)];
    if (answer.line != nullptr)
        Trace::Print("%s", answer.line);
    Result result{outcome,
                  answer.status,
                  answer.reason != nullptr ? answer.reason : PrintableReason(reply.reason),
                  outcome == Outcome::Answered || outcome == Outcome::Silent ? reply.body : std::string(),
                  false,
                  answer.close,
                  answer.why};
    result.json = !result.body.empty();
    m_Context.owner.OnTranscriptionDone(*this, result);
}
