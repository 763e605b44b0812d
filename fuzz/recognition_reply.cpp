// The speech service's reply, as the recognition call reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "GcClient.h"

namespace
{
struct ReplyReader : GcClient::GcRequest
{
    using GcRequest::ParseTranscribeResults;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string language;
    std::string text;
    ReplyReader::ParseTranscribeResults(std::string(reinterpret_cast<const char*>(data), size), language, text);
    return 0;
}
