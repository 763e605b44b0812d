#include "WorkerPool.h"

#include "Complain.h"

#include <event2/event.h>

namespace
{

void OnJobsFinished(evutil_socket_t, short, void* pool)
{
    if (pool)
        static_cast<WorkerPool*>(pool)->DeliverReports();
}

// Google's limit for long-running recognition.
constexpr double kMaxLongRunningSeconds = 480 * 60;

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

WorkerPool::~WorkerPool()
{
    Stop();
}

bool WorkerPool::Start(event_base* base, const PoolSettings& settings, FinishedFn onFinished, ProgressFn onProgress)
{
    m_Settings = settings;
    m_OnFinished = std::move(onFinished);
    m_OnProgress = std::move(onProgress);
    m_pFinishedEvent = event_new(base, -1, 0, OnJobsFinished, this);
    if (!m_pFinishedEvent)
    {
        Complain("cannot create the worker event");
        return false;
    }
    m_LoadsPending = m_Settings.workers;
    for (int i = 0; i < m_Settings.workers; ++i)
        m_Threads.emplace_back(&WorkerPool::Work, this);
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Loaded.wait(lock, [this] { return m_LoadsPending == 0; });
    return !m_LoadFailed;
}

void WorkerPool::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopping = true;
    }
    m_Wake.notify_all();
    for (std::thread& t : m_Threads)
        t.join();
    m_Threads.clear();
    // Requests still waiting belong to evhttp, which frees them with their
    // connections; only the jobs go here.
    m_Queued.clear();
    m_Finished.clear();
    m_Progress.clear();
    if (m_pFinishedEvent)
        event_free(m_pFinishedEvent);
    m_pFinishedEvent = nullptr;
}

void WorkerPool::Depth(int& queued, int& busy)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    queued = static_cast<int>(m_Queued.size());
    busy = m_Busy;
}

bool WorkerPool::Submit(std::unique_ptr<RecognitionJob> job)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (static_cast<int>(m_Queued.size()) + m_Busy >= m_Settings.workers + m_Settings.queue)
            return false;
        m_Queued.push_back(std::move(job));
    }
    m_Wake.notify_one();
    return true;
}

// Progress first: a job's reports were all made before it finished.
void WorkerPool::DeliverReports()
{
    std::deque<std::unique_ptr<RecognitionJob>> jobs;
    std::deque<std::pair<std::string, int>> progress;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        jobs.swap(m_Finished);
        progress.swap(m_Progress);
    }
    for (const auto& [operation, percent] : progress)
        m_OnProgress(operation, percent);
    for (auto& job : jobs)
        m_OnFinished(std::move(job));
}

bool WorkerPool::LoadRecognizer(std::unique_ptr<Recognizer>& recognizer)
{
    if (m_Settings.fixedTranscript)
        return true;
    recognizer = std::make_unique<Recognizer>();
    return recognizer->Load(m_Settings.models);
}

void WorkerPool::Work()
{
    std::unique_ptr<Recognizer> recognizer;
    const bool ok = LoadRecognizer(recognizer);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_LoadFailed = m_LoadFailed || !ok;
        m_Stopping = m_Stopping || !ok;
        --m_LoadsPending;
    }
    m_Loaded.notify_all();
    m_Wake.notify_all();
    for (;;)
    {
        std::unique_ptr<RecognitionJob> job;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_Stopping || !m_Queued.empty(); });
            if (m_Stopping)
                return;
            job = std::move(m_Queued.front());
            m_Queued.pop_front();
            ++m_Busy;
        }
        Process(*job, recognizer.get());
        Finish(std::move(job));
    }
}

void WorkerPool::Process(RecognitionJob& job, Recognizer* recognizer)
{
    const auto started = std::chrono::steady_clock::now();
    Report(job, kProgressReading);
    AudioReader reader;
    std::string error;
    if (!reader.Open(job.audio, job.hints, error))
    {
        job.error = InvalidArgument(error);
        return;
    }
    if (job.hints.sampleRateHertz > 0 && job.hints.sampleRateHertz != reader.SampleRate())
    {
        job.error = InvalidArgument("sample_rate_hertz (" + std::to_string(job.hints.sampleRateHertz) +
                                    ") in RecognitionConfig must either be unspecified or match the value in the " +
                                    reader.ContainerName() + " header (" + std::to_string(reader.SampleRate()) + ").");
        return;
    }
    job.audioSeconds = reader.Seconds();
    if (job.operation.empty() && job.audioSeconds > m_Settings.maxAudioSeconds)
    {
        job.error = InvalidArgument("Sync input too long. For audio longer than 1 min use "
                                    "LongRunningRecognize with a 'uri' parameter.");
        return;
    }
    if (job.audioSeconds > kMaxLongRunningSeconds)
    {
        job.error = InvalidArgument("Audio is longer than 480 minutes.");
        return;
    }
    if (!recognizer)
    {
        if (!m_Settings.fixedTranscript->empty())
            job.results = {Hypothesis{*m_Settings.fixedTranscript, 1.0, {}, {}, job.audioSeconds}};
        return;
    }
    std::vector<int16_t> samples;
    if (!reader.ReadMono16k(samples, error))
    {
        job.error = InvalidArgument(error);
        return;
    }
    Report(job, kProgressDecoding);
    if (!recognizer->Recognize(samples, job.options.maxAlternatives, job.results,
                               [&] { Report(job, kProgressDecoded); }))
        job.error = ApiError{500, "INTERNAL", "The recognizer failed on this audio.", "", ""};
    // The last result runs to the end of the recording, its trailing silence included.
    if (!job.results.empty())
        job.results.back().end = job.audioSeconds;
    job.decodeSeconds = SecondsSince(started);
}

// Only a long-running job's progress is shown, in its operation.
void WorkerPool::Report(const RecognitionJob& job, int percent)
{
    if (job.operation.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Progress.emplace_back(job.operation, percent);
    }
    event_active(m_pFinishedEvent, 0, 0);
}

void WorkerPool::Finish(std::unique_ptr<RecognitionJob> job)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Finished.push_back(std::move(job));
        --m_Busy;
    }
    // Safe from this thread because the loop was set up with evthread_use_pthreads().
    event_active(m_pFinishedEvent, 0, 0);
}
