// The emulator's request readers: the first byte picks the method (odd: speech, 0:
// sentiment, 2: a storage upload as multipart/related), the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "SentimentAnalyzer.h"
#include "SentimentMethod.h"
#include "SpeechMethod.h"
#include "StorageMethod.h"

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
    else if (data[0] & 2)
    {
        Storage storage({"audio"}, 1 << 20);
        StorageMethod::Answer(storage, StorageCall{"POST", "/upload/storage/v1/b/audio/o", "uploadType=multipart",
                                                   "multipart/related; boundary=b", body});
    }
    else
    {
        std::string reply;
        SentimentMethod(Analyzer()).Answer(body, reply);
    }
    return 0;
}
