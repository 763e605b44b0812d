#include <malloc.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "S2tServer.h"
#include "base/Trace.h"

namespace
{
const char* const kVersion = S2T_VERSION;

int Serve(const std::string& configPath)
{
    S2tServer server("S2t", false);
    if (!server.Create(configPath))
    {
        Trace::Print("Failed to create service\n");
        return -1;
    }
    server.RunEventLoop();
    server.Destroy();
    return 0;
}
} // namespace

int main(int argc, char* argv[])
{
    // A write to a caller that has gone away must fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    // Every caller holds a descriptor, and every cloud call one more: take all the
    // system allows, not the customary soft limit of 1024.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max)
    {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Each request allocates and frees buffers the size of its body. Kept in the
    // heap, they are reused by the next request instead of being mapped, faulted in
    // and unmapped each time; the service gives the memory back once large
    // requests have stopped coming (the listener's trim).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);

    std::string configPath = "brivel.json";
    if (argc > 1)
        configPath = argv[1];
    Trace::Print("Starting S2T server version [%s] config file [%s]\n", kVersion, configPath.c_str());
    const int result = Serve(configPath);
    // A reader that never reads must not keep the process from ending.
    Trace::Finish();
    return result;
}
