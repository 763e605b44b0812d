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
#include <vector>

namespace
{

bool isBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// EVP_DecodeBlock wants whole 4-character groups and does not reject '='
// inside the text, so the text is checked and padded here first.
bool normalize(std::string_view text, std::string& clean, int& padding)
{
    clean.reserve(text.size() + 3);
    padding = 0;
    for (char c : text)
    {
        if (isSpace(c))
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
        if (!isBase64Char(c) || padding > 0)
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

bool decodeBase64(std::string_view text, std::string& out)
{
    std::string clean;
    int padding = 0;
    if (!normalize(text, clean, padding))
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

std::string masked(const std::string& word)
{
    for (const char* bad : kProfanities)
        if (strcasecmp(word.c_str(), bad) == 0)
            return word.substr(0, 1) + std::string(word.size() - 1, '*');
    return word;
}

std::string maskedText(const std::string& text)
{
    std::string out;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        out += (start > 0 ? " " : "") + masked(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A bool field of proto3's JSON mapping, under either spelling; false when absent.
ApiError readFlag(const rapidjson::Value& config, const char* camel, const char* snake, bool& out)
{
    const rapidjson::Value* v = findField(config, camel, snake);
    if (!v)
        return ApiError{};
    if (!v->IsBool())
        return invalidArgument(std::string("Invalid value at 'config.") + snake + "' (TYPE_BOOL).");
    out = v->GetBool();
    return ApiError{};
}

ApiError readOptions(const rapidjson::Value& config, RecognitionOptions& options)
{
    if (const auto* max = findField(config, "maxAlternatives", "max_alternatives"))
    {
        if (!readInt(*max, 0, 30, options.maxAlternatives))
            return invalidArgument("max_alternatives must be between 0 and 30.");
    }
    ApiError error = readFlag(config, "profanityFilter", "profanity_filter", options.profanityFilter);
    if (!error.isSet())
        error = readFlag(config, "enableWordTimeOffsets", "enable_word_time_offsets", options.wordTimeOffsets);
    if (!error.isSet())
        error = readFlag(config, "enableWordConfidence", "enable_word_confidence", options.wordConfidence);
    return error;
}

bool isSupportedLanguage(const char* code)
{
    return strcasecmp(code, "en-US") == 0 || strcasecmp(code, "en") == 0;
}

// Google recognises in the first of languageCode and alternativeLanguageCodes
// that it has a model for, and reports which one it used.
ApiError chooseLanguage(const rapidjson::Value& config, std::string& chosen)
{
    const rapidjson::Value* primary = findField(config, "languageCode", "language_code");
    if (!primary || !primary->IsString() || primary->GetStringLength() == 0)
        return invalidArgument("Invalid recognition 'config': missing language_code.");
    std::vector<const rapidjson::Value*> codes{primary};
    if (const auto* alt = findField(config, "alternativeLanguageCodes", "alternative_language_codes"))
    {
        if (!alt->IsArray())
            return invalidArgument("Invalid value at 'config.alternative_language_codes': expected a list.");
        for (const auto& code : alt->GetArray())
            codes.push_back(&code);
    }
    for (const rapidjson::Value* code : codes)
    {
        if (code->IsString() && isSupportedLanguage(code->GetString()))
        {
            chosen = code->GetString();
            for (char& c : chosen)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (chosen == "en")
                chosen = "en-us";
            return ApiError{};
        }
    }
    return invalidArgument(std::string("Invalid recognition 'config': bad language code \"") + primary->GetString() +
                           "\". This emulator has models for: " + SpeechMethod::kLanguages + ".");
}

ApiError readHints(const rapidjson::Value& config, AudioHints& hints)
{
    if (const auto* enc = findField(config, "encoding"))
    {
        const int index = enumIndex(*enc, kEncodings, kEncodingCount);
        if (index < 0)
            return invalidArgument("Invalid value at 'config.encoding' "
                                   "(type.googleapis.com/google.cloud.speech.v1.RecognitionConfig.AudioEncoding).");
        hints.encoding = index > 0 ? kEncodings[index] : "";
    }
    if (const auto* rate = findField(config, "sampleRateHertz", "sample_rate_hertz"))
    {
        if (!readInt(*rate, 8000, 48000, hints.sampleRateHertz))
            return invalidArgument("sample_rate_hertz must be between 8000 and 48000.");
    }
    if (const auto* channels = findField(config, "audioChannelCount", "audio_channel_count"))
    {
        if (!readInt(*channels, 1, 8, hints.channelCount))
            return invalidArgument("audio_channel_count must be between 1 and 8.");
    }
    return ApiError{};
}

ApiError readConfig(const rapidjson::Value& request, RecognitionJob& job)
{
    const rapidjson::Value* config = findField(request, "config");
    if (!config || !config->IsObject())
        return invalidArgument("RecognitionConfig not set.");
    ApiError error = refuseUnknownFields(*config,
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
    if (!error.isSet())
        error = readHints(*config, job.hints);
    if (!error.isSet())
        error = readOptions(*config, job.options);
    if (error.isSet())
        return error;
    return chooseLanguage(*config, job.languageCode);
}

ApiError readAudio(const rapidjson::Value& request, RecognitionJob& job)
{
    const rapidjson::Value* audio = findField(request, "audio");
    if (!audio || !audio->IsObject())
        return invalidArgument("RecognitionAudio not set.");
    const ApiError unknown = refuseUnknownFields(*audio, {"content", "uri"}, "audio");
    if (unknown.isSet())
        return unknown;
    const rapidjson::Value* content = findField(*audio, "content");
    if (!content && findField(*audio, "uri"))
        return invalidArgument("This emulator reads inline audio 'content' only; 'uri' is not supported.");
    if (!content || !content->IsString() || content->GetStringLength() == 0)
        return invalidArgument("RecognitionAudio not set.");
    if (!decodeBase64(std::string_view(content->GetString(), content->GetStringLength()), job.audio))
        return invalidArgument("Invalid value at 'audio.content' (TYPE_BYTES), Base64 decoding failed.");
    if (job.audio.empty())
        return invalidArgument("RecognitionAudio not set.");
    return ApiError{};
}

} // namespace

ApiError SpeechMethod::parse(const std::string& body, RecognitionJob& job)
{
    rapidjson::Document doc;
    ApiError error = parseRequestObject(body, doc, {"config", "audio"});
    if (!error.isSet())
        error = readConfig(doc, job);
    if (error.isSet())
        return error;
    return readAudio(doc, job);
}

std::string formatDuration(double seconds)
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

void writeWords(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::vector<Word>& words,
                const RecognitionOptions& options)
{
    w.Key("words");
    w.StartArray();
    for (const Word& word : words)
    {
        w.StartObject();
        if (options.wordTimeOffsets)
        {
            w.Key("startTime");
            w.String(formatDuration(word.start).c_str());
            w.Key("endTime");
            w.String(formatDuration(word.end).c_str());
        }
        const std::string text = options.profanityFilter ? masked(word.word) : word.word;
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

void writeResult(rapidjson::Writer<rapidjson::StringBuffer>& w, const Hypothesis& result, const RecognitionJob& job)
{
    const RecognitionOptions& options = job.options;
    const std::string text = options.profanityFilter ? maskedText(result.transcript) : result.transcript;
    w.StartObject();
    w.Key("alternatives");
    w.StartArray();
    w.StartObject();
    w.Key("transcript");
    w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    w.Key("confidence");
    w.Double(std::round(result.confidence * 10000) / 10000);
    if (options.wordTimeOffsets || options.wordConfidence)
        writeWords(w, result.words, options);
    w.EndObject();
    for (const std::string& alternative : result.alternatives)
    {
        const std::string other = options.profanityFilter ? maskedText(alternative) : alternative;
        w.StartObject();
        w.Key("transcript");
        w.String(other.c_str(), static_cast<rapidjson::SizeType>(other.size()));
        w.EndObject();
    }
    w.EndArray();
    w.Key("resultEndTime");
    w.String(formatDuration(result.end).c_str());
    w.Key("languageCode");
    w.String(job.languageCode.c_str());
    w.EndObject();
}

} // namespace

std::string SpeechMethod::reply(const RecognitionJob& job, uint64_t requestId, const char* type)
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
            writeResult(w, result, job);
        w.EndArray();
        // Google bills whole seconds, rounded up.
        w.Key("totalBilledTime");
        w.String(formatDuration(std::ceil(job.audioSeconds)).c_str());
        w.Key("requestId");
        w.String(std::to_string(requestId).c_str());
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
