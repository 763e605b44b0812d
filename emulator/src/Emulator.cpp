#include "Emulator.h"

#include "AudioReader.h"
#include "Complain.h"
#include "HttpMethod.h"
#include "HttpRequest.h"
#include "SpeechMethod.h"
#include "Trace.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

// Google's front end refuses bigger requests; evhttp's own cap sits above it
// so that such requests still get Google's error shape instead of a bare 413.
constexpr size_t kMaxRequestBytes = 10 * 1024 * 1024;
// Bounds a storage upload too.
constexpr size_t kHardBodyLimit = 64 * 1024 * 1024;
// Google's limit for synchronous recognition, and for inline audio of a long-running one.
constexpr double kMaxInlineSeconds = 60;
constexpr const char* kMetadataTokenPath = "/computeMetadata/v1/instance/service-accounts/default/token";

void OnRequest(evhttp_request* request, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->HandleRequest(request);
}

void OnStopSignal(evutil_socket_t, short, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->Stop();
}

std::string Printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

} // namespace

Emulator::Emulator(const Options& options)
    : m_Options(options)
    , m_RequestIds(std::random_device{}())
    , m_Operations(static_cast<size_t>(options.operations), options.operationSeconds)
    , m_Storage(options.buckets, options.storageBytes)
    , m_Tokens(options.tokenSeconds)
    , m_Faults(options.faults)
{
}

Emulator::~Emulator()
{
    Release();
}

// Workers first: they may still hold the finished-jobs event of the loop.
// Then evhttp, which frees any request still waiting for an answer and closes
// every connection, and with them their clocks.
void Emulator::Release()
{
    m_Pool.Stop();
    if (m_pHttp)
        evhttp_free(m_pHttp);
    m_pHttp = nullptr;
    m_Clocks.Release();
    m_AcceptPause.Release();
    m_Trim.Release();
    if (m_pSigint)
        event_free(m_pSigint);
    m_pSigint = nullptr;
    if (m_pSigterm)
        event_free(m_pSigterm);
    m_pSigterm = nullptr;
    if (m_pBase)
        event_base_free(m_pBase);
    m_pBase = nullptr;
}

bool Emulator::Start()
{
    m_pBase = event_base_new();
    if (!m_pBase)
    {
        Complain("cannot create the event loop");
        return false;
    }
    if (!m_Analyzer.Load(m_Options.wordList))
        return false;
    if (m_Options.credentials && !m_Tokens.Load(*m_Options.credentials))
        return false;
    // glibc keeps what a burst of recordings freed: given back a second after it ends.
    m_Trim.Watch(m_pBase);
    PoolSettings settings{m_Options.workers, m_Options.models, m_Options.transcript, kMaxInlineSeconds,
                          m_Options.queue};
    auto finished = [this](std::unique_ptr<RecognitionJob> job) { FinishRecognition(std::move(job)); };
    auto progress = [this](const std::string& operation, int percent) { m_Operations.Progress(operation, percent); };
    if (!m_Pool.Start(m_pBase, settings, finished, progress))
        return false;
    return WatchSignals() && Listen();
}

bool Emulator::WatchSignals()
{
    m_pSigint = evsignal_new(m_pBase, SIGINT, OnStopSignal, this);
    m_pSigterm = evsignal_new(m_pBase, SIGTERM, OnStopSignal, this);
    if (!m_pSigint || !m_pSigterm || evsignal_add(m_pSigint, nullptr) != 0 || evsignal_add(m_pSigterm, nullptr) != 0)
    {
        Complain("cannot watch SIGINT/SIGTERM");
        return false;
    }
    return true;
}

bool Emulator::Listen()
{
    m_pHttp = evhttp_new(m_pBase);
    if (!m_pHttp)
    {
        Complain("cannot create the HTTP server");
        return false;
    }
    // Every method reaches the handler, which answers the wrong ones itself.
    evhttp_set_allowed_methods(m_pHttp, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                            EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                            EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
    evhttp_set_max_body_size(m_pHttp, kHardBodyLimit);
    evhttp_set_timeout(m_pHttp, m_Options.timeoutSeconds);
    if (!m_Clocks.Start(m_pBase, m_pHttp, m_Options.timeoutSeconds))
    {
        Complain("cannot time requests");
        return false;
    }
    evhttp_set_gencb(m_pHttp, OnRequest, this);
    evhttp_bound_socket* bound =
        evhttp_bind_socket_with_handle(m_pHttp, m_Options.address.c_str(), static_cast<uint16_t>(m_Options.port));
    if (!bound)
    {
        Complain("cannot listen on %s port %d", m_Options.address.c_str(), m_Options.port);
        return false;
    }
    auto onPause = [](int error) { Trace::Print("accepting paused: %s\n", evutil_socket_error_to_string(error)); };
    if (!m_AcceptPause.Watch(m_pBase, evhttp_bound_socket_get_listener(bound), onPause))
    {
        Complain("cannot watch accepting");
        return false;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    const bool v6 = m_Options.address.find(':') != std::string::npos;
    Trace::Print("listening on %s%s%s:%d\n", v6 ? "[" : "", m_Options.address.c_str(), v6 ? "]" : "", port);
    // The parent waits for this line before its first request: the loop writes only
    // after a pass.
    Trace::Flush();
    return true;
}

// One pass at a time: what a pass traced is written, as far as standard output takes
// it, before the loop waits again; the last pass's "stopping" before the workers
// have finished their recordings.
bool Emulator::Run()
{
    Trace::Watch(m_pBase);
    int result = 0;
    do
    {
        result = event_base_loop(m_pBase, EVLOOP_ONCE);
        Trace::Flush();
    } while (result == 0 && !event_base_got_break(m_pBase));
    Trace::Watch(nullptr);
    return result == 0;
}

void Emulator::Stop()
{
    Trace::Print("stopping\n");
    event_base_loopbreak(m_pBase);
}

std::string Emulator::OperationsPath() const
{
    return m_Options.prefix + "/operations/";
}

Emulator::Route Emulator::RouteOf(const std::string& path) const
{
    if (path == m_Options.prefix + "/speech:recognize")
        return Route::Recognize;
    if (path == m_Options.prefix + "/speech:longrunningrecognize")
        return Route::LongRunningRecognize;
    if (path.size() > OperationsPath().size() && path.compare(0, OperationsPath().size(), OperationsPath()) == 0)
        return Route::Operation;
    if (path == m_Options.prefix + "/documents:analyzeSentiment")
        return Route::AnalyzeSentiment;
    if (path == "/metrics")
        return Route::Metrics;
    // Token paths only where there is an account to issue tokens for.
    if (m_Options.credentials && path == "/token")
        return Route::Token;
    if (m_Options.credentials && path == kMetadataTokenPath)
        return Route::MetadataToken;
    return Route::None;
}

const char* Emulator::FaultMethod(Route route)
{
    switch (route)
    {
    case Route::Recognize:
        return "recognize";
    case Route::LongRunningRecognize:
        return "longrunningrecognize";
    case Route::Operation:
        return "operations";
    case Route::AnalyzeSentiment:
        return "analyzeSentiment";
    case Route::Token:
    case Route::MetadataToken:
        return "token";
    default:
        return nullptr;
    }
}

// Before the caller is checked: the front end that fails does not get that far.
bool Emulator::AnswerFault(evhttp_request* request, const char* method, const std::string& trace, bool storage)
{
    const FaultAnswer* fault = method ? m_Faults.Next(method) : nullptr;
    if (!fault)
        return false;
    Trace::Print("%s %d %s (--fail)\n", trace.c_str(), fault->code, fault->message);
    Send(request, fault->code,
         storage ? StorageError{fault->code, fault->storageReason, fault->message, false}.ToJson()
                 : ApiError{fault->code, fault->status, fault->message, "", ""}.ToJson());
    return true;
}

void Emulator::HandleRequest(evhttp_request* request)
{
    const std::string path = RequestPath(request);
    const evhttp_cmd_type command = evhttp_request_get_command(request);
    const std::string trace = std::string(HttpMethodName(command)) + " " + path;
    if (StorageMethod::Owns(RawPath(request)))
        return AnswerStorage(request, RawPath(request), trace);
    const Route route = RouteOf(path);
    if (route == Route::None)
        return SendError(request, NotFound("The requested URL " + path + " was not found on this server."), trace);
    const evhttp_cmd_type allowed =
        route == Route::Operation || route == Route::Metrics || route == Route::MetadataToken ? EVHTTP_REQ_GET
                                                                                              : EVHTTP_REQ_POST;
    if (command != allowed)
    {
        evhttp_add_header(evhttp_request_get_output_headers(request), "Allow", HttpMethodName(allowed));
        return SendError(request,
                         MethodNotAllowed(std::string("Method ") + HttpMethodName(command) + " is not allowed on " +
                                          path + "; use " + HttpMethodName(allowed) + "."),
                         trace);
    }
    if (route == Route::Metrics)
        return AnswerMetrics(request);
    if (AnswerFault(request, FaultMethod(route), trace, false))
        return;
    if (route == Route::Token || route == Route::MetadataToken)
        return AnswerToken(request, route, trace);
    const ApiError callerError = CheckCaller(request, route);
    if (callerError.IsSet())
        return SendError(request, callerError, trace);
    if (route == Route::Operation)
        return AnswerOperation(request, path.substr(OperationsPath().size()), trace);
    const size_t size = evbuffer_get_length(evhttp_request_get_input_buffer(request));
    if (size > kMaxRequestBytes)
        return SendError(
            request,
            InvalidArgument("Request payload size exceeds the limit: " + std::to_string(kMaxRequestBytes) + " bytes."),
            trace);
    if (route == Route::AnalyzeSentiment)
        AnswerSentiment(request, Body(request), trace);
    else
        AnswerRecognize(request, Body(request), trace, route == Route::LongRunningRecognize);
}

void Emulator::AnswerSentiment(evhttp_request* request, const std::string& body, const std::string& trace)
{
    std::string reply;
    const ApiError error = m_Sentiment.Answer(body, reply);
    if (error.IsSet())
        return SendError(request, error, trace);
    Trace::Print("%s 200\n", trace.c_str());
    Send(request, 200, reply);
}

// A long-running job is answered at once with its operation; its own trace line,
// when it has finished, names the operation instead of the request.
void Emulator::AnswerRecognize(evhttp_request* request, const std::string& body, const std::string& trace,
                               bool longRunning)
{
    auto job = std::make_unique<RecognitionJob>();
    ApiError error = SpeechMethod::Parse(body, *job);
    if (error.IsSet())
        return SendError(request, error, trace);
    if (!job->uri.empty())
        error = ReadStoredAudio(*job);
    else if (longRunning)
        error = InlineLimit(*job);
    if (error.IsSet() && longRunning && error.httpCode == 404)
        return FailOperation(request, error, trace);
    if (error.IsSet())
        return SendError(request, error, trace);
    const std::string name = longRunning ? m_Operations.NewName() : "";
    job->operation = name;
    job->request = longRunning ? nullptr : request;
    job->trace = longRunning ? "operation " + name : trace;
    if (!m_Pool.Submit(std::move(job)))
    {
        const ApiError refused =
            ResourceExhausted("Resource has been exhausted: " + std::to_string(m_Options.workers + m_Options.queue) +
                              " recognitions are in hand (--workers and --queue); try again later.");
        CountRecognition(refused);
        return SendError(request, refused, trace);
    }
    if (!longRunning)
        return;
    m_Operations.Start(name);
    std::string operation;
    m_Operations.Describe(name, operation);
    Trace::Print("%s 200 operation %s\n", trace.c_str(), name.c_str());
    Send(request, 200, operation);
}

// Google measures inline audio before it starts the operation.
ApiError Emulator::InlineLimit(const RecognitionJob& job)
{
    AudioReader reader;
    std::string unreadable; // the worker's to report, in the operation
    if (reader.Open(job.audio, job.hints, unreadable) && reader.Seconds() > kMaxInlineSeconds)
        return InvalidArgument("Inline audio exceeds duration limit. Please use a GCS URI.");
    return ApiError{};
}

ApiError Emulator::ReadStoredAudio(RecognitionJob& job) const
{
    std::string bucket;
    std::string name;
    SplitGsUri(job.uri, bucket, name);
    const StoredObject* object = nullptr;
    const StorageError error = m_Storage.Find(bucket, name, object);
    if (error.IsSet())
        return NotFound(error.message);
    job.audio = object->bytes;
    return ApiError{};
}

// As Google's, a long-running recognition of an object that is not there fails in its operation.
void Emulator::FailOperation(evhttp_request* request, const ApiError& error, const std::string& trace)
{
    const std::string name = m_Operations.NewName();
    m_Operations.Start(name);
    m_Operations.Finish(name, "", error);
    CountRecognition(error);
    std::string operation;
    m_Operations.Describe(name, operation);
    Trace::Print("%s 200 operation %s\n", trace.c_str(), name.c_str());
    TraceError("operation " + name, error);
    Send(request, 200, operation);
}

void Emulator::AnswerOperation(evhttp_request* request, const std::string& name, const std::string& trace)
{
    std::string operation;
    if (!m_Operations.Describe(name, operation))
        return SendError(request, NotFound("Requested entity was not found."), trace);
    Trace::Print("%s 200\n", trace.c_str());
    Send(request, 200, operation);
}

void Emulator::FinishRecognition(std::unique_ptr<RecognitionJob> job)
{
    std::string reply;
    CountRecognition(job->error);
    if (job->error.IsSet())
        TraceError(job->trace, job->error);
    else
    {
        m_DecodeSeconds.Observe(job->decodeSeconds);
        std::string transcript;
        for (const Hypothesis& result : job->results)
            transcript += (transcript.empty() ? "" : " / ") + result.transcript;
        Trace::Print("%s 200 \"%s\" audio %.2fs decoded in %.2fs\n", job->trace.c_str(), Printable(transcript).c_str(),
                     job->audioSeconds, job->decodeSeconds);
        // Google's request ids are positive 64-bit numbers.
        const char* type = job->operation.empty() ? nullptr : Operations::kResponseType;
        reply = SpeechMethod::Reply(*job, m_RequestIds() >> 1, type);
    }
    if (!job->operation.empty())
        m_Operations.Finish(job->operation, reply, job->error);
    else if (job->error.IsSet())
        Send(job->request, job->error.httpCode, job->error.ToJson());
    else
        Send(job->request, 200, reply);
}

void Emulator::CountRecognition(const ApiError& error)
{
    std::string outcome = error.IsSet() ? error.status : "OK";
    for (char& c : outcome)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ++m_Recognitions[outcome];
}

// Its own queue, for watching a test run or a benchmark.
void Emulator::AnswerMetrics(evhttp_request* request)
{
    int queued = 0;
    int busy = 0;
    m_Pool.Depth(queued, busy);
    Exposition::Writer writer;
    writer.Family("s2t_emulator_queue_depth", "gauge", "Recognitions waiting for a worker.");
    writer.Sample("s2t_emulator_queue_depth", "", queued);
    writer.Family("s2t_emulator_recognitions_in_progress", "gauge", "Recognitions being decoded.");
    writer.Sample("s2t_emulator_recognitions_in_progress", "", busy);
    writer.Family("s2t_emulator_recognitions_total", "counter", "Recognitions ended, by outcome (a status).");
    for (const auto& [outcome, count] : m_Recognitions)
        writer.Sample("s2t_emulator_recognitions_total", "outcome=\"" + outcome + "\"", static_cast<double>(count));
    writer.Family("s2t_emulator_faults_total", "counter", "Calls answered with a fault of --fail, by method and code.");
    for (const auto& [labels, count] : m_Faults.Answered())
        writer.Sample("s2t_emulator_faults_total", labels, static_cast<double>(count));
    writer.Family("s2t_emulator_decode_seconds", "histogram", "Time the decoder took for a recognition.");
    writer.Samples("s2t_emulator_decode_seconds", "", m_DecodeSeconds);
    evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", Exposition::kContentType);
    evbuffer_add(evhttp_request_get_output_buffer(request), writer.Text().data(), writer.Text().size());
    m_Clocks.Replied(request);
    evhttp_send_reply(request, 200, nullptr, nullptr);
}

// Traced before the answer goes out, so a client that has its answer finds the line.
void Emulator::SendError(evhttp_request* request, const ApiError& error, const std::string& trace)
{
    TraceError(trace, error);
    if (error.httpCode == 401)
        evhttp_add_header(evhttp_request_get_output_headers(request), "WWW-Authenticate",
                          "Bearer realm=\"https://accounts.google.com/\"");
    Send(request, error.httpCode, error.ToJson());
}

void Emulator::TraceError(const std::string& trace, const ApiError& error)
{
    Trace::Print("%s %d %s\n", trace.c_str(), error.httpCode, Printable(error.message).c_str());
}

void Emulator::Send(evhttp_request* request, int code, const std::string& body, const char* contentType)
{
    if (*contentType)
        evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", contentType);
    evbuffer_add(evhttp_request_get_output_buffer(request), body.data(), body.size());
    m_Clocks.Replied(request);
    m_Trim.Note(evbuffer_get_length(evhttp_request_get_input_buffer(request)));
    evhttp_send_reply(request, code, nullptr, nullptr);
}
