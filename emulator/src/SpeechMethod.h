#pragma once
// speech:recognize: turns the request body into a RecognitionJob and a
// finished job into the reply body.
#include "Api.h"
#include "WorkerPool.h"

#include <cstdint>
#include <string>
#include <string_view>

class SpeechMethod
{
public:
    // Languages the loaded model serves, as Google spells them.
    static constexpr const char* kLanguages = "en-US";

    // Fills job.audio, job.hints and job.languageCode; returns the refusal if any.
    static ApiError parse(const std::string& body, RecognitionJob& job);
    static std::string reply(const RecognitionJob& job, uint64_t requestId);
};

// Google's JSON form of a Duration: "7.100s", "8s".
std::string formatDuration(double seconds);

// Decodes base64 as a proto3 JSON "bytes" field accepts it: standard or
// URL-safe alphabet, padding optional, whitespace ignored. False on bad input.
bool decodeBase64(std::string_view text, std::string& out);
