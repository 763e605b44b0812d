// The audio reader against recordings made here from pocketsphinx-testdata with
// libsndfile: every container, rate and channel count comes back as 16 kHz mono.
#include "AudioReader.h"

#include <gtest/gtest.h>
#include <samplerate.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <numeric>

namespace
{

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// "go forward ten meters", 16 kHz mono 16-bit.
const std::string kRaw = readFile(S2T_TESTDATA_DIR "/goforward.raw");
const std::vector<int16_t> kSpeech(reinterpret_cast<const int16_t*>(kRaw.data()),
                                   reinterpret_cast<const int16_t*>(kRaw.data() + kRaw.size()));

// The speech as `format` at `rate`, in the first of `channels` (the others silent).
std::string encodeAudio(int format, int rate, int channels = 1)
{
    std::vector<float> in(kSpeech.size());
    src_short_to_float_array(kSpeech.data(), in.data(), static_cast<int>(in.size()));
    std::vector<float> mono = in;
    if (rate != 16000)
    {
        mono.resize(in.size() * rate / 16000 + 16);
        SRC_DATA data{};
        data.data_in = in.data();
        data.input_frames = static_cast<long>(in.size());
        data.data_out = mono.data();
        data.output_frames = static_cast<long>(mono.size());
        data.src_ratio = rate / 16000.0;
        src_simple(&data, SRC_SINC_FASTEST, 1);
        mono.resize(static_cast<size_t>(data.output_frames_gen));
    }
    std::vector<float> frames(mono.size() * channels, 0.0f);
    for (size_t i = 0; i < mono.size(); ++i)
        frames[i * channels] = mono[i];

    char path[] = "/tmp/s2t-emulator-test-XXXXXX";
    close(mkstemp(path));
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
    const std::string bytes = readFile(path);
    unlink(path);
    return bytes;
}

// Normalised correlation of the overlapping part: near 1 when b is a (scaled)
// copy of a, near 0 for unrelated or shifted audio.
double correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    const size_t n = std::min(a.size(), b.size());
    const auto dot = [n](const auto& x, const auto& y) {
        return std::inner_product(x.begin(), x.begin() + n, y.begin(), 0.0);
    };
    const double aa = dot(a, a), bb = dot(b, b);
    return aa > 0 && bb > 0 ? dot(a, b) / std::sqrt(aa * bb) : 0;
}

struct ReadResult
{
    bool read = false;
    double seconds = 0;
    std::vector<int16_t> samples;
    std::string error;
};

ReadResult readAll(const std::string& bytes, const AudioHints& hints = {})
{
    ReadResult r;
    AudioReader reader;
    if (reader.open(bytes, hints, r.error))
    {
        r.seconds = reader.seconds();
        r.read = reader.readMono16k(r.samples, r.error);
    }
    return r;
}

} // namespace

TEST(AudioReader, EveryFormatRateAndChannelCountBecomesSixteenKilohertzMono)
{
    const struct
    {
        int format, rate, channels;
        double minCorrelation; // 8 kHz keeps only the band below 4 kHz
    } cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 1, 1.0},   {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000, 1, 1.0},
        {SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1, 0.8},      {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 0.95},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, 0.95},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.rate);
        const ReadResult r = readAll(encodeAudio(c.format, c.rate, c.channels));
        ASSERT_TRUE(r.read) << r.error;
        EXPECT_NEAR(double(r.samples.size()), double(kSpeech.size()), c.rate == 16000 ? 0.0 : 16.0);
        EXPECT_NEAR(r.seconds, kSpeech.size() / 16000.0, 0.01);
        EXPECT_GE(correlation(r.samples, kSpeech) + 1e-9, c.minCorrelation);
    }
    // Lossless at the target rate, and mixing averages the channels.
    EXPECT_EQ(readAll(encodeAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000)).samples, kSpeech);
    const ReadResult stereo = readAll(encodeAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 2));
    ASSERT_EQ(stereo.samples.size(), kSpeech.size()) << stereo.error;
    for (size_t i = 0; i < kSpeech.size(); i += 997)
        EXPECT_NEAR(stereo.samples[i], kSpeech[i] / 2.0, 1.0) << i;
}

TEST(AudioReader, HeaderlessAudioNeedsEncodingAndRate)
{
    EXPECT_FALSE(readAll(kRaw).read);
    const ReadResult noRate = readAll(kRaw, AudioHints{"LINEAR16", 0, 0});
    EXPECT_NE(noRate.error.find("sample_rate_hertz"), std::string::npos) << noRate.error;
    EXPECT_EQ(readAll(kRaw, AudioHints{"LINEAR16", 16000, 1}).samples, kSpeech);
    const ReadResult mulaw = readAll(encodeAudio(SF_FORMAT_RAW | SF_FORMAT_ULAW, 16000), AudioHints{"MULAW", 16000, 1});
    EXPECT_GT(correlation(mulaw.samples, kSpeech), 0.95) << mulaw.error;
}

TEST(AudioReader, RefusesBytesThatAreNoRecording)
{
    for (const std::string& bytes : {std::string("just some text"), std::string("RIFF\x10\0\0\0WAVEfmt ", 16)})
    {
        const ReadResult r = readAll(bytes);
        EXPECT_FALSE(r.read);
        EXPECT_FALSE(r.error.empty());
    }
}
