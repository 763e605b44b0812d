#include "Emulator.h"

#include "HttpMethod.h"
#include "SpeechMethod.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <malloc.h>

#include <cctype>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace
{

// Google's front end refuses bigger requests; evhttp's own cap sits above it
// so that such requests still get Google's error shape instead of a bare 413.
constexpr size_t kMaxRequestBytes = 10 * 1024 * 1024;
constexpr size_t kHardBodyLimit = 64 * 1024 * 1024;

void onRequest(evhttp_request* request, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->handleRequest(request);
}

void onStopSignal(evutil_socket_t, short, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->stop();
}

void onTrim(evutil_socket_t, short, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->trimMemory();
}

void onAcceptCheck(evutil_socket_t, short, void* emulator)
{
    if (emulator)
        static_cast<Emulator*>(emulator)->checkAccepting();
}

// accept() failed, most likely for want of a descriptor: pause rather than retry on
// every pass of the loop; checkAccepting resumes once a descriptor is free.
void onAcceptError(evconnlistener* listener, void*)
{
    const int error = EVUTIL_SOCKET_ERROR();
    evconnlistener_disable(listener);
    std::printf("accepting paused: %s\n", evutil_socket_error_to_string(error));
}

// Percent-decoded path of the request; clients may send ':' as %3A.
std::string requestPath(evhttp_request* request)
{
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    const char* raw = uri ? evhttp_uri_get_path(uri) : nullptr;
    char* decoded = evhttp_uridecode(raw ? raw : "", 0, nullptr);
    std::string path = decoded ? decoded : "";
    std::free(decoded);
    return path;
}

std::string queryValue(evhttp_request* request, const char* name)
{
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;
    if (!query)
        return "";
    evkeyvalq params;
    TAILQ_INIT(&params);
    std::string value;
    if (evhttp_parse_query_str(query, &params) == 0)
    {
        const char* found = evhttp_find_header(&params, name);
        value = found ? found : "";
    }
    evhttp_clear_headers(&params);
    return value;
}

std::string printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

} // namespace

Emulator::Emulator(const Options& options)
    : options_(options)
    , requestIds_(std::random_device{}())
    , operations_(static_cast<size_t>(options.operations), options.operationSeconds)
{
}

Emulator::~Emulator()
{
    release();
}

// Workers first: they may still hold the finished-jobs event of the loop.
// Then evhttp, which frees any request still waiting for an answer and closes
// every connection, and with them their clocks.
void Emulator::release()
{
    pool_.stop();
    if (http_)
        evhttp_free(http_);
    http_ = nullptr;
    clocks_.release();
    listener_ = nullptr;
    if (acceptCheck_)
        event_free(acceptCheck_);
    acceptCheck_ = nullptr;
    if (trim_)
        event_free(trim_);
    trim_ = nullptr;
    if (sigint_)
        event_free(sigint_);
    sigint_ = nullptr;
    if (sigterm_)
        event_free(sigterm_);
    sigterm_ = nullptr;
    if (base_)
        event_base_free(base_);
    base_ = nullptr;
}

bool Emulator::start()
{
    base_ = event_base_new();
    if (!base_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot create the event loop\n");
        return false;
    }
    if (!analyzer_.load(options_.wordList))
        return false;
    trim_ = evtimer_new(base_, onTrim, this);
    if (!trim_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot create the memory timer\n");
        return false;
    }
    PoolSettings settings{options_.workers, options_.models, options_.transcript, 60, options_.queue};
    auto finished = [this](std::unique_ptr<RecognitionJob> job) { finishRecognition(std::move(job)); };
    if (!pool_.start(base_, settings, finished))
        return false;
    return watchSignals() && listen();
}

bool Emulator::watchSignals()
{
    sigint_ = evsignal_new(base_, SIGINT, onStopSignal, this);
    sigterm_ = evsignal_new(base_, SIGTERM, onStopSignal, this);
    if (!sigint_ || !sigterm_ || evsignal_add(sigint_, nullptr) != 0 || evsignal_add(sigterm_, nullptr) != 0)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot watch SIGINT/SIGTERM\n");
        return false;
    }
    return true;
}

bool Emulator::listen()
{
    http_ = evhttp_new(base_);
    if (!http_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot create the HTTP server\n");
        return false;
    }
    // Every method reaches the handler, which answers the wrong ones itself.
    evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                          EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                          EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
    evhttp_set_max_body_size(http_, kHardBodyLimit);
    evhttp_set_timeout(http_, options_.timeoutSeconds);
    if (!clocks_.start(base_, http_, options_.timeoutSeconds))
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot time requests\n");
        return false;
    }
    evhttp_set_gencb(http_, onRequest, this);
    evhttp_bound_socket* bound =
        evhttp_bind_socket_with_handle(http_, options_.address.c_str(), static_cast<uint16_t>(options_.port));
    if (!bound)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot listen on %s port %d\n", options_.address.c_str(),
                     options_.port);
        return false;
    }
    listener_ = evhttp_bound_socket_get_listener(bound);
    evconnlistener_set_error_cb(listener_, onAcceptError);
    const timeval interval = {0, 250000};
    acceptCheck_ = event_new(base_, -1, EV_PERSIST, onAcceptCheck, this);
    if (!acceptCheck_ || event_add(acceptCheck_, &interval) != 0)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot watch accepting\n");
        return false;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    const bool v6 = options_.address.find(':') != std::string::npos;
    std::printf("listening on %s%s%s:%d\n", v6 ? "[" : "", options_.address.c_str(), v6 ? "]" : "", port);
    return true;
}

bool Emulator::run()
{
    return event_base_dispatch(base_) == 0;
}

void Emulator::checkAccepting()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return;
    close(probe);
    evconnlistener_enable(listener_);
}

void Emulator::trimMemory()
{
    malloc_trim(0);
}

void Emulator::stop()
{
    std::printf("stopping\n");
    event_base_loopbreak(base_);
}

std::string Emulator::operationsPath() const
{
    return options_.prefix + "/operations/";
}

Emulator::Route Emulator::routeOf(const std::string& path) const
{
    if (path == options_.prefix + "/speech:recognize")
        return Route::Recognize;
    if (path == options_.prefix + "/speech:longrunningrecognize")
        return Route::LongRunningRecognize;
    if (path.size() > operationsPath().size() && path.compare(0, operationsPath().size(), operationsPath()) == 0)
        return Route::Operation;
    if (path == options_.prefix + "/documents:analyzeSentiment")
        return Route::AnalyzeSentiment;
    if (path == "/metrics")
        return Route::Metrics;
    return Route::None;
}

ApiError Emulator::checkApiKey(evhttp_request* request, Route route) const
{
    if (!options_.apiKey)
        return ApiError{};
    std::string key = queryValue(request, "key");
    if (key.empty())
    {
        const char* header = evhttp_find_header(evhttp_request_get_input_headers(request), "X-Goog-Api-Key");
        key = header ? header : "";
    }
    if (key.empty())
        return missingApiKey();
    if (key != *options_.apiKey)
        return invalidApiKey(route == Route::AnalyzeSentiment ? "language.googleapis.com" : "speech.googleapis.com");
    return ApiError{};
}

void Emulator::handleRequest(evhttp_request* request)
{
    const std::string path = requestPath(request);
    const evhttp_cmd_type command = evhttp_request_get_command(request);
    const std::string trace = std::string(HttpMethodName(command)) + " " + path;
    const Route route = routeOf(path);
    if (route == Route::None)
        return sendError(request, notFound("The requested URL " + path + " was not found on this server."), trace);
    const evhttp_cmd_type allowed =
        route == Route::Operation || route == Route::Metrics ? EVHTTP_REQ_GET : EVHTTP_REQ_POST;
    if (command != allowed)
    {
        evhttp_add_header(evhttp_request_get_output_headers(request), "Allow", HttpMethodName(allowed));
        return sendError(request,
                         methodNotAllowed(std::string("Method ") + HttpMethodName(command) + " is not allowed on " +
                                          path + "; use " + HttpMethodName(allowed) + "."),
                         trace);
    }
    if (route == Route::Metrics)
        return answerMetrics(request);
    const ApiError keyError = checkApiKey(request, route);
    if (keyError.isSet())
        return sendError(request, keyError, trace);
    if (route == Route::Operation)
        return answerOperation(request, path.substr(operationsPath().size()), trace);
    evbuffer* input = evhttp_request_get_input_buffer(request);
    const size_t size = evbuffer_get_length(input);
    if (size > kMaxRequestBytes)
        return sendError(
            request,
            invalidArgument("Request payload size exceeds the limit: " + std::to_string(kMaxRequestBytes) + " bytes."),
            trace);
    std::string body(size, '\0');
    evbuffer_copyout(input, body.data(), size);
    if (route == Route::AnalyzeSentiment)
        answerSentiment(request, body, trace);
    else
        answerRecognize(request, body, trace, route == Route::LongRunningRecognize);
}

void Emulator::answerSentiment(evhttp_request* request, const std::string& body, const std::string& trace)
{
    std::string reply;
    const ApiError error = sentiment_.answer(body, reply);
    if (error.isSet())
        return sendError(request, error, trace);
    std::printf("%s 200\n", trace.c_str());
    send(request, 200, reply);
}

// A long-running job is answered at once with its operation; its own trace line,
// when it has finished, names the operation instead of the request.
void Emulator::answerRecognize(evhttp_request* request, const std::string& body, const std::string& trace,
                               bool longRunning)
{
    auto job = std::make_unique<RecognitionJob>();
    const ApiError error = SpeechMethod::parse(body, *job);
    if (error.isSet())
        return sendError(request, error, trace);
    const std::string name = longRunning ? operations_.newName() : "";
    job->operation = name;
    job->request = longRunning ? nullptr : request;
    job->trace = longRunning ? "operation " + name : trace;
    if (!pool_.submit(std::move(job)))
    {
        const ApiError refused =
            resourceExhausted("Resource has been exhausted: " + std::to_string(options_.workers + options_.queue) +
                              " recognitions are in hand (--workers and --queue); try again later.");
        countRecognition(refused);
        return sendError(request, refused, trace);
    }
    if (!longRunning)
        return;
    operations_.start(name);
    std::string operation;
    operations_.describe(name, operation);
    std::printf("%s 200 operation %s\n", trace.c_str(), name.c_str());
    send(request, 200, operation);
}

void Emulator::answerOperation(evhttp_request* request, const std::string& name, const std::string& trace)
{
    std::string operation;
    if (!operations_.describe(name, operation))
        return sendError(request, notFound("Requested entity was not found."), trace);
    std::printf("%s 200\n", trace.c_str());
    send(request, 200, operation);
}

void Emulator::finishRecognition(std::unique_ptr<RecognitionJob> job)
{
    std::string reply;
    countRecognition(job->error);
    if (job->error.isSet())
        traceError(job->trace, job->error);
    else
    {
        decodeSeconds_.Observe(job->decodeSeconds);
        std::string transcript;
        for (const Hypothesis& result : job->results)
            transcript += (transcript.empty() ? "" : " / ") + result.transcript;
        std::printf("%s 200 \"%s\" audio %.2fs decoded in %.2fs\n", job->trace.c_str(), printable(transcript).c_str(),
                    job->audioSeconds, job->decodeSeconds);
        // Google's request ids are positive 64-bit numbers.
        const char* type = job->operation.empty() ? nullptr : Operations::kResponseType;
        reply = SpeechMethod::reply(*job, requestIds_() >> 1, type);
    }
    if (!job->operation.empty())
        operations_.finish(job->operation, reply, job->error);
    else if (job->error.isSet())
        send(job->request, job->error.httpCode, job->error.toJson());
    else
        send(job->request, 200, reply);
}

void Emulator::countRecognition(const ApiError& error)
{
    std::string outcome = error.isSet() ? error.status : "OK";
    for (char& c : outcome)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ++recognitions_[outcome];
}

// Its own queue, for watching a test run or a benchmark.
void Emulator::answerMetrics(evhttp_request* request)
{
    int queued = 0;
    int busy = 0;
    pool_.depth(queued, busy);
    Exposition::Writer writer;
    writer.Family("s2t_emulator_queue_depth", "gauge", "Recognitions waiting for a worker.");
    writer.Sample("s2t_emulator_queue_depth", "", queued);
    writer.Family("s2t_emulator_recognitions_in_progress", "gauge", "Recognitions being decoded.");
    writer.Sample("s2t_emulator_recognitions_in_progress", "", busy);
    writer.Family("s2t_emulator_recognitions_total", "counter", "Recognitions ended, by outcome (a status).");
    for (const auto& [outcome, count] : recognitions_)
        writer.Sample("s2t_emulator_recognitions_total", "outcome=\"" + outcome + "\"", static_cast<double>(count));
    writer.Family("s2t_emulator_decode_seconds", "histogram", "Time the decoder took for a recognition.");
    writer.Samples("s2t_emulator_decode_seconds", "", decodeSeconds_);
    evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", Exposition::kContentType);
    evbuffer_add(evhttp_request_get_output_buffer(request), writer.Text().data(), writer.Text().size());
    clocks_.replied(request);
    evhttp_send_reply(request, 200, nullptr, nullptr);
}

// Traced before the answer goes out, so a client that has its answer finds the line.
void Emulator::sendError(evhttp_request* request, const ApiError& error, const std::string& trace)
{
    traceError(trace, error);
    send(request, error.httpCode, error.toJson());
}

void Emulator::traceError(const std::string& trace, const ApiError& error)
{
    std::printf("%s %d %s\n", trace.c_str(), error.httpCode, printable(error.message).c_str());
}

void Emulator::send(evhttp_request* request, int code, const std::string& body)
{
    evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", "application/json; charset=UTF-8");
    evbuffer_add(evhttp_request_get_output_buffer(request), body.data(), body.size());
    clocks_.replied(request);
    evhttp_send_reply(request, code, nullptr, nullptr);
    // glibc keeps what a burst of recordings freed; a second without replies ends it.
    const timeval quiet = {1, 0};
    event_add(trim_, &quiet);
}
