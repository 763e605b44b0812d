#pragma once
// The HTTP side: one libevent loop that routes requests, checks the caller's
// bearer token or API key, answers tokens, storage and sentiment at once and hands
// recognition to the worker pool.
#include "AcceptPause.h"
#include "Exposition.h"
#include "Faults.h"
#include "MemoryTrim.h"
#include "Operations.h"
#include "RequestClocks.h"
#include "SentimentAnalyzer.h"
#include "SentimentMethod.h"
#include "Storage.h"
#include "StorageMethod.h"
#include "Tokens.h"
#include "WorkerPool.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

struct event;
struct event_base;
struct evhttp;
struct evhttp_request;

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
    std::optional<std::string> transcript;  // fast mode
    std::optional<std::string> credentials; // a service account's key file: calls need its tokens
    int tokenSeconds = 3599;                // lifetime of the tokens issued
    std::vector<std::string> buckets;
    size_t storageBytes = size_t(1) << 30; // held in all buckets at most
    ModelPaths models;
    std::string wordList;
    std::vector<FaultRule> faults; // --fail
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
    bool Start();
    // Runs until SIGINT or SIGTERM.
    bool Run();

    void HandleRequest(evhttp_request* request);
    void FinishRecognition(std::unique_ptr<RecognitionJob> job);
    void Stop();

private:
    enum class Route
    {
        None,
        Recognize,
        LongRunningRecognize,
        Operation,
        AnalyzeSentiment,
        Metrics,
        Token,        // a service account's assertion traded for a token
        MetadataToken // the metadata server's token of the machine's account
    };

    bool Listen();
    bool WatchSignals();
    std::string OperationsPath() const;
    Route RouteOf(const std::string& path) const;
    // The method's name in --fail, as the service's metrics name it; null for none.
    static const char* FaultMethod(Route route);
    // Answers the call with the fault --fail asks for, if this call is one: whether it did.
    bool AnswerFault(evhttp_request* request, const char* method, const std::string& trace, bool storage);
    ApiError CheckCaller(evhttp_request* request, Route route);
    ApiError CheckApiKey(evhttp_request* request, Route route) const;
    // Whether the request names a token of ours that has not expired; `given`: it names one at all.
    bool HasValidToken(evhttp_request* request, bool& given);
    void AnswerToken(evhttp_request* request, Route route, const std::string& trace);
    void AnswerStorage(evhttp_request* request, const std::string& path, const std::string& trace);
    static ApiError InlineLimit(const RecognitionJob& job);
    // The recording of a job that names a gs:// URI, or the refusal.
    ApiError ReadStoredAudio(RecognitionJob& job) const;
    // A long-running job refused before its work began: its operation ends with `error`.
    void FailOperation(evhttp_request* request, const ApiError& error, const std::string& trace);
    void AnswerRecognize(evhttp_request* request, const std::string& body, const std::string& trace, bool longRunning);
    void AnswerOperation(evhttp_request* request, const std::string& name, const std::string& trace);
    void AnswerSentiment(evhttp_request* request, const std::string& body, const std::string& trace);
    void AnswerMetrics(evhttp_request* request);
    // Counts a recognition's end: "ok", or its refusal's status.
    void CountRecognition(const ApiError& error);
    void SendError(evhttp_request* request, const ApiError& error, const std::string& trace);
    void TraceError(const std::string& trace, const ApiError& error);
    void Send(evhttp_request* request, int code, const std::string& body,
              const char* contentType = "application/json; charset=UTF-8");
    void Release();

    Options m_Options;
    SentimentAnalyzer m_Analyzer;
    SentimentMethod m_Sentiment{m_Analyzer};
    std::mt19937_64 m_RequestIds;
    Operations m_Operations;
    Storage m_Storage;
    Tokens m_Tokens;
    Faults m_Faults;
    event_base* m_pBase = nullptr;
    evhttp* m_pHttp = nullptr;
    event* m_pSigint = nullptr;
    event* m_pSigterm = nullptr;
    // What /metrics shows of the recognitions.
    std::map<std::string, uint64_t> m_Recognitions;
    Exposition::Histogram m_DecodeSeconds{Exposition::SecondsBounds()};
    AcceptPause m_AcceptPause;
    MemoryTrim m_Trim;
    RequestClocks m_Clocks;
    WorkerPool m_Pool;
};
