// A request head as a caller sends it, cut into lines as a connection cuts it: any
// bytes must be judged (served, or refused with a status), never crash or leak.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <event2/buffer.h>

#include "inbound/RequestPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    evbuffer* pInput = evbuffer_new();
    evbuffer_add(pInput, data, size);
    RequestHead head;
    bool done = false;
    while (!done)
    {
        size_t length = 0;
        char* pLine = evbuffer_readln(pInput, &length, EVBUFFER_EOL_CRLF);
        if (pLine == nullptr)
            break;
        done = head.TakeLine(std::string(pLine, length));
        free(pLine);
    }
    evbuffer_free(pInput);
    PolicySettings settings;
    settings.clientAuthToken = "client";
    settings.metricsAuthToken = "metrics";
    const int64_t kMaxBody = 1 << 20;
    const RequestPolicy policy(settings, kMaxBody);
    const Decision early = policy.BeforeBody(head);
    policy.Decide(head, Metrics::Endpoint::Transcribe, Situation());
    // A head let through must never declare a body over the bound, nor one libevent cannot frame.
    if (done && early.Served() && (head.ContentLength() > kMaxBody || RequestPolicy::FramingFault(head) != nullptr))
        abort();
    head.Path();
    return 0;
}
