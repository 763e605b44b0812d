#include "TestAudio.h"

#include <openssl/evp.h>
#include <samplerate.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string testDataPath(const std::string& name)
{
    return std::string(S2T_TESTDATA_DIR) + "/" + name;
}

std::string readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<int16_t> goForwardSamples()
{
    const std::string bytes = readFileBytes(testDataPath("goforward.raw"));
    std::vector<int16_t> samples(bytes.size() / 2);
    std::copy(bytes.data(), bytes.data() + samples.size() * 2, reinterpret_cast<char*>(samples.data()));
    return samples;
}

namespace {

std::vector<float> resampled(const std::vector<int16_t>& samples16k, int rate)
{
    std::vector<float> in(samples16k.size());
    src_short_to_float_array(samples16k.data(), in.data(), static_cast<int>(in.size()));
    if (rate == 16000)
        return in;
    const double ratio = rate / 16000.0;
    std::vector<float> out(static_cast<size_t>(in.size() * ratio) + 16);
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    src_simple(&data, SRC_SINC_FASTEST, 1);
    out.resize(static_cast<size_t>(data.output_frames_gen));
    return out;
}

} // namespace

std::string encodeAudio(const std::vector<int16_t>& samples16k, int format, int rate, int channels)
{
    const std::vector<float> mono = resampled(samples16k, rate);
    std::vector<float> frames(mono.size() * static_cast<size_t>(channels), 0.0f);
    for (size_t i = 0; i < mono.size(); ++i)
        frames[i * static_cast<size_t>(channels)] = mono[i];
    char path[] = "/tmp/s2t-emulator-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "";
    close(fd);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    if (file) {
        sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
        sf_close(file);
    }
    std::string bytes = file ? readFileBytes(path) : "";
    unlink(path);
    return bytes;
}

std::string silentWav(double seconds)
{
    return encodeAudio(std::vector<int16_t>(static_cast<size_t>(seconds * 16000), 0),
                       SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000);
}

std::string base64(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string recognizeBody(const std::string& audio, const std::string& languageCode,
                          const std::string& extraConfig)
{
    std::string config = "\"languageCode\":\"" + languageCode + "\"";
    if (!extraConfig.empty())
        config += "," + extraConfig;
    return "{\"config\":{" + config + "},\"audio\":{\"content\":\"" + base64(audio) + "\"}}";
}
