// s2t-cloud-emulator: a local stand-in for Google's speech:recognize and
// documents:analyzeSentiment REST methods, doing the work with pocketsphinx
// and the AFINN-165 word list.
#include "Emulator.h"
#include "Options.h"

#include <event2/event.h>
#include <event2/thread.h>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    Options options = defaultOptions();
    if (!parseOptions(argc, argv, options))
        return 2;
    if (options.help) {
        printUsage(argv[0]);
        return 0;
    }
    // Line-buffered so a parent reading the pipe sees each line as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A client that hangs up before its answer must not kill the emulator.
    std::signal(SIGPIPE, SIG_IGN);
    // Workers wake the loop from their own threads.
    if (evthread_use_pthreads() != 0) {
        std::fprintf(stderr, "s2t-cloud-emulator: libevent has no thread support\n");
        return 1;
    }
    bool ok = false;
    {
        Emulator emulator(options);
        ok = emulator.start() && emulator.run();
    }
    libevent_global_shutdown();
    return ok ? 0 : 1;
}
