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

    // Fills job.audio or job.uri, job.hints and job.languageCode; returns the refusal if any.
    static ApiError Parse(const std::string& body, RecognitionJob& job);
    // The answer's body: its results, or {} when there is no speech; led by "@type"
    // when one is given, as in a long-running operation's response.
    static std::string Reply(const RecognitionJob& job, uint64_t requestId, const char* type = nullptr);
};

// The bucket and object of "gs://BUCKET/OBJECT"; false for any other form.
bool SplitGsUri(const std::string& uri, std::string& bucket, std::string& object);

// Google's JSON form of a Duration: "7.100s", "8s".
std::string FormatDuration(double seconds);

// Decodes base64 as a proto3 JSON "bytes" field accepts it: standard or
// URL-safe alphabet, padding optional, whitespace ignored. False on bad input.
bool DecodeBase64(std::string_view text, std::string& out);
