// What the service reads of the cloud's replies beyond recognition: the token
// endpoints', Cloud Storage's and the long-running operations'.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/CloudJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string token;
    int expiresIn = 0;
    CloudJson::ReadToken(reply, token, expiresIn);
    CloudJson::ReadUploaded(reply, "0123456789abcdef0123456789abcdef");
    CloudJson::Operation operation;
    CloudJson::ReadOperation(reply, operation);
    return 0;
}
