#include "WorkerPool.h"

#include <event2/event.h>

#include <cstdio>

namespace
{

void onJobsFinished(evutil_socket_t, short, void* pool)
{
    if (pool)
        static_cast<WorkerPool*>(pool)->deliverFinished();
}

// Google's limit for long-running recognition.
constexpr double kMaxLongRunningSeconds = 480 * 60;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

WorkerPool::~WorkerPool()
{
    stop();
}

bool WorkerPool::start(event_base* base, const PoolSettings& settings, FinishedFn onFinished)
{
    settings_ = settings;
    onFinished_ = std::move(onFinished);
    finishedEvent_ = event_new(base, -1, 0, onJobsFinished, this);
    if (!finishedEvent_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot create the worker event\n");
        return false;
    }
    loadsPending_ = settings_.workers;
    for (int i = 0; i < settings_.workers; ++i)
        threads_.emplace_back(&WorkerPool::work, this);
    std::unique_lock<std::mutex> lock(mutex_);
    loaded_.wait(lock, [this] { return loadsPending_ == 0; });
    return !loadFailed_;
}

void WorkerPool::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
    // Requests still waiting belong to evhttp, which frees them with their
    // connections; only the jobs go here.
    queued_.clear();
    finished_.clear();
    if (finishedEvent_)
        event_free(finishedEvent_);
    finishedEvent_ = nullptr;
}

void WorkerPool::depth(int& queued, int& busy)
{
    std::lock_guard<std::mutex> lock(mutex_);
    queued = static_cast<int>(queued_.size());
    busy = busy_;
}

bool WorkerPool::submit(std::unique_ptr<RecognitionJob> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (static_cast<int>(queued_.size()) + busy_ >= settings_.workers + settings_.queue)
            return false;
        queued_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void WorkerPool::deliverFinished()
{
    std::deque<std::unique_ptr<RecognitionJob>> jobs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs.swap(finished_);
    }
    for (auto& job : jobs)
        onFinished_(std::move(job));
}

bool WorkerPool::loadRecognizer(std::unique_ptr<Recognizer>& recognizer)
{
    if (settings_.fixedTranscript)
        return true;
    recognizer = std::make_unique<Recognizer>();
    return recognizer->load(settings_.models);
}

void WorkerPool::work()
{
    std::unique_ptr<Recognizer> recognizer;
    const bool ok = loadRecognizer(recognizer);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loadFailed_ = loadFailed_ || !ok;
        stopping_ = stopping_ || !ok;
        --loadsPending_;
    }
    loaded_.notify_all();
    wake_.notify_all();
    for (;;)
    {
        std::unique_ptr<RecognitionJob> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
            if (stopping_)
                return;
            job = std::move(queued_.front());
            queued_.pop_front();
            ++busy_;
        }
        process(*job, recognizer.get());
        finish(std::move(job));
    }
}

void WorkerPool::process(RecognitionJob& job, Recognizer* recognizer)
{
    const auto started = std::chrono::steady_clock::now();
    AudioReader reader;
    std::string error;
    if (!reader.open(job.audio, job.hints, error))
    {
        job.error = invalidArgument(error);
        return;
    }
    if (job.hints.sampleRateHertz > 0 && job.hints.sampleRateHertz != reader.sampleRate())
    {
        job.error = invalidArgument("sample_rate_hertz (" + std::to_string(job.hints.sampleRateHertz) +
                                    ") in RecognitionConfig must either be unspecified or match the value in the " +
                                    reader.containerName() + " header (" + std::to_string(reader.sampleRate()) + ").");
        return;
    }
    job.audioSeconds = reader.seconds();
    if (job.operation.empty() && job.audioSeconds > settings_.maxAudioSeconds)
    {
        job.error = invalidArgument("Sync input too long. For audio longer than 1 min use "
                                    "LongRunningRecognize with a 'uri' parameter.");
        return;
    }
    if (job.audioSeconds > kMaxLongRunningSeconds)
    {
        job.error = invalidArgument("Audio is longer than 480 minutes.");
        return;
    }
    if (!recognizer)
    {
        if (!settings_.fixedTranscript->empty())
            job.results = {Hypothesis{*settings_.fixedTranscript, 1.0, {}, {}, job.audioSeconds}};
        return;
    }
    std::vector<int16_t> samples;
    if (!reader.readMono16k(samples, error))
    {
        job.error = invalidArgument(error);
        return;
    }
    if (!recognizer->recognize(samples, job.options.maxAlternatives, job.results))
        job.error = ApiError{500, "INTERNAL", "The recognizer failed on this audio.", "", ""};
    // The last result runs to the end of the recording, its trailing silence included.
    if (!job.results.empty())
        job.results.back().end = job.audioSeconds;
    job.decodeSeconds = secondsSince(started);
}

void WorkerPool::finish(std::unique_ptr<RecognitionJob> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.push_back(std::move(job));
        --busy_;
    }
    // Safe from this thread because the loop was set up with evthread_use_pthreads().
    event_active(finishedEvent_, 0, 0);
}
