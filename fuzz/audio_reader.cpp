// Recordings as callers send them: any bytes, with or without the hints of a
// headerless encoding (picked by the first byte).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    AudioHints hints;
    if (data[0] & 1)
        hints =
            AudioHints{(data[0] & 2) ? "MULAW" : "LINEAR16", 8000 * (1 + (data[0] >> 2) % 6), 1 + (data[0] >> 5) % 2};
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    AudioReader reader;
    std::string error;
    std::vector<int16_t> samples;
    if (reader.open(bytes, hints, error) && reader.seconds() < 5)
        reader.readMono16k(samples, error);
    return 0;
}
