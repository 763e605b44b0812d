#include "AudioReader.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace
{

sf_count_t vioLength(void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->length() : 0;
}

sf_count_t vioSeek(sf_count_t offset, int whence, void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->seek(offset, whence) : -1;
}

sf_count_t vioRead(void* to, sf_count_t count, void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->read(to, count) : 0;
}

sf_count_t vioWrite(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t vioTell(void* reader)
{
    return reader ? static_cast<AudioReader*>(reader)->tell() : -1;
}

SF_VIRTUAL_IO kMemoryIo = {vioLength, vioSeek, vioRead, vioWrite, vioTell};

std::string encodingMismatch(const char* header, const std::string& given)
{
    return std::string("Specify ") + header + " encoding to match file header (config.encoding is " + given + ").";
}

int headerlessFormat(const std::string& encoding)
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
void addNoiseFloor(std::vector<float>& samples)
{
    std::minstd_rand noise;
    const float scale = 2 * 4 / 32768.0f / static_cast<float>(noise.max());
    for (float& s : samples)
        s += static_cast<float>(noise()) * scale - 4 / 32768.0f;
}

} // namespace

AudioReader::~AudioReader()
{
    release();
}

void AudioReader::release()
{
    if (file_)
        sf_close(file_);
    file_ = nullptr;
}

int64_t AudioReader::seek(int64_t offset, int whence)
{
    int64_t base = whence == SEEK_CUR ? position_ : whence == SEEK_END ? length() : 0;
    position_ = std::clamp<int64_t>(base + offset, 0, length());
    return position_;
}

int64_t AudioReader::read(void* to, int64_t count)
{
    const int64_t n = std::clamp<int64_t>(count, 0, length() - position_);
    std::memcpy(to, bytes_->data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

bool AudioReader::openWith(int format, const AudioHints& hints)
{
    release();
    position_ = 0;
    info_ = SF_INFO{};
    info_.format = format;
    if (format != 0)
    {
        info_.samplerate = hints.sampleRateHertz;
        info_.channels = hints.channelCount > 0 ? hints.channelCount : 1;
    }
    file_ = sf_open_virtual(&kMemoryIo, SFM_READ, &info_, this);
    return file_ != nullptr;
}

bool AudioReader::open(const std::string& bytes, const AudioHints& hints, std::string& error)
{
    bytes_ = &bytes;
    amr_ = amrFormatOf(bytes);
    if (amr_ || hints.encoding == "AMR" || hints.encoding == "AMR_WB")
        return openAmr(hints, error);
    if (!openWith(0, hints))
        return openHeaderless(hints, error);
    const char* header = headerEncoding();
    if (header && !hints.encoding.empty() && hints.encoding != header)
    {
        error = encodingMismatch(header, hints.encoding);
        return false;
    }
    return true;
}

// Google reads no AMR header: the request names the encoding and its one rate.
bool AudioReader::openAmr(const AudioHints& hints, std::string& error)
{
    release();
    info_ = SF_INFO{};
    if (!amr_)
    {
        error = "config.encoding is " + hints.encoding +
                ", but the audio content does not start with the header of its storage format (" +
                (hints.encoding == "AMR" ? "#!AMR" : "#!AMR-WB") + " and a line break).";
        return false;
    }
    const std::string encoding = amr_->encoding;
    if (hints.encoding != encoding)
    {
        error = hints.encoding.empty() ? "Invalid recognition 'config': bad encoding.. " + std::string(amr_->name) +
                                             " audio needs config.encoding " + encoding +
                                             " (the encoding is read from WAV and FLAC headers only)."
                                       : encodingMismatch(amr_->encoding, hints.encoding);
        return false;
    }
    if (hints.sampleRateHertz != amr_->sampleRate)
    {
        error = "Invalid recognition 'config': bad sample rate hertz. " + encoding + " audio needs sample_rate_hertz " +
                std::to_string(amr_->sampleRate) + ".";
        return false;
    }
    size_t frames = 0;
    if (!countAmrFrames(*amr_, *bytes_, frames, error))
        return false;
    info_.samplerate = amr_->sampleRate;
    info_.channels = 1;
    info_.frames = static_cast<sf_count_t>(frames) * amr_->samplesPerFrame;
    return true;
}

bool AudioReader::openHeaderless(const AudioHints& hints, std::string& error)
{
    const std::string why = sf_strerror(nullptr);
    if (hints.encoding.empty())
    {
        error = "Invalid recognition 'config': bad encoding.. Audio content that is not WAV or FLAC needs "
                "config.encoding (this emulator reads headerless LINEAR16 and MULAW, and AMR and AMR_WB files).";
        return false;
    }
    const int raw = headerlessFormat(hints.encoding);
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
    if (!openWith(raw, hints))
    {
        error = std::string("Audio content could not be read: ") + sf_strerror(nullptr);
        return false;
    }
    return true;
}

// The encoding Google reads from this header; null when it has no name for it.
const char* AudioReader::headerEncoding() const
{
    const int container = info_.format & SF_FORMAT_TYPEMASK;
    const int samples = info_.format & SF_FORMAT_SUBMASK;
    if (container == SF_FORMAT_FLAC)
        return "FLAC";
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX)
        return nullptr;
    return samples == SF_FORMAT_PCM_16 ? "LINEAR16" : samples == SF_FORMAT_ULAW ? "MULAW" : nullptr;
}

double AudioReader::seconds() const
{
    return info_.samplerate > 0 ? static_cast<double>(info_.frames) / info_.samplerate : 0.0;
}

const char* AudioReader::containerName() const
{
    if (amr_)
        return amr_->name;
    switch (info_.format & SF_FORMAT_TYPEMASK)
    {
    case SF_FORMAT_WAV:
        return "WAV";
    case SF_FORMAT_FLAC:
        return "FLAC";
    case SF_FORMAT_RAW:
        return "raw";
    default:
        return "audio";
    }
}

bool AudioReader::readMono(std::vector<float>& mono, std::string& error)
{
    if (amr_)
        return decodeAmr(*amr_, *bytes_, mono, error);
    const int channels = info_.channels;
    std::vector<float> block(static_cast<size_t>(4096 * channels));
    mono.clear();
    for (;;)
    {
        const sf_count_t got = sf_readf_float(file_, block.data(), 4096);
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
    if (sf_error(file_) != SF_ERR_NO_ERROR)
    {
        error = std::string("Audio content could not be decoded: ") + sf_strerror(file_);
        return false;
    }
    return true;
}

bool AudioReader::readMono16k(std::vector<int16_t>& samples, std::string& error)
{
    std::vector<float> mono;
    if (!readMono(mono, error))
        return false;
    if (info_.samplerate != kTargetRate && !mono.empty())
    {
        const double ratio = static_cast<double>(kTargetRate) / info_.samplerate;
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
    if (info_.samplerate < kTargetRate)
        addNoiseFloor(mono);
    samples.resize(mono.size());
    src_float_to_short_array(mono.data(), samples.data(), static_cast<int>(mono.size()));
    return true;
}
