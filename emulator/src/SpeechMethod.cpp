#include "SpeechMethod.h"

#include <openssl/evp.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <tuple>
#include <vector>

namespace
{

bool IsBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// EVP_DecodeBlock wants whole 4-character groups and does not reject '='
// inside the text, so the text is checked and padded here first.
bool Normalize(std::string_view text, std::string& clean, int& padding)
{
    clean.reserve(text.size() + 3);
    padding = 0;
    for (char c : text)
    {
        if (IsSpace(c))
            continue;
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        if (c == '=')
        {
            ++padding;
            continue;
        }
        if (!IsBase64Char(c) || padding > 0)
            return false;
        clean.push_back(c);
    }
    const size_t tail = clean.size() % 4;
    if (tail == 1 || padding > 2 || (padding > 0 && (tail + padding) % 4 != 0))
        return false;
    padding = tail == 0 ? 0 : static_cast<int>(4 - tail);
    clean.append(static_cast<size_t>(padding), '=');
    return true;
}

} // namespace

bool DecodeBase64(std::string_view text, std::string& out)
{
    std::string clean;
    int padding = 0;
    if (!Normalize(text, clean, padding))
        return false;
    out.resize(clean.size() / 4 * 3);
    if (clean.empty())
        return true;
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0)
        return false;
    out.resize(static_cast<size_t>(n - padding));
    return true;
}

namespace
{

const char* const kEncodings[] = {
    "ENCODING_UNSPECIFIED",   "LINEAR16", "FLAC",     "MULAW", "AMR", "AMR_WB", "OGG_OPUS",
    "SPEEX_WITH_HEADER_BYTE", "MP3",      "WEBM_OPUS"};

const int kEncodingCount = static_cast<int>(sizeof kEncodings / sizeof kEncodings[0]);

// Google masks these when profanityFilter is set: first letter kept, the rest asterisks.
const char* const kProfanities[] = {"ass", "bastard", "bitch", "crap", "damn", "fuck", "hell", "shit"};

std::string Masked(const std::string& word)
{
    for (const char* bad : kProfanities)
        if (strcasecmp(word.c_str(), bad) == 0)
            return word.substr(0, 1) + std::string(word.size() - 1, '*');
    return word;
}

// A word of a transcript as the request asks for it: a profanity masked, and with
// automatic punctuation the first word of a result capitalised, its last ending a sentence.
std::string Presented(const std::string& word, const RecognitionOptions& options, bool first, bool last)
{
    std::string out = options.profanityFilter ? Masked(word) : word;
    if (options.punctuation && first && !out.empty())
        out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    if (options.punctuation && last)
        out += '.';
    return out;
}

std::string PresentedText(const std::string& text, const RecognitionOptions& options)
{
    std::string out;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        out += (start > 0 ? " " : "") +
               Presented(text.substr(start, end - start), options, start == 0, end == text.size());
        start = end + 1;
    }
    return out;
}

// A bool field of proto3's JSON mapping, under either spelling; false when absent.
ApiError ReadFlag(const rapidjson::Value& config, const char* camel, const char* snake, bool& out)
{
    const rapidjson::Value* v = FindField(config, camel, snake);
    if (!v)
        return ApiError{};
    if (!v->IsBool())
        return InvalidArgument(std::string("Invalid value at 'config.") + snake + "' (TYPE_BOOL).");
    out = v->GetBool();
    return ApiError{};
}

// Google's models for v1; one pocketsphinx model serves them all.
const char* const kModels[] = {"latest_long", "latest_short", "command_and_search",   "phone_call",
                               "video",       "default",      "medical_conversation", "medical_dictation"};

ApiError ReadModel(const rapidjson::Value& config)
{
    const rapidjson::Value* model = FindField(config, "model");
    if (!model)
        return ApiError{};
    if (!model->IsString())
        return InvalidArgument("Invalid value at 'config.model' (TYPE_STRING).");
    if (model->GetStringLength() == 0) // proto3: the default, unset
        return ApiError{};
    for (const char* known : kModels)
        if (std::strcmp(model->GetString(), known) == 0)
            return ApiError{};
    return InvalidArgument("Invalid recognition 'config': Incorrect model specified. Please refer to the "
                           "documentation page for valid model names.");
}

ApiError ReadOptions(const rapidjson::Value& config, RecognitionOptions& options)
{
    if (const auto* max = FindField(config, "maxAlternatives", "max_alternatives"))
    {
        if (!ReadInt(*max, 0, 30, options.maxAlternatives))
            return InvalidArgument("max_alternatives must be between 0 and 30.");
    }
    bool enhanced = false; // the one model has no enhanced version: read for its type only
    const std::tuple<const char*, const char*, bool*> flags[] = {
        {"profanityFilter", "profanity_filter", &options.profanityFilter},
        {"enableWordTimeOffsets", "enable_word_time_offsets", &options.wordTimeOffsets},
        {"enableWordConfidence", "enable_word_confidence", &options.wordConfidence},
        {"enableAutomaticPunctuation", "enable_automatic_punctuation", &options.punctuation},
        {"useEnhanced", "use_enhanced", &enhanced}};
    for (const auto& [camel, snake, out] : flags)
    {
        const ApiError error = ReadFlag(config, camel, snake, *out);
        if (error.IsSet())
            return error;
    }
    return ReadModel(config);
}

// Google's limit: the primary language and up to three more.
constexpr rapidjson::SizeType kMaxAlternativeLanguages = 3;

bool IsSupportedLanguage(const char* code)
{
    return strcasecmp(code, "en-US") == 0 || strcasecmp(code, "en") == 0;
}

// Google recognises in the first of languageCode and alternativeLanguageCodes
// that it has a model for, and reports which one it used.
ApiError ChooseLanguage(const rapidjson::Value& config, std::string& chosen)
{
    const rapidjson::Value* primary = FindField(config, "languageCode", "language_code");
    if (!primary || !primary->IsString() || primary->GetStringLength() == 0)
        return InvalidArgument("Invalid recognition 'config': missing language_code.");
    std::vector<const rapidjson::Value*> codes{primary};
    if (const auto* alt = FindField(config, "alternativeLanguageCodes", "alternative_language_codes"))
    {
        if (!alt->IsArray())
            return InvalidArgument("Invalid value at 'config.alternative_language_codes': expected a list.");
        if (alt->Size() > kMaxAlternativeLanguages)
            return InvalidArgument("Invalid recognition 'config': alternative_language_codes may hold at most " +
                                   std::to_string(kMaxAlternativeLanguages) + " language codes, not " +
                                   std::to_string(alt->Size()) + ".");
        for (const auto& code : alt->GetArray())
            codes.push_back(&code);
    }
    for (const rapidjson::Value* code : codes)
    {
        if (code->IsString() && IsSupportedLanguage(code->GetString()))
        {
            chosen = code->GetString();
            for (char& c : chosen)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (chosen == "en")
                chosen = "en-us";
            return ApiError{};
        }
    }
    return InvalidArgument(std::string("Invalid recognition 'config': bad language code \"") + primary->GetString() +
                           "\". This emulator has models for: " + SpeechMethod::kLanguages + ".");
}

ApiError ReadHints(const rapidjson::Value& config, AudioHints& hints)
{
    if (const auto* enc = FindField(config, "encoding"))
    {
        const int index = EnumIndex(*enc, kEncodings, kEncodingCount);
        if (index < 0)
            return InvalidArgument("Invalid value at 'config.encoding' "
                                   "(type.googleapis.com/google.cloud.speech.v1.RecognitionConfig.AudioEncoding).");
        hints.encoding = index > 0 ? kEncodings[index] : "";
    }
    if (const auto* rate = FindField(config, "sampleRateHertz", "sample_rate_hertz"))
    {
        if (!ReadInt(*rate, 8000, 48000, hints.sampleRateHertz))
            return InvalidArgument("sample_rate_hertz must be between 8000 and 48000.");
    }
    if (const auto* channels = FindField(config, "audioChannelCount", "audio_channel_count"))
    {
        if (!ReadInt(*channels, 1, 8, hints.channelCount))
            return InvalidArgument("audio_channel_count must be between 1 and 8.");
    }
    const bool oneChannel = hints.encoding == "MULAW" || hints.encoding == "AMR" || hints.encoding == "AMR_WB" ||
                            hints.encoding == "SPEEX_WITH_HEADER_BYTE";
    if (oneChannel && hints.channelCount > 1)
        return InvalidArgument(kSingleChannelOnly);
    return ApiError{};
}

ApiError ReadConfig(const rapidjson::Value& request, RecognitionJob& job)
{
    const rapidjson::Value* config = FindField(request, "config");
    if (!config || !config->IsObject())
        return InvalidArgument("RecognitionConfig not set.");
    ApiError error = RefuseUnknownFields(*config,
                                         {"encoding",
                                          "sampleRateHertz",
                                          "audioChannelCount",
                                          "enableSeparateRecognitionPerChannel",
                                          "languageCode",
                                          "alternativeLanguageCodes",
                                          "maxAlternatives",
                                          "profanityFilter",
                                          "adaptation",
                                          "transcriptNormalization",
                                          "speechContexts",
                                          "enableWordTimeOffsets",
                                          "enableWordConfidence",
                                          "enableAutomaticPunctuation",
                                          "enableSpokenPunctuation",
                                          "enableSpokenEmojis",
                                          "diarizationConfig",
                                          "metadata",
                                          "model",
                                          "useEnhanced"},
                                         "config");
    if (!error.IsSet())
        error = ReadHints(*config, job.hints);
    if (!error.IsSet())
        error = ReadOptions(*config, job.options);
    if (error.IsSet())
        return error;
    return ChooseLanguage(*config, job.languageCode);
}

ApiError ReadUri(const rapidjson::Value& uri, RecognitionJob& job)
{
    std::string bucket;
    std::string object;
    if (!uri.IsString() || !SplitGsUri(uri.GetString(), bucket, object))
        return InvalidArgument("Request contains an invalid argument.");
    job.uri = uri.GetString();
    return ApiError{};
}

ApiError ReadAudio(const rapidjson::Value& request, RecognitionJob& job)
{
    const rapidjson::Value* audio = FindField(request, "audio");
    if (!audio || !audio->IsObject())
        return InvalidArgument("RecognitionAudio not set.");
    const ApiError unknown = RefuseUnknownFields(*audio, {"content", "uri"}, "audio");
    if (unknown.IsSet())
        return unknown;
    const rapidjson::Value* content = FindField(*audio, "content");
    const rapidjson::Value* uri = FindField(*audio, "uri");
    if (content && uri)
        return InvalidArgument("Invalid JSON payload received. Oneof field 'audio_source' is already set. "
                               "Cannot set 'uri'");
    if (uri)
        return ReadUri(*uri, job);
    if (!content || !content->IsString() || content->GetStringLength() == 0)
        return InvalidArgument("RecognitionAudio not set.");
    if (!DecodeBase64(std::string_view(content->GetString(), content->GetStringLength()), job.audio))
        return InvalidArgument("Invalid value at 'audio.content' (TYPE_BYTES), Base64 decoding failed.");
    if (job.audio.empty())
        return InvalidArgument("RecognitionAudio not set.");
    return ApiError{};
}

} // namespace

ApiError SpeechMethod::Parse(const std::string& body, RecognitionJob& job)
{
    rapidjson::Document doc;
    ApiError error = ParseRequestObject(body, doc, {"config", "audio"});
    if (!error.IsSet())
        error = ReadConfig(doc, job);
    if (error.IsSet())
        return error;
    return ReadAudio(doc, job);
}

bool SplitGsUri(const std::string& uri, std::string& bucket, std::string& object)
{
    const std::string scheme = "gs://";
    const size_t slash = uri.find('/', scheme.size());
    if (uri.compare(0, scheme.size(), scheme) != 0 || slash == std::string::npos || slash == scheme.size() ||
        slash + 1 == uri.size())
        return false;
    bucket = uri.substr(scheme.size(), slash - scheme.size());
    object = uri.substr(slash + 1);
    return true;
}

std::string FormatDuration(double seconds)
{
    const long long millis = std::llround(seconds * 1000);
    char text[48];
    if (millis % 1000 == 0)
        std::snprintf(text, sizeof text, "%llds", millis / 1000);
    else
        std::snprintf(text, sizeof text, "%lld.%03llds", millis / 1000, millis % 1000);
    return text;
}

namespace
{

void WriteWords(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::vector<Word>& words,
                const RecognitionOptions& options)
{
    w.Key("words");
    w.StartArray();
    for (size_t i = 0; i < words.size(); ++i)
    {
        const Word& word = words[i];
        w.StartObject();
        if (options.wordTimeOffsets)
        {
            w.Key("startTime");
            w.String(FormatDuration(word.start).c_str());
            w.Key("endTime");
            w.String(FormatDuration(word.end).c_str());
        }
        const std::string text = Presented(word.word, options, i == 0, i + 1 == words.size());
        w.Key("word");
        w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
        if (options.wordConfidence)
        {
            w.Key("confidence");
            w.Double(std::round(word.confidence * 10000) / 10000);
        }
        w.EndObject();
    }
    w.EndArray();
}

} // namespace

namespace
{

void WriteResult(rapidjson::Writer<rapidjson::StringBuffer>& w, const Hypothesis& result, const RecognitionJob& job)
{
    const RecognitionOptions& options = job.options;
    const std::string text = PresentedText(result.transcript, options);
    w.StartObject();
    w.Key("alternatives");
    w.StartArray();
    w.StartObject();
    w.Key("transcript");
    w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    w.Key("confidence");
    w.Double(std::round(result.confidence * 10000) / 10000);
    if (options.wordTimeOffsets || options.wordConfidence)
        WriteWords(w, result.words, options);
    w.EndObject();
    for (const std::string& alternative : result.alternatives)
    {
        const std::string other = PresentedText(alternative, options);
        w.StartObject();
        w.Key("transcript");
        w.String(other.c_str(), static_cast<rapidjson::SizeType>(other.size()));
        w.EndObject();
    }
    w.EndArray();
    w.Key("resultEndTime");
    w.String(FormatDuration(result.end).c_str());
    w.Key("languageCode");
    w.String(job.languageCode.c_str());
    w.EndObject();
}

} // namespace

std::string SpeechMethod::Reply(const RecognitionJob& job, uint64_t requestId, const char* type)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    if (type)
    {
        w.Key("@type");
        w.String(type);
    }
    if (!job.results.empty())
    {
        w.Key("results");
        w.StartArray();
        for (const Hypothesis& result : job.results)
            WriteResult(w, result, job);
        w.EndArray();
        // Google bills whole seconds, rounded up.
        w.Key("totalBilledTime");
        w.String(FormatDuration(std::ceil(job.audioSeconds)).c_str());
        w.Key("requestId");
        w.String(std::to_string(requestId).c_str());
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
