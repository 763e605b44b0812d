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

// Google documents one channel as the only one of these encodings.
constexpr const char* kSingleChannelOnly = "audio_channel_count must be 1 for MULAW, AMR, AMR_WB and "
                                           "SPEEX_WITH_HEADER_BYTE audio.";

class AudioReader
{
public:
    static constexpr int kTargetRate = 16000;

    AudioReader() = default;
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;
    ~AudioReader();

    // `bytes` must outlive the reader.
    bool Open(const std::string& bytes, const AudioHints& hints, std::string& error);
    double Seconds() const;
    int SampleRate() const { return m_Info.samplerate; }
    const char* ContainerName() const;
    bool ReadMono16k(std::vector<int16_t>& samples, std::string& error);

    // libsndfile's virtual I/O, over the caller's buffer.
    int64_t Length() const { return static_cast<int64_t>(m_pBytes->size()); }
    int64_t Seek(int64_t offset, int whence);
    int64_t Read(void* to, int64_t count);
    int64_t Tell() const { return m_Position; }

private:
    bool OpenWith(int format, const AudioHints& hints);
    bool OpenAmr(const AudioHints& hints, std::string& error);
    bool OpenHeaderless(const AudioHints& hints, std::string& error);
    const char* HeaderEncoding() const;
    // Why Google would refuse this WAV or FLAC header with these hints; "" when it would not.
    std::string HeaderRefusal(const AudioHints& hints) const;
    bool ReadMono(std::vector<float>& mono, std::string& error);
    void Release();

    const std::string* m_pBytes = nullptr;
    int64_t m_Position = 0;
    SF_INFO m_Info{};
    SNDFILE* m_pFile = nullptr;
    const AmrFormat* m_pAmr = nullptr; // set: the bytes are AMR, not libsndfile's
};
