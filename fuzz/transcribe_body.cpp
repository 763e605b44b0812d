// The transcription body as a caller sends it: any bytes must be read or refused,
// never crash or leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/S2tServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string body(reinterpret_cast<const char*>(data), size);
    Transcription::Parameters parameters;
    S2tServer::ParseTranscribeRequestData(body, parameters);
    return 0;
}
