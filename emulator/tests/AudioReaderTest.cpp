#include "AudioReader.h"
#include "TestAudio.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Normalised correlation of the overlapping part: near 1 when b is a
// (scaled) copy of a, near 0 for unrelated or shifted audio.
double correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    const size_t n = std::min(a.size(), b.size());
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

struct ReadResult {
    bool opened = false;
    bool read = false;
    double seconds = 0;
    std::vector<int16_t> samples;
    std::string error;
};

ReadResult readAll(const std::string& bytes, const AudioHints& hints = {})
{
    ReadResult r;
    AudioReader reader;
    r.opened = reader.open(bytes, hints, r.error);
    if (r.opened) {
        r.seconds = reader.seconds();
        r.read = reader.readMono16k(r.samples, r.error);
    }
    return r;
}

} // namespace

TEST(AudioReader, LosslessFormatsAtSixteenKilohertzComeBackExactly)
{
    const std::vector<int16_t> speech = goForwardSamples();
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}) {
        const ReadResult r = readAll(encodeAudio(speech, format, 16000));
        ASSERT_TRUE(r.read) << r.error;
        EXPECT_EQ(r.samples, speech);
        EXPECT_NEAR(r.seconds, speech.size() / 16000.0, 1e-6);
    }
}

TEST(AudioReader, OtherRatesAndChannelsBecomeSixteenKilohertzMono)
{
    const std::vector<int16_t> speech = goForwardSamples();
    struct Case {
        int format, rate, channels;
    } cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1},
    };
    for (const Case& c : cases) {
        const ReadResult r = readAll(encodeAudio(speech, c.format, c.rate, c.channels));
        ASSERT_TRUE(r.read) << r.error;
        EXPECT_NEAR(double(r.samples.size()), double(speech.size()), 16.0) << c.rate;
        EXPECT_NEAR(r.seconds, speech.size() / 16000.0, 0.01) << c.rate;
        // 8 kHz keeps only the band below 4 kHz, so it matches less closely.
        EXPECT_GT(correlation(r.samples, speech), c.rate == 8000 ? 0.8 : 0.95) << c.rate;
    }
}

TEST(AudioReader, MixingAveragesTheChannels)
{
    const std::vector<int16_t> speech = goForwardSamples();
    const ReadResult r = readAll(encodeAudio(speech, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 2));
    ASSERT_TRUE(r.read) << r.error;
    ASSERT_EQ(r.samples.size(), speech.size());
    for (size_t i = 0; i < speech.size(); i += 997)
        EXPECT_NEAR(r.samples[i], speech[i] / 2.0, 1.0) << i;
}

TEST(AudioReader, HeaderlessAudioNeedsEncodingAndRate)
{
    const std::vector<int16_t> speech = goForwardSamples();
    const std::string raw = readFileBytes(testDataPath("goforward.raw"));

    EXPECT_FALSE(readAll(raw).opened);
    ReadResult noRate = readAll(raw, AudioHints{"LINEAR16", 0, 0});
    EXPECT_FALSE(noRate.opened);
    EXPECT_NE(noRate.error.find("sample_rate_hertz"), std::string::npos) << noRate.error;

    const ReadResult r = readAll(raw, AudioHints{"LINEAR16", 16000, 1});
    ASSERT_TRUE(r.read) << r.error;
    EXPECT_EQ(r.samples, speech);
}

TEST(AudioReader, RefusesBytesThatAreNoRecording)
{
    const std::string truncatedWav("RIFF\x10\0\0\0WAVEfmt ", 16);
    for (const std::string& bytes : {std::string("just some text, not audio"), truncatedWav}) {
        const ReadResult r = readAll(bytes);
        EXPECT_FALSE(r.opened && r.read);
        EXPECT_FALSE(r.error.empty());
    }
}
