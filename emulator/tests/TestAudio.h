#pragma once
// Recordings for the tests, made from pocketsphinx-testdata with libsndfile,
// and request bodies that carry them.
#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

// goforward.raw: "go forward ten meters", 16 kHz mono.
std::vector<int16_t> goForwardSamples();
std::string testDataPath(const std::string& name);
std::string readFileBytes(const std::string& path);

// Encodes mono 16 kHz samples as `format` at `rate` with `channels` (the
// first channel carries the speech, the others are silent).
std::string encodeAudio(const std::vector<int16_t>& samples16k, int format, int rate, int channels = 1);
std::string silentWav(double seconds);

std::string base64(const std::string& bytes);
// {"config":{"languageCode":...,<extraConfig>},"audio":{"content":...}}
std::string recognizeBody(const std::string& audio, const std::string& languageCode = "en-US",
                          const std::string& extraConfig = "");
