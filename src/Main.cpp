#include <malloc.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "S2tServer.h"

namespace
{
const char* const kVersion = S2T_VERSION;
}

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
    // requests have stopped coming (S2tServer's trim timer).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    // The trace is written in blocks; the event loop flushes it after every pass,
    // so operators and log collectors still see each request as it happens. The
    // buffer is ours: given none, glibc ignores the size and buffers 4 kB. It is
    // static because stdout is flushed for the last time after main returns.
    static char trace[1 << 20];
    setvbuf(stdout, trace, _IOFBF, sizeof trace);

    std::string configPath = "brivel.json";
    if (argc > 1)
        configPath = argv[1];
    printf("Starting S2T server version [%s] config file [%s]\n", kVersion, configPath.c_str());

    int result = -1;
    S2tServer server("S2t", false);
    if (server.Create(configPath))
    {
        server.RunEventLoop();
        server.Destroy();
        result = 0;
    }
    else
    {
        puts("Failed to create service");
    }
    return result;
}
