#include "Recording.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <openssl/evp.h>

namespace
{

// Enough for any header this reads: 6 KiB of audio.
const size_t kHeadCharacters = 8192;
const double kAmrFrameSeconds = 0.02;
// Bytes of an AMR storage-format frame, its header byte included, by frame type
// (RFC 4867 section 5.3; 0: a type that carries no frame size worth counting).
const size_t kAmrNbFrameBytes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
const size_t kAmrWbFrameBytes[16] = {18, 24, 33, 37, 41, 47, 51, 59, 61, 6, 0, 0, 0, 0, 1, 1};

uint32_t LittleEndian(const unsigned char* p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

// What the whole text decodes to, from its length and padding alone.
size_t DecodedSize(const std::string& base64)
{
    const size_t padding = base64.size() >= 2 ? std::count(base64.end() - 2, base64.end(), '=') : 0;
    return base64.size() / 4 * 3 + (base64.size() % 4 == 0 ? 0 : base64.size() % 4 - 1) - padding;
}

// The first bytes of the audio, or none when the text does not start as base64.
std::vector<unsigned char> DecodeHead(const std::string& base64)
{
    std::string head = base64.substr(0, std::min(base64.size(), kHeadCharacters));
    head.resize((head.size() + 3) / 4 * 4, '=');
    std::vector<unsigned char> bytes(head.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(head.data()),
                                        static_cast<int>(head.size()));
    bytes.resize(decoded > 0 ? static_cast<size_t>(decoded) : 0);
    return bytes;
}

// Every frame of an AMR file counts, at its own size: voicemail holds silence and
// no-data frames (DTX) far smaller than speech ones, each still 20 ms. The whole text
// is decoded a block at a time, never kept. A file that ends inside a frame counts
// its whole frames; one with a frame type the format does not allow, no length.
double AmrSeconds(const std::string& base64, size_t magic, const size_t* frameBytes)
{
    const size_t kBlock = 4096; // characters of base64, 3072 bytes
    unsigned char bytes[kBlock / 4 * 3];
    size_t skip = magic; // bytes before the next frame's header, from the block's start
    size_t frames = 0;
    for (size_t at = 0; at < base64.size(); at += kBlock)
    {
        const size_t length = std::min(kBlock, base64.size() - at);
        int decoded = length % 4 == 0 ? EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(&base64[at]),
                                                        static_cast<int>(length))
                                      : -1;
        if (decoded < 0)
            return -1;
        if (at + length == base64.size())
            decoded -= static_cast<int>(std::count(base64.end() - std::min<size_t>(2, length), base64.end(), '='));
        size_t position = skip;
        for (; position < static_cast<size_t>(decoded); ++frames)
        {
            const size_t size = frameBytes[bytes[position] >> 3 & 0x0F];
            if (size == 0)
                return -1;
            position += size;
        }
        skip = position - static_cast<size_t>(decoded);
    }
    return static_cast<double>(frames - (skip > 0 && frames > 0 ? 1 : 0)) * kAmrFrameSeconds;
}

double WavSeconds(const std::vector<unsigned char>& head, size_t total)
{
    uint32_t byteRate = 0;
    for (size_t at = 12; at + 8 <= head.size();)
    {
        const uint32_t size = LittleEndian(&head[at + 4], 4);
        if (memcmp(&head[at], "fmt ", 4) == 0 && at + 20 <= head.size())
            byteRate = LittleEndian(&head[at + 16], 4);
        if (memcmp(&head[at], "data", 4) == 0)
        {
            // A header written before the length was known says more than is there.
            const size_t available = total > at + 8 ? total - at - 8 : 0;
            return byteRate > 0 ? static_cast<double>(std::min<size_t>(size, available)) / byteRate : -1;
        }
        at += 8 + size + (size & 1);
    }
    return -1;
}

double FlacSeconds(const std::vector<unsigned char>& head)
{
    // STREAMINFO, the first metadata block: 20 bits of sample rate from its 11th
    // byte, then channels and sample size, then 36 bits of total samples.
    if (head.size() < 4 + 4 + 18 || (head[4] & 0x7F) != 0)
        return -1;
    const unsigned char* info = &head[8];
    const uint32_t rate = info[10] << 12 | info[11] << 4 | info[12] >> 4;
    uint64_t samples = info[13] & 0x0F;
    for (int i = 14; i < 18; ++i)
        samples = samples << 8 | info[i];
    return rate > 0 && samples > 0 ? static_cast<double>(samples) / rate : -1;
}

bool StartsWith(const std::vector<unsigned char>& head, const char* magic)
{
    const size_t length = strlen(magic);
    return head.size() >= length && memcmp(head.data(), magic, length) == 0;
}

} // namespace

Recording Recording::Inspect(const std::string& base64)
{
    Recording recording;
    const std::vector<unsigned char> head = DecodeHead(base64);
    const size_t total = DecodedSize(base64);
    if (StartsWith(head, "#!AMR-WB\n"))
    {
        recording.format = Format::AmrWb;
        recording.seconds = AmrSeconds(base64, 9, kAmrWbFrameBytes);
    }
    else if (StartsWith(head, "#!AMR\n"))
    {
        recording.format = Format::Amr;
        recording.seconds = AmrSeconds(base64, 6, kAmrNbFrameBytes);
    }
    else if (StartsWith(head, "RIFF") && head.size() >= 12 && memcmp(&head[8], "WAVE", 4) == 0)
    {
        recording.format = Format::Wav;
        recording.seconds = WavSeconds(head, total);
    }
    else if (StartsWith(head, "fLaC"))
    {
        recording.format = Format::Flac;
        recording.seconds = FlacSeconds(head);
    }
    return recording;
}
