#pragma once

#include <string>

#include "cloud/Transcription.h"

struct evbuffer;

// The body of a transcription request: taken out of libevent's buffer, then read in
// one pass with bounds, without building a document, so that a body of millions of
// values or of deep nesting is refused before it takes memory or time.
namespace TranscribeBody
{
// The most values a body may hold, alternatives and unknown members included, and
// how deep they may nest; at most kMaxAlternatives alternative languages.
const size_t kMaxValues = 1024;
const int kMaxDepth = 5;
const size_t kMaxAlternatives = 64;

// Moves the input buffer's bytes into `body`, with the room the reader needs after them.
void Take(evbuffer* pInput, std::string& body);
// False when `data` is not one JSON object within the bounds; `data` is read in place.
bool Read(std::string& data, Transcription::Parameters& parameters);
} // namespace TranscribeBody
