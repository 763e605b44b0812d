#pragma once
// The HTTP side: one libevent loop that routes requests, checks the API key,
// answers sentiment at once and hands recognition to the worker pool.
#include "Exposition.h"
#include "Operations.h"
#include "RequestClocks.h"
#include "SentimentAnalyzer.h"
#include "SentimentMethod.h"
#include "WorkerPool.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>

struct event;
struct event_base;
struct evhttp;
struct evhttp_request;
struct evconnlistener;

// Command-line settings of the emulator.
struct Options
{
    std::string address = "127.0.0.1";
    int port = 8089;
    std::string prefix; // "" or "/v1": what comes before "/speech:recognize"
    std::optional<std::string> apiKey;
    int workers = 2;
    int queue = 256;             // recognitions that may wait for a worker
    int operations = 1000;       // finished long-running operations kept
    int operationSeconds = 3600; // and for how long
    int timeoutSeconds = 30;
    std::optional<std::string> transcript; // fast mode
    ModelPaths models;
    std::string wordList;
    bool help = false;
};

class Emulator
{
public:
    explicit Emulator(const Options& options);
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;
    ~Emulator();

    // Loads the models, binds and prints "listening on ADDR:PORT".
    bool start();
    // Runs until SIGINT or SIGTERM.
    bool run();

    void handleRequest(evhttp_request* request);
    void finishRecognition(std::unique_ptr<RecognitionJob> job);
    void stop();
    // Accepting pauses while no descriptor is free; this resumes it once one is.
    void checkAccepting();
    // Gives the memory of a burst back to the system once it has ended.
    void trimMemory();

private:
    enum class Route
    {
        None,
        Recognize,
        LongRunningRecognize,
        Operation,
        AnalyzeSentiment,
        Metrics
    };

    bool listen();
    bool watchSignals();
    std::string operationsPath() const;
    Route routeOf(const std::string& path) const;
    ApiError checkApiKey(evhttp_request* request, Route route) const;
    void answerRecognize(evhttp_request* request, const std::string& body, const std::string& trace, bool longRunning);
    void answerOperation(evhttp_request* request, const std::string& name, const std::string& trace);
    void answerSentiment(evhttp_request* request, const std::string& body, const std::string& trace);
    void answerMetrics(evhttp_request* request);
    // Counts a recognition's end: "ok", or its refusal's status.
    void countRecognition(const ApiError& error);
    void sendError(evhttp_request* request, const ApiError& error, const std::string& trace);
    void traceError(const std::string& trace, const ApiError& error);
    void send(evhttp_request* request, int code, const std::string& body);
    void release();

    Options options_;
    SentimentAnalyzer analyzer_;
    SentimentMethod sentiment_{analyzer_};
    std::mt19937_64 requestIds_;
    Operations operations_;
    event_base* base_ = nullptr;
    evhttp* http_ = nullptr;
    event* sigint_ = nullptr;
    event* sigterm_ = nullptr;
    event* acceptCheck_ = nullptr;
    event* trim_ = nullptr;
    // What /metrics shows of the recognitions.
    std::map<std::string, uint64_t> recognitions_;
    Exposition::Histogram decodeSeconds_{Exposition::SecondsBounds()};
    evconnlistener* listener_ = nullptr;
    RequestClocks clocks_;
    WorkerPool pool_;
};
