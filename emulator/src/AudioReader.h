#pragma once
// Reads a recording held in memory with libsndfile (WAV, FLAC and whatever
// else it knows by its header) or opencore-amr (AMR-NB, AMR-WB) and turns it
// into what the recognizer takes: 16 kHz mono 16-bit samples.
#include "AmrDecoder.h"

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

// What the request's config says about the audio. As Google does, the encoding
// must match a WAV or FLAC header when given, and be given for everything else.
struct AudioHints
{
    std::string encoding;    // "LINEAR16", "MULAW", ... or empty
    int sampleRateHertz = 0; // 0: not given
    int channelCount = 0;    // 0: not given
};

class AudioReader
{
public:
    static constexpr int kTargetRate = 16000;

    AudioReader() = default;
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;
    ~AudioReader();

    // `bytes` must outlive the reader.
    bool open(const std::string& bytes, const AudioHints& hints, std::string& error);
    double seconds() const;
    int sampleRate() const { return info_.samplerate; }
    const char* containerName() const;
    bool readMono16k(std::vector<int16_t>& samples, std::string& error);

    // libsndfile's virtual I/O, over the caller's buffer.
    int64_t length() const { return static_cast<int64_t>(bytes_->size()); }
    int64_t seek(int64_t offset, int whence);
    int64_t read(void* to, int64_t count);
    int64_t tell() const { return position_; }

private:
    bool openWith(int format, const AudioHints& hints);
    bool openAmr(const AudioHints& hints, std::string& error);
    bool openHeaderless(const AudioHints& hints, std::string& error);
    const char* headerEncoding() const;
    bool readMono(std::vector<float>& mono, std::string& error);
    void release();

    const std::string* bytes_ = nullptr;
    int64_t position_ = 0;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
    const AmrFormat* amr_ = nullptr; // set: the bytes are AMR, not libsndfile's
};
