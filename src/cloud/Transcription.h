#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CloudExchange.h"
#include "Recording.h"
#include "base/Budget.h"
#include "base/Config.h"
#include "base/Metrics.h"

struct event;
struct event_base;
struct evbuffer;

class Storage;

// One recording carried through the cloud: recognition, then sentiment analysis of
// the transcript. A recording Google will not take inline (too long, or too large)
// is put in Cloud Storage first and recognised from there with a long-running
// recognition and its polls; its object is deleted whatever the outcome. It makes
// one call at a time, ends exactly once, and reports its end to its owner, which may
// destroy it only once the report's frames have returned.
class Transcription final : private CloudExchange::Owner
{
public:
    // What the caller's body asks for.
    struct Parameters
    {
        std::string m_AudioData;
        std::string m_Language;
        std::vector<std::string> m_LanguageAlternatives;
    };

    // Which step of the chain is under way; only SetState changes it.
    enum State
    {
        State_None = 0,
        State_PerformingTranscription = 1,
        State_PerformingSentimentAnalysis = 2,
        State_StartingLongRunningTranscription = 3, // recordings over a minute
        State_WaitingForOperation = 4,              // between two polls of it
        State_PollingOperation = 5,
        State_UploadingRecording = 6, // into Cloud Storage, for a long-running recognition
        State_Done = 7,
    };

    // How the chain ended.
    enum class Outcome
    {
        Answered,     // the sentiment call answered 200: its reply is the caller's
        Refused,      // the first call could not be started
        CloudFailure, // a call failed, answered another status, or answered nonsense
        TimedOut,     // a call, or the long-running recognition, ran out of time
        NotStarted,   // a later call of the chain could not be started
        Abandoned,    // the service stops and waits no longer
        NoRoom,       // the recording to upload does not fit the memory budget
        Silent,       // nothing was said: answered without a sentiment call
        Count
    };

    // The caller's reply.
    struct Result
    {
        Outcome outcome;
        int status;
        std::string reason;
        std::string body;
        bool json;  // "Content-Type: application/json"
        bool close; // the caller's connection closes after it
        Metrics::Reason why;
    };

    class Owner
    {
    public:
        virtual void OnTranscriptionDone(Transcription& transcription, const Result& result) = 0;

    protected:
        ~Owner() = default;
    };

    struct Context
    {
        const CloudSettings& settings;
        CloudExchange::Maker& exchanges;
        Storage& storage;
        Budget& budget; // of everything held at once: an upload's recording counts too
        Metrics& metrics;
        event_base* pBase;
        Owner& owner;
    };

    Transcription(const Context& context, uint64_t id, Parameters parameters);
    ~Transcription();

    Transcription(const Transcription&) = delete;
    Transcription& operator=(const Transcription&) = delete;

    // Makes the first call; the end may be reported before this returns.
    void Start();
    // Ends it at once, answered 503.
    void Abandon();
    uint64_t Id() const { return m_Id; }
    State GetState() const { return m_State; }

    // Where the libevent callback arrives: the wait before the next poll is over.
    void OnWaitOver();

private:
    using Clock = std::chrono::steady_clock;

    void SetState(State state) { m_State = state; }
    void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    bool DoTranscribe(const Recording& recording);
    bool DoSentimentAnalysis(const std::string& language, const std::string& text);
    // Prepares the call of `uri`, then sends `pBody` (null: a GET).
    bool SendCall(const std::string& uri, evbuffer* pBody, State state, int timeoutSeconds,
                  const char* contentType = "application/json");
    bool SendRecognition(const char* method, State state);
    std::string MethodUri(const std::string& endpoint, const std::string& method) const;
    // The end of each call of the chain, and what comes next.
    void OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply) override;
    void OnRecognized(const CloudExchange::Reply& reply);
    void OnOperation(const CloudExchange::Reply& reply);
    bool StartLongRunning();
    // Through Cloud Storage, or refused when there is no bucket; false: the upload
    // could not start.
    bool Stage();
    bool Upload();
    void OnUploaded();
    void WaitForOperation();
    void Analyse(const std::string& language, const std::string& text);
    void CountCall(State state, Metrics::CloudOutcome outcome) const;
    void Finish(Outcome outcome, const CloudExchange::Reply& reply = CloudExchange::Reply());
    // Frees every handle it holds; safe to call twice.
    void Release();

    Context m_Context;
    const uint64_t m_Id;
    Parameters m_Parameters;
    State m_State;
    std::unique_ptr<CloudExchange> m_pCall;
    // The body of the call under way, which the call sends again to each address it
    // tries. The recognition's is kept until the recognition is done, so that it can
    // be sent again as a long-running one.
    evbuffer* m_pBody;
    event* m_pWait;
    std::string m_Operation;
    Recording::Format m_Format;
    std::string m_Object; // in Cloud Storage, once its upload has begun
    size_t m_Reserved;    // of the budget, for the recording being uploaded
    Clock::time_point m_LongRunningDeadline;
    std::chrono::seconds m_PollDelay;
    bool m_LastWait; // the wait ends with the long-running recognition's time: no poll after it
    Clock::time_point m_CallStarted;
};
