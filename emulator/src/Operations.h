#pragma once
// Long-running recognitions as Google's google.longrunning.Operations service shows
// them: started by speech:longrunningrecognize, read by GET operations/<name>, and
// kept for a bounded time and number once finished. Used on the loop thread only.
#include "Api.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <random>
#include <string>
#include <unordered_map>

class Operations
{
public:
    static constexpr const char* kResponseType =
        "type.googleapis.com/google.cloud.speech.v1.LongRunningRecognizeResponse";

    Operations(size_t kept, int keptSeconds);

    // A fresh name, not yet known: the operation starts once its job is queued.
    std::string NewName();
    void Start(const std::string& name);
    // How far its work has come, in percent, as of now.
    void Progress(const std::string& name, int percent);
    // Its outcome: `response` (led by kResponseType), or `error` when set.
    void Finish(const std::string& name, const std::string& response, const ApiError& error);
    // Fills `json` with the operation; false for a name unknown or no longer kept.
    bool Describe(const std::string& name, std::string& json);

private:
    struct Operation
    {
        std::chrono::system_clock::time_point started;
        std::chrono::system_clock::time_point updated;
        int percent = 0;
        bool done = false;
        std::string response;
        ApiError error;
    };

    void ForgetExpired();
    std::string ToJson(const std::string& name, const Operation& operation) const;

    size_t m_Kept;
    std::chrono::seconds m_KeptFor;
    std::mt19937_64 m_Names;
    std::unordered_map<std::string, Operation> m_Operations;
    // The finished ones by the time they finished, oldest first.
    std::deque<std::pair<std::string, std::chrono::steady_clock::time_point>> m_Finished;
};
