// What the service reads from the head of a recording: its format, and its length
// where the header or the frame size tells it.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "cloud/Recording.h"

namespace
{

std::string Base64(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    return text;
}

std::string Le(uint32_t value, int bytes)
{
    std::string text;
    for (int i = 0; i < bytes; ++i)
        text += static_cast<char>(value >> (8 * i) & 0xFF);
    return text;
}

// A WAV file whose header says `declared` bytes of audio at 8000 bytes a second,
// with `present` of them there, after a chunk the reader must step over.
std::string Wav(uint32_t declared, size_t present)
{
    return "RIFF" + Le(36 + declared, 4) + "WAVEfmt " + Le(16, 4) + Le(7, 2) + Le(1, 2) + Le(8000, 4) + Le(8000, 4) +
           Le(1, 2) + Le(8, 2) + "LIST" + Le(3, 4) + "abc" + std::string(1, '\0') + "data" + Le(declared, 4) +
           std::string(present, '\xFF');
}

// A FLAC STREAMINFO block for `samples` samples at 16 kHz.
std::string Flac(uint64_t samples)
{
    std::string info(18, '\0');
    info[10] = 0x03, info[11] = static_cast<char>(0xE8), info[12] = 0x00; // 16000 << 4
    info[13] = static_cast<char>(samples >> 32 & 0x0F);
    for (int i = 0; i < 4; ++i)
        info[14 + i] = static_cast<char>(samples >> (24 - 8 * i) & 0xFF);
    return std::string("fLaC") + '\0' + std::string("\0\0\x22", 3) + info + std::string(16, '\0');
}

// `count` frames of `size` bytes, each starting with `header`.
std::string Frames(size_t count, char header, size_t size)
{
    std::string frames;
    for (size_t i = 0; i < count; ++i)
        frames += header + std::string(size - 1, '\0');
    return frames;
}

TEST(Recording, KnowsFormatAndLengthFromTheHeadOnly)
{
    using Format = Recording::Format;
    const struct
    {
        std::string base64;
        Format format;
        double seconds;
    } cases[] = {
        {Base64(Wav(8000 * 70, 8000 * 70)), Format::Wav, 70},
        // A header written before the length was known counts only what is there.
        {Base64(Wav(0xFFFFFFFF, 8000 * 3)), Format::Wav, 3},
        {Base64(Wav(8000 * 70, 100)).substr(0, 40), Format::Wav, -1},
        {Base64("#!AMR\n" + std::string(3000, '\x3C')), Format::Amr, 3000 / 32 * 0.02}, // 12.2 kbit/s frames
        {Base64("#!AMR\n" + std::string(100, '\x04')), Format::Amr, 100 / 13 * 0.02},   // 4.75 kbit/s frames
        {Base64("#!AMR\n" + std::string(100, '\x4C')), Format::Amr, -1},                // a frame type with no size
        // Silence (DTX): speech, SID and no-data frames, each 20 ms at its own size; a cut last frame is not counted.
        {Base64("#!AMR\n" + Frames(40000, '\x3C', 32) + Frames(20000, '\x44', 6) + Frames(30000, '\x7C', 1) + "\x3C"),
         Format::Amr, 90000 * 0.02},
        {Base64("#!AMR-WB\n" + Frames(3000, '\x44', 61) + Frames(3000, '\x4C', 6) + Frames(3000, '\x7C', 1)),
         Format::AmrWb, 9000 * 0.02},
        {Base64("#!AMR-WB\n" + std::string(6100, '\x44')), Format::AmrWb, 100 * 0.02}, // 23.85 kbit/s frames
        {Base64("#!AMR\n"), Format::Amr, 0},
        {Base64(Flac(16000 * 75)), Format::Flac, 75},
        {Base64(Flac(uint64_t(1) << 35)), Format::Flac, double(uint64_t(1) << 35) / 16000},
        {Base64(Flac(0)), Format::Flac, -1},
        {Base64("OggS" + std::string(100, 'x')), Format::Unknown, -1},
        {"UklGR", Format::Unknown, -1},
        {"not base64 at all!", Format::Unknown, -1},
        {"", Format::Unknown, -1},
    };
    for (const auto& c : cases)
    {
        const Recording recording = Recording::Inspect(c.base64);
        EXPECT_EQ(recording.format, c.format) << c.base64.substr(0, 40);
        EXPECT_DOUBLE_EQ(recording.seconds, c.seconds) << c.base64.substr(0, 40);
    }
}

} // namespace
