#include <malloc.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "S2tServer.h"
#include "base/Trace.h"

namespace
{
const char* const kVersion = S2T_VERSION;
// Exit statuses: a start-up that may pass when tried again (sysexits' EX_TEMPFAIL),
// and one that will not until the configuration changes.
const int kTryAgain = 75;
const int kUnusable = 255;

const char* const kUsage =
    "Usage: s2t-server [CONFIG]              serve, with the settings in CONFIG (default brivel.json)\n"
    "       s2t-server --check-config [CONFIG] check CONFIG and its files, then exit: 0 usable, 255 not\n"
    "       s2t-server --help | --version\n"
    "Exit status: 0 after a stop, 75 when the address could not be bound yet (in use, or its\n"
    "name not resolvable): trying again may succeed; 255 for a configuration it cannot use.\n";

int Serve(const std::string& configPath)
{
    S2tServer server("S2t", false);
    if (!server.Create(configPath))
    {
        Trace::Print("Failed to create service\n");
        return server.MayStartLater() ? kTryAgain : kUnusable;
    }
    server.RunEventLoop();
    server.Destroy();
    return 0;
}

int Check(const std::string& configPath)
{
    S2tServer server("S2t", false);
    const bool usable = server.Create(configPath, true);
    Trace::Print("Configuration [%s] %s\n", configPath.c_str(), usable ? "is usable" : "cannot be used");
    return usable ? 0 : kUnusable;
}

int Run(int argc, char* argv[])
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h")
    {
        Trace::Print("%s", kUsage);
        return 0;
    }
    if (first == "--version")
    {
        Trace::Print("s2t-server %s\n", kVersion);
        return 0;
    }
    const bool check = first == "--check-config";
    const int pathAt = check ? 2 : 1;
    if ((first.rfind("--", 0) == 0 && !check) || argc > pathAt + 1)
    {
        Trace::Print("Unknown arguments: see s2t-server --help\n%s", kUsage);
        return kUnusable;
    }
    const std::string configPath = argc > pathAt ? argv[pathAt] : "brivel.json";
    if (check)
        return Check(configPath);
    Trace::Print("Starting S2T server version [%s] config file [%s]\n", kVersion, configPath.c_str());
    return Serve(configPath);
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

    const int result = Run(argc, argv);
    // A reader that never reads must not keep the process from ending.
    Trace::Finish();
    return result;
}
