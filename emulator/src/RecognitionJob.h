#pragma once
// One recognition request on its way from the event loop to a worker and back.
#include "ApiError.h"
#include "AudioReader.h"
#include "Recognizer.h"

#include <string>

struct evhttp_request;

struct RecognitionJob {
    // Filled on the loop thread before the job is queued.
    evhttp_request* request = nullptr;
    std::string trace; // "POST /v1/speech:recognize"
    std::string audio;
    AudioHints hints;
    std::string languageCode;

    // Filled by the worker.
    ApiError error;
    Hypothesis hypothesis;
    double audioSeconds = 0;
    double decodeSeconds = 0;
};
