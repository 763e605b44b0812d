// The emulator's two request readers: the first byte picks the method, the rest is
// the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "SentimentAnalyzer.h"
#include "SentimentMethod.h"
#include "SpeechMethod.h"

namespace
{
const SentimentAnalyzer& Analyzer()
{
    static const SentimentAnalyzer analyzer = [] {
        SentimentAnalyzer loaded;
        loaded.Load(S2T_EMULATOR_WORD_LIST);
        return loaded;
    }();
    return analyzer;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
    {
        RecognitionJob job;
        SpeechMethod::Parse(body, job);
    }
    else
    {
        std::string reply;
        SentimentMethod(Analyzer()).Answer(body, reply);
    }
    return 0;
}
