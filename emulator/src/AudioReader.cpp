#include "AudioReader.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace
{

sf_count_t VioLength(void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->Length() : 0;
}

sf_count_t VioSeek(sf_count_t offset, int whence, void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->Seek(offset, whence) : -1;
}

sf_count_t VioRead(void* to, sf_count_t count, void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->Read(to, count) : 0;
}

sf_count_t VioWrite(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t VioTell(void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->Tell() : -1;
}

SF_VIRTUAL_IO g_MemoryIo = {VioLength, VioSeek, VioRead, VioWrite, VioTell};

std::string EncodingMismatch(const char* header, const std::string& given)
{
    return std::string("Specify ") + header + " encoding to match file header (config.encoding is " + given + ").";
}

// The sample size of a PCM format Google does not take in WAV (it takes 16 bits); 0 for others.
int PcmBits(int samples)
{
    switch (samples)
    {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        return 8;
    case SF_FORMAT_PCM_24:
        return 24;
    case SF_FORMAT_PCM_32:
        return 32;
    default:
        return 0;
    }
}

int HeaderlessFormat(const std::string& encoding)
{
    if (encoding == "LINEAR16")
        return SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    if (encoding == "MULAW")
        return SF_FORMAT_RAW | SF_FORMAT_ULAW;
    return 0;
}

// Audio recorded below 16 kHz has nothing above its Nyquist frequency, and the
// speech model, trained on wideband recordings, never saw such digital silence:
// a faint noise (about -83 dBFS) in its place lowers the word error rate of 8 kHz
// recordings (emulator/measure-wer) and leaves speech untouched. The same noise
// every time, so a recording decodes the same on every request.
void AddNoiseFloor(std::vector<float>& samples)
{
    std::minstd_rand noise;
    const float scale = 2 * 4 / 32768.0f / static_cast<float>(noise.max());
    for (float& s : samples)
        s += static_cast<float>(noise()) * scale - 4 / 32768.0f;
}

} // namespace

AudioReader::~AudioReader()
{
    Release();
}

void AudioReader::Release()
{
    if (m_pFile)
        sf_close(m_pFile);
    m_pFile = nullptr;
}

int64_t AudioReader::Seek(int64_t offset, int whence)
{
    int64_t base = whence == SEEK_CUR ? m_Position : whence == SEEK_END ? Length() : 0;
    m_Position = std::clamp<int64_t>(base + offset, 0, Length());
    return m_Position;
}

int64_t AudioReader::Read(void* to, int64_t count)
{
    const int64_t n = std::clamp<int64_t>(count, 0, Length() - m_Position);
    std::memcpy(to, m_pBytes->data() + m_Position, static_cast<size_t>(n));
    m_Position += n;
    return n;
}

bool AudioReader::OpenWith(int format, const AudioHints& hints)
{
    Release();
    m_Position = 0;
    m_Info = SF_INFO{};
    m_Info.format = format;
    if (format != 0)
    {
        m_Info.samplerate = hints.sampleRateHertz;
        m_Info.channels = hints.channelCount > 0 ? hints.channelCount : 1;
    }
    m_pFile = sf_open_virtual(&g_MemoryIo, SFM_READ, &m_Info, this);
    return m_pFile != nullptr;
}

bool AudioReader::Open(const std::string& bytes, const AudioHints& hints, std::string& error)
{
    m_pBytes = &bytes;
    m_pAmr = AmrFormatOf(bytes);
    if (m_pAmr || hints.encoding == "AMR" || hints.encoding == "AMR_WB")
        return OpenAmr(hints, error);
    if (!OpenWith(0, hints))
        return OpenHeaderless(hints, error);
    error = HeaderRefusal(hints);
    return error.empty();
}

// Google reads WAV files of LINEAR16 or MULAW, one channel unless the request gives
// the header's count, and the encoding the request names must be the header's.
std::string AudioReader::HeaderRefusal(const AudioHints& hints) const
{
    const int container = m_Info.format & SF_FORMAT_TYPEMASK;
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX && container != SF_FORMAT_FLAC)
        return "";
    const char* header = HeaderEncoding();
    if (!header)
    {
        const int bits = PcmBits(m_Info.format & SF_FORMAT_SUBMASK);
        return bits > 0 ? "Must use 16 bit samples for LINEAR_PCM, but WAV header indicates " + std::to_string(bits) +
                              " bit per sample."
                        : "WAV header indicates an unsupported format.";
    }
    if (!hints.encoding.empty() && hints.encoding != header)
        return EncodingMismatch(header, hints.encoding);
    const std::string channels = std::to_string(m_Info.channels);
    if (hints.channelCount == 0 && m_Info.channels > 1)
        return std::string("Must use single channel (mono) audio, but ") + ContainerName() + " header indicates " +
               channels + " channels.";
    if (hints.channelCount > 0 && hints.channelCount != m_Info.channels)
        return "audio_channel_count (" + std::to_string(hints.channelCount) +
               ") in RecognitionConfig must either be unspecified or match the value in the " + ContainerName() +
               " header (" + channels + ").";
    if (m_Info.channels > 1 && std::strcmp(header, "MULAW") == 0)
        return kSingleChannelOnly;
    return "";
}

// Google reads no AMR header: the request names the encoding and its one rate.
bool AudioReader::OpenAmr(const AudioHints& hints, std::string& error)
{
    Release();
    m_Info = SF_INFO{};
    if (!m_pAmr)
    {
        error = "config.encoding is " + hints.encoding +
                ", but the audio content does not start with the header of its storage format (" +
                (hints.encoding == "AMR" ? "#!AMR" : "#!AMR-WB") + " and a line break).";
        return false;
    }
    const std::string encoding = m_pAmr->encoding;
    if (hints.encoding != encoding)
    {
        error = hints.encoding.empty() ? "Invalid recognition 'config': bad encoding.. " + std::string(m_pAmr->name) +
                                             " audio needs config.encoding " + encoding +
                                             " (the encoding is read from WAV and FLAC headers only)."
                                       : EncodingMismatch(m_pAmr->encoding, hints.encoding);
        return false;
    }
    if (hints.sampleRateHertz != m_pAmr->sampleRate)
    {
        error = "Invalid recognition 'config': bad sample rate hertz. " + encoding + " audio needs sample_rate_hertz " +
                std::to_string(m_pAmr->sampleRate) + ".";
        return false;
    }
    size_t frames = 0;
    if (!CountAmrFrames(*m_pAmr, *m_pBytes, frames, error))
        return false;
    m_Info.samplerate = m_pAmr->sampleRate;
    m_Info.channels = 1;
    m_Info.frames = static_cast<sf_count_t>(frames) * m_pAmr->samplesPerFrame;
    return true;
}

bool AudioReader::OpenHeaderless(const AudioHints& hints, std::string& error)
{
    const std::string why = sf_strerror(nullptr);
    if (hints.encoding.empty())
    {
        error = "Invalid recognition 'config': bad encoding.. Audio content that is not WAV or FLAC needs "
                "config.encoding (this emulator reads headerless LINEAR16 and MULAW, and AMR and AMR_WB files).";
        return false;
    }
    const int raw = HeaderlessFormat(hints.encoding);
    if (raw == 0)
    {
        error = "Audio content is not " + hints.encoding + " audio this emulator can read: " + why;
        return false;
    }
    if (hints.sampleRateHertz <= 0)
    {
        error = "sample_rate_hertz must be set for headerless " + hints.encoding + " audio.";
        return false;
    }
    if (!OpenWith(raw, hints))
    {
        error = std::string("Audio content could not be read: ") + sf_strerror(nullptr);
        return false;
    }
    return true;
}

// The encoding Google reads from this header; null when it has no name for it.
const char* AudioReader::HeaderEncoding() const
{
    const int container = m_Info.format & SF_FORMAT_TYPEMASK;
    const int samples = m_Info.format & SF_FORMAT_SUBMASK;
    if (container == SF_FORMAT_FLAC)
        return "FLAC";
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX)
        return nullptr;
    return samples == SF_FORMAT_PCM_16 ? "LINEAR16" : samples == SF_FORMAT_ULAW ? "MULAW" : nullptr;
}

double AudioReader::Seconds() const
{
    return m_Info.samplerate > 0 ? static_cast<double>(m_Info.frames) / m_Info.samplerate : 0.0;
}

const char* AudioReader::ContainerName() const
{
    if (m_pAmr)
        return m_pAmr->name;
    switch (m_Info.format & SF_FORMAT_TYPEMASK)
    {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
        return "WAV";
    case SF_FORMAT_FLAC:
        return "FLAC";
    case SF_FORMAT_RAW:
        return "raw";
    default:
        return "audio";
    }
}

bool AudioReader::ReadMono(std::vector<float>& mono, std::string& error)
{
    if (m_pAmr)
        return DecodeAmr(*m_pAmr, *m_pBytes, mono, error);
    const int channels = m_Info.channels;
    std::vector<float> block(static_cast<size_t>(4096 * channels));
    mono.clear();
    for (;;)
    {
        const sf_count_t got = sf_readf_float(m_pFile, block.data(), 4096);
        if (got <= 0)
            break;
        for (sf_count_t f = 0; f < got; ++f)
        {
            float sum = 0;
            for (int c = 0; c < channels; ++c)
                sum += block[static_cast<size_t>(f * channels + c)];
            mono.push_back(sum / static_cast<float>(channels));
        }
    }
    if (sf_error(m_pFile) != SF_ERR_NO_ERROR)
    {
        error = std::string("Audio content could not be decoded: ") + sf_strerror(m_pFile);
        return false;
    }
    return true;
}

bool AudioReader::ReadMono16k(std::vector<int16_t>& samples, std::string& error)
{
    std::vector<float> mono;
    if (!ReadMono(mono, error))
        return false;
    if (m_Info.samplerate != kTargetRate && !mono.empty())
    {
        const double ratio = static_cast<double>(kTargetRate) / m_Info.samplerate;
        std::vector<float> resampled(static_cast<size_t>(mono.size() * ratio) + 16);
        SRC_DATA data{};
        data.data_in = mono.data();
        data.input_frames = static_cast<long>(mono.size());
        data.data_out = resampled.data();
        data.output_frames = static_cast<long>(resampled.size());
        data.src_ratio = ratio;
        const int rc = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        if (rc != 0)
        {
            error = std::string("Audio could not be resampled: ") + src_strerror(rc);
            return false;
        }
        resampled.resize(static_cast<size_t>(data.output_frames_gen));
        mono.swap(resampled);
    }
    if (m_Info.samplerate < kTargetRate)
        AddNoiseFloor(mono);
    samples.resize(mono.size());
    src_float_to_short_array(mono.data(), samples.data(), static_cast<int>(mono.size()));
    return true;
}
