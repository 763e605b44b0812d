#pragma once
// Worker threads that read and recognise recordings, so the event loop keeps
// answering while one is decoded. Finished jobs, and how far a long-running one
// has come, go back to the loop thread through a libevent event made active from
// the worker.
#include "Api.h"
#include "AudioReader.h"
#include "Recognizer.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct event;
struct event_base;
struct evhttp_request;

// One recognition request on its way from the event loop to a worker and back.

struct RecognitionJob
{
    // Filled on the loop thread before the job is queued.
    evhttp_request* request = nullptr; // null for a long-running job
    std::string operation;             // a long-running job's operation
    std::string trace;                 // "POST /v1/speech:recognize", "operation 123"
    std::string audio;
    std::string uri; // "gs://BUCKET/OBJECT" when the audio is to be read from there
    AudioHints hints;
    std::string languageCode;
    RecognitionOptions options;

    // Filled by the worker.
    ApiError error;
    std::vector<Hypothesis> results; // none when no speech was found
    double audioSeconds = 0;
    double decodeSeconds = 0;
};

struct PoolSettings
{
    int workers = 1;
    ModelPaths models;
    std::optional<std::string> fixedTranscript; // set: answer with it, load no model
    double maxAudioSeconds = 60;                // of a synchronous job
    int queue = 0;                              // recognitions that may wait for a worker
};

// How far a long-running job has come, in percent: its worker is reading its audio,
// decoding it, and has decoded it (its words and alternatives are being read).
enum Progress
{
    kProgressReading = 5,
    kProgressDecoding = 10,
    kProgressDecoded = 90
};

class WorkerPool
{
public:
    using FinishedFn = std::function<void(std::unique_ptr<RecognitionJob>)>;
    using ProgressFn = std::function<void(const std::string& operation, int percent)>;

    WorkerPool() = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    // Returns once every worker has its model loaded, or false if one failed.
    bool Start(event_base* base, const PoolSettings& settings, FinishedFn onFinished, ProgressFn onProgress);
    // False, the job dropped, when every worker is busy and the queue is full.
    bool Submit(std::unique_ptr<RecognitionJob> job);
    // Lets the jobs in hand finish, drops the queued ones and joins the threads.
    void Stop();
    // On the loop thread: what the workers have reported since the last time.
    void DeliverReports();
    // Recognitions waiting for a worker, and being decoded.
    void Depth(int& queued, int& busy);

private:
    void Work();
    bool LoadRecognizer(std::unique_ptr<Recognizer>& recognizer);
    void Process(RecognitionJob& job, Recognizer* recognizer);
    void Finish(std::unique_ptr<RecognitionJob> job);
    void Report(const RecognitionJob& job, int percent);

    PoolSettings m_Settings;
    FinishedFn m_OnFinished;
    ProgressFn m_OnProgress;
    event* m_pFinishedEvent = nullptr;
    std::vector<std::thread> m_Threads;

    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::condition_variable m_Loaded;
    std::deque<std::unique_ptr<RecognitionJob>> m_Queued;
    std::deque<std::unique_ptr<RecognitionJob>> m_Finished;
    std::deque<std::pair<std::string, int>> m_Progress; // operation, percent
    int m_Busy = 0;                                     // workers decoding a job
    int m_LoadsPending = 0;
    bool m_LoadFailed = false;
    bool m_Stopping = false;
};
