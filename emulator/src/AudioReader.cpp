#include "AudioReader.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>

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

int headerlessFormat(const std::string& encoding)
{
    if (encoding == "LINEAR16")
        return SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    if (encoding == "MULAW")
        return SF_FORMAT_RAW | SF_FORMAT_ULAW;
    return 0;
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
    if (openWith(0, hints))
        return true;
    const std::string why = sf_strerror(nullptr);
    const int raw = headerlessFormat(hints.encoding);
    if (raw == 0)
    {
        error = "Audio content is not a recording this emulator can read (WAV or FLAC, or "
                "headerless LINEAR16/MULAW with sample_rate_hertz): " +
                why;
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

double AudioReader::seconds() const
{
    return info_.samplerate > 0 ? static_cast<double>(info_.frames) / info_.samplerate : 0.0;
}

const char* AudioReader::containerName() const
{
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
    samples.resize(mono.size());
    src_float_to_short_array(mono.data(), samples.data(), static_cast<int>(mono.size()));
    return true;
}
