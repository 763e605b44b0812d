// Recordings as callers send them: any bytes, with or without an encoding, rate
// and channel count (picked by the first byte: AMR's rates are 8000 and 16000).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const kEncodings[] = {"LINEAR16", "MULAW", "AMR", "AMR_WB"};
    if (size == 0)
        return 0;
    AudioHints hints;
    if (data[0] & 1)
        hints = AudioHints{kEncodings[(data[0] >> 1) & 3], 8000 * (1 + (data[0] >> 3) % 6), 1 + (data[0] >> 6) % 2};
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    AudioReader reader;
    std::string error;
    std::vector<int16_t> samples;
    if (reader.Open(bytes, hints, error) && reader.Seconds() < 5)
        reader.ReadMono16k(samples, error);
    return 0;
}
