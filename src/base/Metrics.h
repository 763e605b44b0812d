#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Exposition.h"

// What the service counts for operators, written out on GET /metrics. Counting is
// adding to plain integers in fixed arrays: no allocation on the way of a request.
class Metrics
{
public:
    enum class Endpoint
    {
        Transcribe,
        Liveness,
        Readiness,
        Exit,
        Metrics,
        Other, // any path not served: libevent's own 404
        Count
    };

    // Why a request got the answer it got, beside its status.
    enum class Reason
    {
        Ok,
        Unauthorized, // a token missing or wrong
        BadRequest,   // framing, a body that is not a transcription's, a coding not known
        NotFound,
        TooLarge,     // a body over max-body-size, or on an endpoint that takes none
        NoRoom,       // max-buffered-bytes is full
        Draining,     // the service is stopping
        NotReady,     // no access token yet
        CloudFailure, // a cloud call failed or could not be made
        Timeout,      // a cloud call or a long-running recognition out of time
        Error,        // the service could not start the work
        Count
    };
    // The reason a status has unless the one who answers knows better.
    static Reason ReasonOf(int status);

    enum class CloudMethod
    {
        Recognize,
        LongRunningRecognize,
        Operations,
        AnalyzeSentiment,
        Upload, // a recording put in Cloud Storage
        Delete, // and taken out again
        Token,  // an access token fetched
        Count
    };

    enum class CloudOutcome
    {
        Ok,
        CloudError,
        Timeout,
        NotStarted,
        Count
    };

    // What is read at the time of the scrape rather than counted.
    struct Gauges
    {
        size_t requestsInFlight = 0;
        size_t connectionsOpen = 0;
        size_t bufferedBodyBytes = 0;
        bool draining = false;
        bool acceptingPaused = false;
        uint64_t traceBytesDropped = 0;
        uint64_t connectionsShed = 0;
        size_t openEndpoints = 0; // of /transcribe and /exit, without a token on a non-loopback address
    };

    Metrics();

    static Endpoint EndpointOf(const std::string& path);
    // The longest a transcription may take: the duration histograms reach it.
    void Bound(double longestSeconds);
    void CountReply(Endpoint endpoint, int status, Reason why);
    void CountCloudCall(CloudMethod method, CloudOutcome outcome, double seconds);
    void ObserveTranscription(double seconds, size_t bodyBytes);
    // An object whose delete failed: it may be left in the bucket.
    void CountObjectLeft() { ++m_ObjectsLeft; }
    // A call tried again: for `status` (429, 500, 502, 503, 504), or 0 for a failure before any reply.
    void CountRetry(CloudMethod method, int status);
    // A connection the service closed itself, by why: idle, head_time, request_time,
    // reply_time, refusal_time, shed, over_cap, key_updates.
    void CountClosed(const char* reason);
    // A recording with no speech in it, answered without a sentiment call.
    void CountSilent() { ++m_Silent; }

    // The whole exposition, the process's own metrics from /proc included.
    std::string Render(const Gauges& gauges, const char* version) const;

private:
    void RenderCounts(Exposition::Writer& writer) const;
    void RenderProcess(Exposition::Writer& writer) const;

    // Replies by endpoint, status (of kStatuses) and reason.
    std::array<std::array<std::array<uint64_t, static_cast<size_t>(Reason::Count)>, 10>,
               static_cast<size_t>(Endpoint::Count)>
        m_Replies{};
    std::array<std::array<uint64_t, static_cast<size_t>(CloudOutcome::Count)>, static_cast<size_t>(CloudMethod::Count)>
        m_CloudCalls{};
    std::vector<Exposition::Histogram> m_CloudCallSeconds; // by method
    Exposition::Histogram m_TranscriptionSeconds;
    Exposition::Histogram m_BodyBytes;
    // Retries by method and reason (kRetryReasons).
    std::array<std::array<uint64_t, 6>, static_cast<size_t>(CloudMethod::Count)> m_Retries{};
    std::array<uint64_t, 8> m_Closed{}; // by kClosedReasons
    uint64_t m_ObjectsLeft = 0;
    uint64_t m_Silent = 0;
};
