// The speech service's reply, as the recognition call reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/CloudJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string language;
    std::string text;
    CloudJson::ParseTranscribeResults(std::string(reinterpret_cast<const char*>(data), size), language, text);
    return 0;
}
