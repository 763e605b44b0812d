// The configuration file, through the reader the service starts with.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Config.h"

namespace
{
// The file every input is written to, made once per process.
const std::string& ScratchFile()
{
    static const std::string path = [] {
        char name[] = "/tmp/s2t-fuzz-config-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        return std::string(name);
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The loader reports a bad file on stdout; the fuzzer's own output is on stderr.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    atexit([] { unlink(ScratchFile().c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fopen(ScratchFile().c_str(), "wb");
    if (file == nullptr)
        return 0;
    fwrite(data, 1, size, file);
    fclose(file);
    Config config;
    ReadConfig(ScratchFile(), config);
    return 0;
}
