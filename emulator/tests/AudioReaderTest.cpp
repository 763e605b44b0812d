// The audio reader against recordings made here from pocketsphinx-testdata with
// libsndfile, sox (AMR-NB) and amrwb-encode (AMR-WB): every container, codec, rate
// and channel count comes back as 16 kHz mono.
#include "AudioReader.h"

#include <gtest/gtest.h>
#include <samplerate.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>
#include <tuple>

namespace
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// "go forward ten meters", 16 kHz mono 16-bit.
const std::string kRaw = ReadFile(S2T_TESTDATA_DIR "/goforward.raw");
const std::vector<int16_t> kSpeech(reinterpret_cast<const int16_t*>(kRaw.data()),
                                   reinterpret_cast<const int16_t*>(kRaw.data() + kRaw.size()));

// What `make` writes into a scratch file it is given the path of.
template <typename Make>
std::string MadeInFile(Make make)
{
    char path[] = "/tmp/s2t-emulator-test-XXXXXX";
    close(mkstemp(path));
    make(path);
    const std::string bytes = ReadFile(path);
    unlink(path);
    return bytes;
}

// The speech as `format` at `rate`, in the first of `channels` (the others silent).
std::string EncodeAudio(int format, int rate, int channels = 1)
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

    return MadeInFile([&](const char* path) {
        SF_INFO info{0, rate, channels, format, 0, 0};
        SNDFILE* file = sf_open(path, SFM_WRITE, &info);
        sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
        sf_close(file);
    });
}

// The speech as AMR-NB at 12.2 kbit/s (sox) or AMR-WB at 23.85 kbit/s.
std::string EncodeAmr(bool wideband)
{
    return MadeInFile([wideband](const char* path) {
        const std::string command = wideband
                                        ? std::string(S2T_AMRWB_ENCODER " " S2T_TESTDATA_DIR "/goforward.raw ") + path
                                        : std::string("sox -R -t raw -r 16000 -e signed -b 16 -c 1 " S2T_TESTDATA_DIR
                                                      "/goforward.raw -t amr-nb -C 7 ") +
                                              path + " rate 8000";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    });
}

// Normalised correlation of the overlapping part: near 1 when b is a (scaled)
// copy of a, near 0 for unrelated or shifted audio.
template <typename T>
double Correlation(const std::vector<T>& a, const std::vector<T>& b)
{
    const size_t n = std::min(a.size(), b.size());
    const auto dot = [n](const auto& x, const auto& y) {
        return std::inner_product(x.begin(), x.begin() + n, y.begin(), 0.0);
    };
    const double aa = dot(a, a), bb = dot(b, b);
    return aa > 0 && bb > 0 ? dot(a, b) / std::sqrt(aa * bb) : 0;
}

// Loudness every 20 ms: what a codec that does not keep the waveform keeps.
std::vector<double> Envelope(const std::vector<int16_t>& samples)
{
    std::vector<double> out;
    for (size_t at = 0; at + 320 <= samples.size(); at += 320)
        out.push_back(
            std::sqrt(std::inner_product(samples.begin() + at, samples.begin() + at + 320, samples.begin() + at, 0.0)));
    return out;
}

struct ReadResult
{
    bool read = false;
    double seconds = 0;
    std::vector<int16_t> samples;
    std::string error;
};

ReadResult ReadAll(const std::string& bytes, const AudioHints& hints = {})
{
    ReadResult r;
    AudioReader reader;
    if (reader.Open(bytes, hints, r.error))
    {
        r.seconds = reader.Seconds();
        r.read = reader.ReadMono16k(r.samples, r.error);
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
        const ReadResult r = ReadAll(EncodeAudio(c.format, c.rate, c.channels), AudioHints{"", 0, c.channels});
        ASSERT_TRUE(r.read) << r.error;
        EXPECT_NEAR(double(r.samples.size()), double(kSpeech.size()), c.rate == 16000 ? 0.0 : 16.0);
        EXPECT_NEAR(r.seconds, kSpeech.size() / 16000.0, 0.01);
        EXPECT_GE(Correlation(r.samples, kSpeech) + 1e-9, c.minCorrelation);
    }
    // Lossless at the target rate, and mixing averages the channels.
    EXPECT_EQ(ReadAll(EncodeAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000)).samples, kSpeech);
    const ReadResult stereo = ReadAll(EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 2), AudioHints{"", 0, 2});
    ASSERT_EQ(stereo.samples.size(), kSpeech.size()) << stereo.error;
    for (size_t i = 0; i < kSpeech.size(); i += 997)
        EXPECT_NEAR(stereo.samples[i], kSpeech[i] / 2.0, 1.0) << i;
}

TEST(AudioReader, HeaderlessAudioIsReadAtTheRateGiven)
{
    EXPECT_EQ(ReadAll(kRaw, AudioHints{"LINEAR16", 16000, 1}).samples, kSpeech);
    const ReadResult mulaw = ReadAll(EncodeAudio(SF_FORMAT_RAW | SF_FORMAT_ULAW, 16000), AudioHints{"MULAW", 16000, 1});
    EXPECT_GT(Correlation(mulaw.samples, kSpeech), 0.95) << mulaw.error;
    // Below 16 kHz, silence comes back as a faint noise floor, never as digital silence.
    std::vector<int16_t> floor = ReadAll(std::string(1600, '\0'), AudioHints{"LINEAR16", 8000, 1}).samples;
    std::sort(floor.begin(), floor.end());
    EXPECT_TRUE(floor.size() == 1600 && floor.front() == -4 && floor.back() == 4);
}

TEST(AudioReader, AmrIsDecodedWhenTheRequestNamesItsEncodingAndRate)
{
    for (const auto& [wideband, hints] : {std::pair{false, AudioHints{"AMR", 8000, 0}}, {true, {"AMR_WB", 16000, 0}}})
    {
        SCOPED_TRACE(hints.encoding);
        const ReadResult r = ReadAll(EncodeAmr(wideband), hints);
        ASSERT_TRUE(r.read) << r.error;
        EXPECT_DOUBLE_EQ(r.seconds, 2.8); // 140 frames of 20 ms, the last one padded
        EXPECT_NEAR(double(r.samples.size()), 2.8 * 16000, 16.0);
        EXPECT_GT(Correlation(Envelope(r.samples), Envelope(kSpeech)), 0.85); // another recording: 0.6
    }
}

TEST(AudioReader, RefusesAudioItsConfigContradictsNamingTheField)
{
    const std::string nb = EncodeAmr(false), wb = EncodeAmr(true);
    const std::string stereo = EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 2);
    const std::tuple<std::string, AudioHints, const char*> cases[] = {
        {nb, {"", 8000, 0}, "bad encoding.. AMR-NB audio needs config.encoding AMR "},
        {nb, {"LINEAR16", 8000, 0}, "Specify AMR encoding to match file header"},
        {wb, {"AMR", 8000, 0}, "Specify AMR_WB encoding to match file header (config.encoding is AMR)"},
        {nb, {"AMR", 16000, 0}, "bad sample rate hertz. AMR audio needs sample_rate_hertz 8000."},
        {"#!AM", {"AMR", 8000, 0}, "config.encoding is AMR, but the audio content does not"},
        {wb.substr(0, 9 + 61 + 30), {"AMR_WB", 16000, 0}, "the AMR-WB audio ends inside frame 2 (30 of its 61 bytes)"},
        {"#!AMR-WB\n\x50", {"AMR_WB", 16000, 0}, "'audio.content': AMR-WB frame 1 at byte 9 has frame type 10"},
        {EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000),
         {"MULAW", 0, 0},
         "Specify LINEAR16 encoding to match file header (config.encoding is MULAW)"},
        {EncodeAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000), {"LINEAR16", 0, 0}, "Specify FLAC encoding"},
        {kRaw, {"FLAC", 16000, 0}, "not FLAC audio"},
        {kRaw, {"LINEAR16", 0, 0}, "sample_rate_hertz must be set for headerless LINEAR16"},
        {kRaw, {}, "bad encoding.. Audio content that is not WAV or FLAC needs config.encoding"},
        {EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_ALAW, 8000), {}, "WAV header indicates an unsupported format."},
        {EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000), {}, "LINEAR_PCM, but WAV header indicates 8 bit per"},
        {stereo, {}, "Must use single channel (mono) audio, but WAV header indicates 2 channels."},
        {stereo, {"LINEAR16", 0, 1}, "audio_channel_count (1) in RecognitionConfig must either be unspecified"},
        {EncodeAudio(SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 2), {"", 0, 2}, kSingleChannelOnly},
    };
    for (const auto& [bytes, hints, message] : cases)
    {
        const ReadResult r = ReadAll(bytes, hints);
        EXPECT_FALSE(r.read) << message;
        EXPECT_NE(r.error.find(message), std::string::npos) << r.error;
    }
    EXPECT_TRUE(ReadAll("#!AMR\n\x7c\x7c", AudioHints{"AMR", 8000, 0}).read); // two "no data" frames
}
