#include "Metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace
{

const char* const kEndpoints[] = {"transcribe", "liveness", "readiness", "exit", "metrics", "other"};
const char* const kCloudMethods[] = {
    "recognize", "longrunningrecognize", "operations", "analyzeSentiment", "upload", "delete", "token"};
const char* const kCloudOutcomes[] = {"ok", "cloud_error", "timeout", "not_started"};
const char* const kRetryReasons[] = {"connection", "429", "500", "502", "503", "504"};
const char* const kReasons[] = {"ok",       "unauthorized", "bad_request",   "not_found", "too_large", "no_room",
                                "draining", "not_ready",    "cloud_failure", "timeout",   "error"};
static_assert(sizeof kReasons / sizeof kReasons[0] == static_cast<size_t>(Metrics::Reason::Count), "a name each");
// The statuses the service answers with.
const int kStatuses[] = {200, 400, 401, 403, 404, 408, 413, 500, 501, 503};
const char* const kClosedReasons[] = {"idle",         "head_time", "request_time", "reply_time",
                                      "refusal_time", "shed",      "over_cap",     "key_updates"};

std::vector<double> BodyBytesBounds()
{
    return {1 << 10, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20};
}

// Field `index` (1-based, as proc(5) counts them) of /proc/self/stat.
double StatField(const std::string& stat, int index)
{
    // The command name in parentheses may hold spaces: fields are counted after it.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= index && fields >> field; ++i)
    {
    }
    return strtod(field.c_str(), nullptr);
}

double BootTime()
{
    std::ifstream stat("/proc/stat");
    std::string word;
    while (stat >> word)
        if (word == "btime" && stat >> word)
            return strtod(word.c_str(), nullptr);
    return 0;
}

size_t OpenDescriptors()
{
    size_t count = 0;
    if (DIR* pFolder = opendir("/proc/self/fd"))
    {
        while (dirent* pEntry = readdir(pFolder))
            count += pEntry->d_name[0] != '.';
        closedir(pFolder);
        --count; // the folder's own descriptor
    }
    return count;
}

} // namespace

Metrics::Metrics()
    : m_CloudCallSeconds(static_cast<size_t>(CloudMethod::Count), Exposition::Histogram(Exposition::SecondsBounds()))
    , m_TranscriptionSeconds(Exposition::SecondsBounds())
    , m_BodyBytes(BodyBytesBounds())
{
}

Metrics::Endpoint Metrics::EndpointOf(const std::string& path)
{
    for (size_t i = 0; i < static_cast<size_t>(Endpoint::Other); ++i)
        if (path.size() == strlen(kEndpoints[i]) + 1 && path[0] == '/' &&
            path.compare(1, path.npos, kEndpoints[i]) == 0)
            return static_cast<Endpoint>(i);
    return Endpoint::Other;
}

Metrics::Reason Metrics::ReasonOf(int status)
{
    switch (status)
    {
    case 200:
        return Reason::Ok;
    case 400:
    case 403:
    case 501:
        return Reason::BadRequest;
    case 401:
        return Reason::Unauthorized;
    case 404:
        return Reason::NotFound;
    case 408:
        return Reason::Timeout;
    case 413:
        return Reason::TooLarge;
    case 503:
        return Reason::Draining;
    default:
        return Reason::Error;
    }
}

void Metrics::Bound(double longestSeconds)
{
    std::vector<double> bounds = Exposition::SecondsBounds();
    for (const double more : {120.0, 300.0, 600.0, longestSeconds})
        if (more > bounds.back() && more <= longestSeconds)
            bounds.push_back(more);
    m_TranscriptionSeconds = Exposition::Histogram(bounds);
    m_CloudCallSeconds.assign(static_cast<size_t>(CloudMethod::Count), Exposition::Histogram(bounds));
}

void Metrics::CountReply(Endpoint endpoint, int status, Reason why)
{
    const auto* pStatus = std::find(std::begin(kStatuses), std::end(kStatuses), status);
    if (pStatus != std::end(kStatuses))
        ++m_Replies[static_cast<size_t>(endpoint)][static_cast<size_t>(pStatus - kStatuses)][static_cast<size_t>(why)];
}

void Metrics::CountCloudCall(CloudMethod method, CloudOutcome outcome, double seconds)
{
    ++m_CloudCalls[static_cast<size_t>(method)][static_cast<size_t>(outcome)];
    if (outcome != CloudOutcome::NotStarted)
        m_CloudCallSeconds[static_cast<size_t>(method)].Observe(seconds);
}

void Metrics::CountRetry(CloudMethod method, int status)
{
    const std::string code = status == 0 ? "connection" : std::to_string(status);
    for (size_t reason = 0; reason < m_Retries[0].size(); ++reason)
        if (code == kRetryReasons[reason])
            ++m_Retries[static_cast<size_t>(method)][reason];
}

void Metrics::CountClosed(const char* reason)
{
    for (size_t i = 0; i < m_Closed.size(); ++i)
        if (strcmp(reason, kClosedReasons[i]) == 0)
            ++m_Closed[i];
}

void Metrics::ObserveTranscription(double seconds, size_t bodyBytes)
{
    m_TranscriptionSeconds.Observe(seconds);
    m_BodyBytes.Observe(static_cast<double>(bodyBytes));
}

std::string Metrics::Render(const Gauges& gauges, const char* version) const
{
    Exposition::Writer writer;
    RenderCounts(writer);
    const std::pair<const char*, std::pair<const char*, double>> gauged[] = {
        {"s2t_requests_in_flight", {"Transcriptions being worked on.", double(gauges.requestsInFlight)}},
        {"s2t_connections_open", {"Inbound connections open.", double(gauges.connectionsOpen)}},
        {"s2t_buffered_body_bytes",
         {"Bytes held against max-buffered-bytes: request bodies, recordings being uploaded, cloud replies.",
          double(gauges.bufferedBodyBytes)}},
        {"s2t_draining", {"1 while the service stops gracefully.", gauges.draining ? 1.0 : 0.0}},
        {"s2t_accepting_paused", {"1 while no descriptor is free to accept with.", gauges.acceptingPaused ? 1.0 : 0.0}},
        {"s2t_open_endpoints",
         {"Endpoints (/transcribe, /exit) anyone who reaches the address may call: no token, not on loopback.",
          double(gauges.openEndpoints)}},
    };
    for (const auto& [name, gauge] : gauged)
    {
        writer.Family(name, "gauge", gauge.first);
        writer.Sample(name, "", gauge.second);
    }
    writer.Family("s2t_trace_bytes_dropped_total", "counter", "Trace bytes dropped because its reader fell behind.");
    writer.Sample("s2t_trace_bytes_dropped_total", "", double(gauges.traceBytesDropped));
    writer.Family("s2t_connections_shed_total", "counter", "Connections closed or refused at max-connections.");
    writer.Sample("s2t_connections_shed_total", "", double(gauges.connectionsShed));
    writer.Family("s2t_connections_closed_total", "counter", "Connections the service closed itself, by why.");
    for (size_t i = 0; i < m_Closed.size(); ++i)
        if (m_Closed[i] != 0)
            writer.Sample("s2t_connections_closed_total", std::string("reason=\"") + kClosedReasons[i] + "\"",
                          double(m_Closed[i]));
    writer.Family("s2t_storage_objects_left_total", "counter",
                  "Recordings whose delete from Cloud Storage failed: they may be left in the bucket.");
    writer.Sample("s2t_storage_objects_left_total", "", double(m_ObjectsLeft));
    writer.Family("s2t_silent_recordings_total", "counter",
                  "Recordings with no speech, answered without a sentiment call.");
    writer.Sample("s2t_silent_recordings_total", "", double(m_Silent));
    writer.Family("s2t_build_info", "gauge", "The service's version, as a label.");
    writer.Sample("s2t_build_info", std::string("version=\"") + Exposition::LabelValue(version) + "\"", 1);
    RenderProcess(writer);
    return writer.Text();
}

void Metrics::RenderCounts(Exposition::Writer& writer) const
{
    writer.Family("s2t_http_requests_total", "counter", "Requests answered, by endpoint, status and reason.");
    for (size_t endpoint = 0; endpoint < m_Replies.size(); ++endpoint)
        for (size_t status = 0; status < m_Replies[endpoint].size(); ++status)
            for (size_t why = 0; why < m_Replies[endpoint][status].size(); ++why)
                if (m_Replies[endpoint][status][why] != 0)
                    writer.Sample("s2t_http_requests_total",
                                  std::string("endpoint=\"") + kEndpoints[endpoint] + "\",code=\"" +
                                      std::to_string(kStatuses[status]) + "\",reason=\"" + kReasons[why] + "\"",
                                  double(m_Replies[endpoint][status][why]));
    writer.Family("s2t_cloud_calls_total", "counter", "Cloud calls, by method and outcome.");
    for (size_t method = 0; method < m_CloudCalls.size(); ++method)
        for (size_t outcome = 0; outcome < m_CloudCalls[method].size(); ++outcome)
            writer.Sample("s2t_cloud_calls_total",
                          std::string("method=\"") + kCloudMethods[method] + "\",outcome=\"" + kCloudOutcomes[outcome] +
                              "\"",
                          double(m_CloudCalls[method][outcome]));
    writer.Family("s2t_cloud_retries_total", "counter", "Cloud calls tried again, by method and reason.");
    for (size_t method = 0; method < m_Retries.size(); ++method)
        for (size_t reason = 0; reason < m_Retries[method].size(); ++reason)
            if (m_Retries[method][reason] != 0)
                writer.Sample("s2t_cloud_retries_total",
                              std::string("method=\"") + kCloudMethods[method] + "\",reason=\"" +
                                  kRetryReasons[reason] + "\"",
                              double(m_Retries[method][reason]));
    writer.Family("s2t_cloud_call_duration_seconds", "histogram", "Time a cloud call took, by method.");
    for (size_t method = 0; method < m_CloudCallSeconds.size(); ++method)
        writer.Samples("s2t_cloud_call_duration_seconds", std::string("method=\"") + kCloudMethods[method] + "\"",
                       m_CloudCallSeconds[method]);
    writer.Family("s2t_transcription_duration_seconds", "histogram",
                  "Time from a transcription's arrival to its reply.");
    writer.Samples("s2t_transcription_duration_seconds", "", m_TranscriptionSeconds);
    writer.Family("s2t_request_body_bytes", "histogram", "Bytes of the transcriptions' bodies.");
    writer.Samples("s2t_request_body_bytes", "", m_BodyBytes);
}

void Metrics::RenderProcess(Exposition::Writer& writer) const
{
    std::ifstream file("/proc/self/stat");
    std::string stat;
    std::getline(file, stat);
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double pageBytes = static_cast<double>(sysconf(_SC_PAGESIZE));
    writer.Family("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
    writer.Sample("process_cpu_seconds_total", "", (StatField(stat, 14) + StatField(stat, 15)) / ticks);
    writer.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    writer.Sample("process_resident_memory_bytes", "", StatField(stat, 24) * pageBytes);
    writer.Family("process_open_fds", "gauge", "Number of open file descriptors.");
    writer.Sample("process_open_fds", "", double(OpenDescriptors()));
    writer.Family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    writer.Sample("process_start_time_seconds", "", BootTime() + StatField(stat, 22) / ticks);
}
