#include "CloudJson.h"

#include <cstring>

#include <event2/buffer.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

namespace
{

// The audio belongs to the transcription, which outlives its bodies.
void KeepAudio(const void*, size_t, void*) {}

// A quote, backslash or control character: all the JSON writer would escape.
// Bitwise, not short-circuit, so that a loop over it has no branch.
unsigned char MustEscape(unsigned char c)
{
    return (c < 0x20) | (c == '"') | (c == '\\');
}

// True when the text goes into a JSON string as it is. Whole blocks are checked
// with no branch inside, which the compiler turns into vector code.
bool NeedsNoEscaping(const std::string& text)
{
    const size_t kBlock = 64;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t at = 0;
    for (; at + kBlock <= size; at += kBlock)
    {
        unsigned char escaped = 0;
        for (size_t i = 0; i < kBlock; ++i)
            escaped |= MustEscape(p[at + i]);
        if (escaped != 0)
            return false;
    }
    for (; at < size; ++at)
        if (MustEscape(p[at]) != 0)
            return false;
    return true;
}

void AppendString(evbuffer* pBody, const std::string& text)
{
    rapidjson::StringBuffer escaped;
    JsonWriter writer(escaped);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    evbuffer_add(pBody, escaped.GetString(), escaped.GetSize());
}

void AppendAudio(evbuffer* pBody, const std::string& audio)
{
    if (audio.empty() || !NeedsNoEscaping(audio))
    {
        AppendString(pBody, audio);
        return;
    }
    evbuffer_add(pBody, "\"", 1);
    if (evbuffer_add_reference(pBody, audio.data(), audio.size(), KeepAudio, nullptr) != 0)
        evbuffer_add(pBody, audio.data(), audio.size());
    evbuffer_add(pBody, "\"", 1);
}

// Copies the string member `name` of `object`, up to its first NUL; leaves `out`
// as it is when the member is absent or not a string.
void CopyStringMember(const rapidjson::Value& object, const char* name, std::string& out)
{
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString())
        return;
    const char* text = member->value.GetString();
    out.assign(text, strnlen(text, member->value.GetStringLength()));
}

// The transcript of a result: its first alternative's, when that has one.
void ReadTranscript(const rapidjson::Value& result, std::string& transcript)
{
    const auto alternatives = result.FindMember("alternatives");
    if (alternatives == result.MemberEnd() || !alternatives->value.IsArray())
        return;
    for (const rapidjson::Value& alternative : alternatives->value.GetArray())
    {
        if (!alternative.IsObject())
            continue;
        CopyStringMember(alternative, "transcript", transcript);
        return;
    }
}

// The cloud splits a recording at its pauses into results, in order: their
// transcripts together are what was said, one space between two of them.
void ReadResults(const rapidjson::Value& results, std::string& language, std::string& text)
{
    bool first = true;
    std::string joined;
    for (const rapidjson::Value& result : results.GetArray())
    {
        if (!result.IsObject())
            continue;
        if (first)
            CopyStringMember(result, "languageCode", language);
        first = false;
        std::string transcript;
        ReadTranscript(result, transcript);
        if (transcript.empty())
            continue;
        if (!joined.empty() && joined.back() != ' ' && transcript.front() != ' ')
            joined += ' ';
        joined += transcript;
    }
    if (!joined.empty())
        text = joined;
}

void ReadResultsMember(const rapidjson::Value& object, std::string& language, std::string& text)
{
    const auto results = object.FindMember("results");
    if (results != object.MemberEnd() && results->value.IsArray())
        ReadResults(results->value, language, text);
}

// An operation name goes into the poll's path as it is: only names as Google makes
// them, which cannot leave the path or fill it.
bool IsOperationName(const std::string& name)
{
    return !name.empty() && name.size() <= 256 &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
               std::string::npos;
}

// The iterative parser keeps a deeply nested reply off the stack.
bool ParseObject(const std::string& data, rapidjson::Document& document)
{
    document.Parse<rapidjson::kParseIterativeFlag>(data.data(), data.size());
    return !document.HasParseError() && document.IsObject();
}

// {"config":{...},"audio":{, the configured options after what the request says.
void WriteRecognitionHead(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                          Recording::Format format, const std::string& options)
{
    rapidjson::StringBuffer config;
    JsonWriter writer(config);
    writer.StartObject();
    if (!language.empty())
    {
        writer.Key("languageCode");
        writer.String(language.c_str());
    }
    if (!alternatives.empty())
    {
        writer.Key("alternativeLanguageCodes");
        writer.StartArray();
        for (const std::string& alternative : alternatives)
            writer.String(alternative.c_str());
        writer.EndArray();
    }
    // The cloud reads the encoding from WAV and FLAC headers, but AMR's storage
    // format must be named, or the call fails. Nothing else is added to any other.
    if (format == Recording::Format::Amr || format == Recording::Format::AmrWb)
    {
        const bool wideband = format == Recording::Format::AmrWb;
        writer.Key("encoding");
        writer.String(wideband ? "AMR_WB" : "AMR");
        writer.Key("sampleRateHertz");
        writer.Int(wideband ? 16000 : 8000);
    }
    writer.EndObject();
    std::string text(config.GetString(), config.GetSize());
    if (!options.empty())
        text.insert(text.size() - 1, (text.size() > 2 ? "," : "") + options);
    evbuffer_add_printf(pBody, "{\"config\":%s,\"audio\":{", text.c_str());
}

} // namespace

namespace CloudJson
{

void WriteRecognitionBody(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                          Recording::Format format, const std::string& options, const std::string& audio)
{
    WriteRecognitionHead(pBody, language, alternatives, format, options);
    evbuffer_add(pBody, "\"content\":", 10);
    AppendAudio(pBody, audio);
    evbuffer_add(pBody, "}}", 2);
}

void WriteRecognitionUriBody(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                             Recording::Format format, const std::string& options, const std::string& uri)
{
    WriteRecognitionHead(pBody, language, alternatives, format, options);
    evbuffer_add(pBody, "\"uri\":", 6);
    AppendString(pBody, uri);
    evbuffer_add(pBody, "}}", 2);
}

std::string SentimentBody(const std::string& language, const std::string& text)
{
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("document");
    writer.StartObject();
    writer.Key("type");
    writer.String("PLAIN_TEXT");
    writer.Key("language");
    writer.String(language.c_str());
    writer.Key("content");
    writer.String(text.c_str());
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string SilentSentiment(const std::string& language)
{
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("documentSentiment");
    writer.StartObject();
    writer.Key("magnitude");
    writer.Int(0);
    writer.Key("score");
    writer.Int(0);
    writer.EndObject();
    writer.Key("language");
    writer.String(language.c_str());
    writer.Key("sentences");
    writer.StartArray();
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool ParseTranscribeResults(const std::string& data, std::string& language, std::string& text)
{
    rapidjson::Document document;
    if (!ParseObject(data, document))
        return false;
    ReadResultsMember(document, language, text);
    return true;
}

bool ReadOperation(const std::string& data, Operation& operation)
{
    rapidjson::Document document;
    if (ParseObject(data, document))
        CopyStringMember(document, "name", operation.name);
    if (!IsOperationName(operation.name))
        return false;
    const auto done = document.FindMember("done");
    if (done == document.MemberEnd() || !done->value.IsTrue())
    {
        operation.state = Operation::State::Running;
        return true;
    }
    const auto error = document.FindMember("error");
    const auto response = document.FindMember("response");
    if (error != document.MemberEnd() || response == document.MemberEnd() || !response->value.IsObject())
    {
        operation.state = Operation::State::Failed;
        return true;
    }
    operation.state = Operation::State::Done;
    ReadResultsMember(response->value, operation.language, operation.text);
    return true;
}

bool ReadToken(const std::string& data, std::string& token, int& expiresIn)
{
    rapidjson::Document document;
    if (!ParseObject(data, document))
        return false;
    const auto lifetime = document.FindMember("expires_in");
    const auto type = document.FindMember("token_type");
    std::string text;
    CopyStringMember(document, "access_token", text);
    if (text.empty() || lifetime == document.MemberEnd() || !lifetime->value.IsInt() || lifetime->value.GetInt() <= 0 ||
        (type != document.MemberEnd() && (!type->value.IsString() || strcmp(type->value.GetString(), "Bearer") != 0)))
        return false;
    token = text;
    expiresIn = lifetime->value.GetInt();
    return true;
}

bool ReadError(const std::string& data, std::string& status, std::string& message)
{
    rapidjson::Document document;
    if (!ParseObject(data, document))
        return false;
    const auto error = document.FindMember("error");
    if (error != document.MemberEnd() && error->value.IsObject())
    {
        CopyStringMember(error->value, "status", status);
        CopyStringMember(error->value, "message", message);
    }
    else
    {
        CopyStringMember(document, "error", status);
        CopyStringMember(document, "error_description", message);
    }
    return !status.empty() || !message.empty();
}

bool ReadUploaded(const std::string& data, const std::string& object)
{
    rapidjson::Document document;
    std::string name;
    if (ParseObject(data, document))
        CopyStringMember(document, "name", name);
    return !object.empty() && name == object;
}

} // namespace CloudJson
