// s2t-cloud-emulator: a local stand-in for Google's speech:recognize,
// speech:longrunningrecognize and documents:analyzeSentiment REST methods, doing
// the work with pocketsphinx and the AFINN-165 word list, and for the Cloud Storage
// objects and OAuth tokens that go with them.
#include "Complain.h"
#include "Emulator.h"
#include "Storage.h"
#include "Trace.h"

#include <event2/event.h>
#include <event2/thread.h>
#include <getopt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <thread>

#ifndef S2T_EMULATOR_MODEL_DIR
#define S2T_EMULATOR_MODEL_DIR "/usr/share/pocketsphinx/model/en-us"
#endif
#ifndef S2T_EMULATOR_INSTALLED_WORD_LIST
#define S2T_EMULATOR_INSTALLED_WORD_LIST "/usr/share/s2t-cloud-emulator/afinn-165.json"
#endif
#ifndef S2T_EMULATOR_BUILD_WORD_LIST
#define S2T_EMULATOR_BUILD_WORD_LIST "afinn-165.json"
#endif

namespace
{

enum OptionId
{
    kAddress = 1000,
    kPort,
    kPrefix,
    kApiKey,
    kWorkers,
    kQueue,
    kOperations,
    kOperationSeconds,
    kTranscript,
    kHmm,
    kLm,
    kDict,
    kWordList,
    kTimeout,
    kCredentials,
    kTokenSeconds,
    kBucket,
    kStorageBytes,
    kFail
};

const option kLongOptions[] = {
    {"address", required_argument, nullptr, kAddress},
    {"port", required_argument, nullptr, kPort},
    {"prefix", required_argument, nullptr, kPrefix},
    {"api-key", required_argument, nullptr, kApiKey},
    {"workers", required_argument, nullptr, kWorkers},
    {"queue", required_argument, nullptr, kQueue},
    {"operations", required_argument, nullptr, kOperations},
    {"operation-seconds", required_argument, nullptr, kOperationSeconds},
    {"transcript", required_argument, nullptr, kTranscript},
    {"hmm", required_argument, nullptr, kHmm},
    {"lm", required_argument, nullptr, kLm},
    {"dict", required_argument, nullptr, kDict},
    {"word-list", required_argument, nullptr, kWordList},
    {"timeout", required_argument, nullptr, kTimeout},
    {"credentials", required_argument, nullptr, kCredentials},
    {"token-seconds", required_argument, nullptr, kTokenSeconds},
    {"bucket", required_argument, nullptr, kBucket},
    {"storage-bytes", required_argument, nullptr, kStorageBytes},
    {"fail", required_argument, nullptr, kFail},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool ParseInt(const char* text, int low, int high, const char* name, int& out)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < low || value > high)
    {
        Complain("--%s wants a number from %d to %d, not \"%s\"", name, low, high, text);
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// "v1/", "/v1/" and "/v1" all mean "/v1".
std::string NormalizePrefix(std::string prefix)
{
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (!prefix.empty() && prefix.front() != '/')
        prefix.insert(prefix.begin(), '/');
    return prefix;
}

Options DefaultOptions()
{
    Options o;
    const std::string dir = S2T_EMULATOR_MODEL_DIR;
    o.models = ModelPaths{dir + "/en-us", dir + "/en-us.lm.bin", dir + "/cmudict-en-us.dict"};
    // An installed emulator reads the installed list; one run from a build, the build's copy.
    o.wordList = access(S2T_EMULATOR_INSTALLED_WORD_LIST, R_OK) == 0 ? S2T_EMULATOR_INSTALLED_WORD_LIST
                                                                     : S2T_EMULATOR_BUILD_WORD_LIST;
    const unsigned cores = std::thread::hardware_concurrency();
    o.workers = cores == 0 ? 2 : static_cast<int>(cores > 8 ? 8 : cores);
    return o;
}

// The numeric options: the range each is taken in, and where it is kept.
struct NumericOption
{
    int id;
    int low, high;
    int Options::*field;
};
const NumericOption kNumericOptions[] = {
    {kPort, 0, 65535, &Options::port},
    {kWorkers, 1, 64, &Options::workers},
    {kQueue, 0, 100000, &Options::queue},
    {kOperations, 0, 1000000, &Options::operations},
    {kOperationSeconds, 0, 30 * 24 * 3600, &Options::operationSeconds},
    {kTimeout, 1, 3600, &Options::timeoutSeconds},
    {kTokenSeconds, 1, 24 * 3600, &Options::tokenSeconds},
};

const NumericOption* FindNumericOption(int id)
{
    for (const NumericOption& numeric : kNumericOptions)
        if (numeric.id == id)
            return &numeric;
    return nullptr;
}

bool ParseBytes(const char* text, size_t& out)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(*text)) || *end || value > (1ull << 40))
    {
        Complain("--storage-bytes wants a number of bytes up to 2^40, not \"%s\"", text);
        return false;
    }
    out = static_cast<size_t>(value);
    return true;
}

bool AddBucket(const char* name, Options& o)
{
    if (!IsBucketName(name))
    {
        Complain("--bucket \"%s\" is not a bucket name (3 to 63 of a-z, 0-9, -, _ and .)", name);
        return false;
    }
    o.buckets.push_back(name);
    return true;
}

bool AddFault(const char* text, Options& o)
{
    FaultRule rule;
    std::string why;
    if (!Faults::Parse(text, rule, why))
    {
        Complain("--fail \"%s\" %s", text, why.c_str());
        return false;
    }
    o.faults.push_back(rule);
    return true;
}

// The options that are not numbers in a range; false when the value is refused.
bool TakeOption(int id, Options& o)
{
    switch (id)
    {
    case kAddress:
        o.address = optarg;
        break;
    case kPrefix:
        o.prefix = NormalizePrefix(optarg);
        break;
    case kApiKey:
        o.apiKey = optarg;
        break;
    case kTranscript:
        o.transcript = optarg;
        break;
    case kHmm:
        o.models.hmm = optarg;
        break;
    case kLm:
        o.models.lm = optarg;
        break;
    case kDict:
        o.models.dict = optarg;
        break;
    case kWordList:
        o.wordList = optarg;
        break;
    case kCredentials:
        o.credentials = optarg;
        break;
    case kBucket:
        return AddBucket(optarg, o);
    case kStorageBytes:
        return ParseBytes(optarg, o.storageBytes);
    case kFail:
        return AddFault(optarg, o);
    case 'h':
        o.help = true;
        break;
    default:
        return false; // getopt_long has said what was wrong
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    optind = 1;
    for (;;)
    {
        int index = 0;
        const int id = getopt_long(argc, argv, "h", kLongOptions, &index);
        if (id == -1)
            break;
        if (const NumericOption* numeric = FindNumericOption(id))
        {
            if (!ParseInt(optarg, numeric->low, numeric->high, kLongOptions[index].name, o.*numeric->field))
                return false;
            continue;
        }
        if (!TakeOption(id, o))
            return false;
    }
    if (optind < argc)
    {
        Complain("unexpected argument \"%s\" (see --help)", argv[optind]);
        return false;
    }
    // Cloud Storage takes OAuth tokens only: without an account to issue them for, no
    // bucket could be used.
    if (!o.buckets.empty() && !o.credentials)
    {
        Complain("--bucket needs --credentials: Cloud Storage takes no API key, only OAuth access tokens");
        return false;
    }
    return true;
}

void PrintUsage(const char* program)
{
    const Options d = DefaultOptions();
    Trace::Print("Usage: %s [options]\n"
                 "Answers POST <prefix>/speech:recognize, POST <prefix>/speech:longrunningrecognize with\n"
                 "GET <prefix>/operations/NAME, and POST <prefix>/documents:analyzeSentiment as Google's\n"
                 "REST interfaces do, recognising with pocketsphinx and scoring with AFINN-165; with\n"
                 "--credentials also POST /token, GET /computeMetadata/v1/instance/service-accounts/default/token\n"
                 "and Cloud Storage objects (/upload/storage/v1/b/BUCKET/o, /storage/v1/b/BUCKET/o/OBJECT).\n"
                 "\n"
                 "  --address ADDR     address to listen on (default %s)\n"
                 "  --port N           port to listen on, 0 for any free one (default %d)\n"
                 "  --prefix PATH      path before the method, such as /v1 (default none)\n"
                 "  --api-key KEY      refuse requests without ?key=KEY (default: no key check)\n"
                 "  --credentials FILE a service account's key file: tokens for its signed assertions,\n"
                 "                     and every call needs one (default: none)\n"
                 "  --token-seconds S  lifetime of a token (default %d)\n"
                 "  --bucket NAME      a Cloud Storage bucket, held in memory (repeatable; needs --credentials)\n"
                 "  --storage-bytes N  bytes all buckets hold at most; more get 503 (default %zu)\n"
                 "  --workers N        recognition threads, each with its own model (default %d)\n"
                 "  --queue N          recognitions that may wait for a worker; more get 429 (default %d)\n"
                 "  --operations N     finished long-running operations kept for GET (default %d)\n"
                 "  --operation-seconds S  how long a finished one is kept (default %d)\n"
                 "  --transcript TEXT  answer every recognition with TEXT, without decoding\n"
                 "  --timeout SECONDS  close a connection idle or stalled this long (default %d)\n"
                 "  --fail METHOD:N:CODE  answer every Nth call of METHOD with CODE (%s) in Google's\n"
                 "                     shape, to watch a client's retries (repeatable); METHOD is one of\n"
                 "                     %s\n"
                 "  --hmm DIR          acoustic model (default %s)\n"
                 "  --lm FILE          language model (default %s)\n"
                 "  --dict FILE        pronunciation dictionary (default %s)\n"
                 "  --word-list FILE   AFINN-165 index.json (default %s)\n"
                 "  -h, --help         show this help\n"
                 "\n"
                 "Prints \"listening on ADDR:PORT\" once ready, then one line per request.\n",
                 program, d.address.c_str(), d.port, d.tokenSeconds, d.storageBytes, d.workers, d.queue, d.operations,
                 d.operationSeconds, d.timeoutSeconds, Faults::kCodes, Faults::kMethods, d.models.hmm.c_str(),
                 d.models.lm.c_str(), d.models.dict.c_str(), d.wordList.c_str());
}

// Takes what the emulator needs of the process and runs it: the exit status.
int Serve(const Options& options)
{
    // Each client holds a descriptor: take all the system allows.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max)
    {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // A client that hangs up before its answer must not kill the emulator.
    std::signal(SIGPIPE, SIG_IGN);
    // Workers wake the loop from their own threads.
    if (evthread_use_pthreads() != 0)
    {
        Complain("libevent has no thread support");
        return 1;
    }
    Emulator emulator(options);
    return emulator.Start() && emulator.Run() ? 0 : 1;
}

int Main(int argc, char** argv)
{
    Options options = DefaultOptions();
    if (!ParseOptions(argc, argv, options))
        return 2;
    if (options.help)
    {
        PrintUsage(argv[0]);
        return 0;
    }
    return Serve(options);
}

} // namespace

int main(int argc, char** argv)
{
    const int status = Main(argc, argv);
    // What the trace still holds; a reader that never reads must not keep the emulator from ending.
    Trace::Finish();
    libevent_global_shutdown();
    return status;
}
