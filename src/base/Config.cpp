#include "Config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Trace.h"

namespace
{

// A longer time-out counts as this much, so that deadline arithmetic cannot overflow.
const uint64_t kMaxTimeoutSeconds = 365 * 24 * 3600;
const uint64_t kDay = 24 * 3600;
const char* const kTraceModes[] = {"full", "redacted", nullptr};

// One member of the file, where its value goes and what it may be.
struct Key
{
    const char* section;
    const char* name;
    std::variant<std::string*, bool*, uint64_t*, uint16_t*> target;
    uint64_t low = 0;
    uint64_t high = UINT64_MAX;
    bool clamp = false;                   // above `high`: `high`, not the default
    const char* const* choices = nullptr; // for a string: the values it may take
};

std::vector<Key> Keys(Config& c)
{
    ListenerSettings& l = c.listener;
    CloudSettings& g = c.cloud;
    const char* const h = "http-server";
    const char* const gc = "google-cloud";
    return {
        {h, "address", &l.address},
        {h, "port", &l.port},
        {h, "secure", &l.secure},
        {h, "certificate-chain", &l.certificateChain},
        {h, "private-key", &l.privateKey},
        {h, "client-auth-token", &c.policy.clientAuthToken},
        {h, "admin-auth-token", &c.policy.adminAuthToken},
        {h, "max-body-size", &l.maxBodySize},
        {h, "max-header-size", &l.maxHeaderSize},
        {h, "timeout", &l.timeoutSeconds, 0, kMaxTimeoutSeconds, true},
        {h, "header-timeout", &l.headerTimeoutSeconds, 1, kMaxTimeoutSeconds},
        {h, "drain-timeout", &c.drainTimeoutSeconds, 0, kDay},
        {h, "max-buffered-bytes", &l.maxBufferedBytes, 1},
        {h, "max-connections", &l.maxConnections, 0, UINT32_MAX},
        {h, "max-connection-requests", &l.maxConnectionRequests, 1},
        {h, "max-connection-age", &l.maxConnectionAgeSeconds, 1, kMaxTimeoutSeconds},
        {h, "trace-buffer-size", &c.trace.bufferSize, 1 << 16, 1 << 30},
        {h, "trace", &c.trace.mode, 0, 0, false, kTraceModes},
        {h, "trace-rate", &c.trace.rate, 0, uint64_t(1) << 40},
        {h, "metrics", &c.policy.metrics},
        {h, "metrics-auth-token", &c.policy.metricsAuthToken},
        {gc, "service-account", &g.serviceAccount},
        {gc, "speech-service-endpoint", &g.speechServiceEndpoint},
        {gc, "language-service-endpoint", &g.languageServiceEndpoint},
        {gc, "access-key", &g.accessKey},
        {gc, "max-reply-size", &g.maxReplySize},
        {gc, "call-timeout", &g.callTimeoutSeconds, 1, 3600},
        {gc, "long-running-timeout", &g.longRunningTimeoutSeconds, 1, kDay},
        {gc, "credentials", &g.credentials},
        {gc, "metadata-endpoint", &g.metadataEndpoint},
        {gc, "storage-bucket", &g.storageBucket},
        {gc, "storage-endpoint", &g.storageEndpoint},
        {gc, "storage-prefix", &g.storagePrefix},
        {gc, "default-language", &g.defaultLanguage},
        {gc, "cloud-retries", &g.retries, 0, 10},
        {gc, "connect-timeout", &g.connectTimeoutSeconds, 1, 3600},
        {gc, "cloud-idle-connections", &g.idleConnections, 0, 100000},
        {gc, "cloud-idle-timeout", &g.idleTimeoutSeconds, 1, 3600},
    };
}

// The members of Google's RecognitionConfig a configuration may add, in the order
// they are sent, and what each must be.
enum class Option
{
    Bool,
    Count, // an integer from `low` to `high`
    Text,
    Contexts, // [{"phrases": [strings], "boost": number}]
};

const struct
{
    const char* name;
    Option kind;
    int low;
    int high;
} kRecognitionOptions[] = {
    {"audioChannelCount", Option::Count, 1, 8},
    {"enableSeparateRecognitionPerChannel", Option::Bool, 0, 0},
    {"maxAlternatives", Option::Count, 0, 30},
    {"profanityFilter", Option::Bool, 0, 0},
    {"speechContexts", Option::Contexts, 0, 0},
    {"enableWordTimeOffsets", Option::Bool, 0, 0},
    {"enableWordConfidence", Option::Bool, 0, 0},
    {"enableAutomaticPunctuation", Option::Bool, 0, 0},
    {"model", Option::Text, 0, 0},
    {"useEnhanced", Option::Bool, 0, 0},
};

bool IsSpeechContext(const rapidjson::Value& context)
{
    if (!context.IsObject())
        return false;
    for (const auto& member : context.GetObject())
    {
        const std::string name = member.name.GetString();
        if (name == "boost" ? !member.value.IsNumber() : name != "phrases" || !member.value.IsArray())
            return false;
        if (name == "phrases")
            for (const auto& phrase : member.value.GetArray())
                if (!phrase.IsString())
                    return false;
    }
    return true;
}

// What `value` must be, when it is not that.
const char* OptionFault(Option kind, int low, int high, const rapidjson::Value& value)
{
    switch (kind)
    {
    case Option::Bool:
        return value.IsBool() ? nullptr : "must be true or false";
    case Option::Count:
        return value.IsInt() && value.GetInt() >= low && value.GetInt() <= high ? nullptr
                                                                                : "must be an integer in its range";
    case Option::Text:
        return value.IsString() ? nullptr : "must be a string";
    case Option::Contexts:
        if (value.IsArray())
            for (const auto& context : value.GetArray())
                if (!IsSpeechContext(context))
                    return "must be a list of {\"phrases\": [strings], \"boost\": number}";
        return value.IsArray() ? nullptr : "must be a list of {\"phrases\": [strings], \"boost\": number}";
    }
    return nullptr;
}

// "recognition": each option checked, then written out in Google's order.
bool ReadRecognition(const rapidjson::Value& options, std::string& out)
{
    if (!options.IsObject())
    {
        Trace::Print("Error  : recognition must be an object of RecognitionConfig members\n");
        return false;
    }
    for (const auto& member : options.GetObject())
    {
        const auto* pOption = std::find_if(std::begin(kRecognitionOptions), std::end(kRecognitionOptions),
                                           [&](const auto& option) { return member.name == option.name; });
        const char* fault = pOption == std::end(kRecognitionOptions)
                                ? "is not a RecognitionConfig member the service can add"
                                : OptionFault(pOption->kind, pOption->low, pOption->high, member.value);
        if (fault != nullptr)
        {
            Trace::Print("Error  : recognition option [%s] %s\n", member.name.GetString(), fault);
            return false;
        }
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    for (const auto& option : kRecognitionOptions)
    {
        const auto member = options.FindMember(option.name);
        if (member == options.MemberEnd())
            continue;
        writer.Key(option.name);
        member->value.Accept(writer);
    }
    writer.EndObject();
    out.assign(buffer.GetString() + 1, buffer.GetSize() - 2); // the members, without the braces
    return true;
}

bool IsChoice(const char* const* choices, const std::string& value)
{
    for (; choices != nullptr && *choices != nullptr; ++choices)
        if (value == *choices)
            return true;
    return choices == nullptr;
}

// What a key's value may be, in words.
std::string Allowed(const Key& key)
{
    if (std::holds_alternative<bool*>(key.target))
        return "true or false";
    if (std::holds_alternative<uint16_t*>(key.target))
        return "an integer from 0 to 65535";
    if (std::holds_alternative<uint64_t*>(key.target))
        return key.high == UINT64_MAX || key.clamp
                   ? "an integer of at least " + std::to_string(key.low)
                   : "an integer from " + std::to_string(key.low) + " to " + std::to_string(key.high);
    if (key.choices == nullptr)
        return "a string";
    std::string words = "one of";
    for (const char* const* choice = key.choices; *choice != nullptr; ++choice)
        words += std::string(choice == key.choices ? " \"" : ", \"") + *choice + "\"";
    return words;
}

// Takes the value when it has the key's type and range; false when it has not.
// Strings end at a NUL.
bool Take(const Key& key, const rapidjson::Value& value)
{
    if (std::string* const* ppText = std::get_if<std::string*>(&key.target))
    {
        if (!value.IsString())
            return false;
        const std::string text(value.GetString(), strnlen(value.GetString(), value.GetStringLength()));
        if (!IsChoice(key.choices, text))
            return false;
        **ppText = text;
    }
    else if (bool* const* ppFlag = std::get_if<bool*>(&key.target))
    {
        if (!value.IsBool())
            return false;
        **ppFlag = value.GetBool();
    }
    else if (uint16_t* const* ppPort = std::get_if<uint16_t*>(&key.target))
    {
        if (!value.IsUint() || value.GetUint() > UINT16_MAX)
            return false;
        **ppPort = static_cast<uint16_t>(value.GetUint());
    }
    else if (uint64_t* const* ppNumber = std::get_if<uint64_t*>(&key.target))
    {
        if (!value.IsUint64() || value.GetUint64() < key.low || (value.GetUint64() > key.high && !key.clamp))
            return false;
        **ppNumber = std::min(value.GetUint64(), key.high);
    }
    return true;
}

// A value as the file has it, on one line and short.
std::string Shown(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    std::string text(buffer.GetString(), buffer.GetSize());
    if (text.size() > 60)
        text = text.substr(0, 57) + "...";
    return Trace::OneLine(text);
}

// Every member of every section is a setting, of its type and within its range.
bool TakeSection(const char* name, const rapidjson::Value& section, const std::vector<Key>& keys)
{
    if (!section.IsObject())
    {
        Trace::Print("Error  : [%s] must be an object of settings\n", name);
        return false;
    }
    for (const auto& member : section.GetObject())
    {
        const char* setting = member.name.GetString();
        if (strcmp(name, "google-cloud") == 0 && strcmp(setting, "recognition") == 0)
            continue;
        const auto key = std::find_if(keys.begin(), keys.end(), [&](const Key& k) {
            return strcmp(k.section, name) == 0 && strcmp(k.name, setting) == 0;
        });
        if (key == keys.end())
        {
            Trace::Print("Error  : [%s.%s] is not a setting of %s\n", name, Trace::OneLine(setting).c_str(), name);
            return false;
        }
        // The first of a key given twice counts.
        if (&section.FindMember(setting)->value == &member.value && !Take(*key, member.value))
        {
            Trace::Print("Error  : [%s.%s] is [%s]: must be %s\n", name, setting, Shown(member.value).c_str(),
                         Allowed(*key).c_str());
            return false;
        }
    }
    return true;
}

// The file's text; false, with the system's reason said, when it cannot be read.
bool ReadFile(const std::string& path, std::string& text)
{
    std::FILE* pFile = std::fopen(path.c_str(), "rb");
    char chunk[65536];
    size_t got = 0;
    while (pFile != nullptr && (got = std::fread(chunk, 1, sizeof chunk, pFile)) > 0)
        text.append(chunk, got);
    const int error = pFile == nullptr || std::ferror(pFile) ? errno : 0;
    if (pFile != nullptr)
        std::fclose(pFile);
    if (error == 0)
        return true;
    Trace::Print("Could not open file for reading!\nError  : [%s]: %s\n", Trace::OneLine(path).c_str(),
                 strerror(error));
    return false;
}

// Where the parser stopped, as an editor counts: line and column from 1.
void PrintParseError(const std::string& text, const rapidjson::Document& document)
{
    const size_t offset = std::min(document.GetErrorOffset(), text.size());
    const size_t lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
    const size_t column = offset - (lineStart == std::string::npos || offset == 0 ? 0 : lineStart + 1) + 1;
    Trace::Print("Error  : %d\nOffset : %zu\nError  : line %zu, column %zu: %s\n",
                 static_cast<int>(document.GetParseError()), document.GetErrorOffset(), line, column,
                 rapidjson::GetParseError_En(document.GetParseError()));
}

} // namespace

bool ReadConfig(const std::string& path, Config& config)
{
    std::string text;
    if (!ReadFile(path, text))
        return false;
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError())
    {
        PrintParseError(text, document);
        return false;
    }
    if (!document.IsObject())
    {
        Trace::Print("Error  : configuration root is not an object\n");
        return false;
    }
    const auto cloud = document.FindMember("google-cloud");
    if (cloud != document.MemberEnd() && cloud->value.IsObject())
    {
        const auto recognition = cloud->value.FindMember("recognition");
        if (recognition != cloud->value.MemberEnd() && !ReadRecognition(recognition->value, config.cloud.recognition))
            return false;
    }
    const std::vector<Key> keys = Keys(config);
    for (const auto& section : document.GetObject())
    {
        const char* name = section.name.GetString();
        if (strcmp(name, "http-server") != 0 && strcmp(name, "google-cloud") != 0)
        {
            Trace::Print("Error  : [%s] is not a section: http-server or google-cloud\n", Trace::OneLine(name).c_str());
            return false;
        }
        if (&document.FindMember(name)->value == &section.value && !TakeSection(name, section.value, keys))
            return false;
    }
    return true;
}

std::vector<std::string> SettingNames()
{
    Config config;
    std::vector<std::string> names = {"google-cloud.recognition"};
    for (const Key& key : Keys(config))
        names.push_back(std::string(key.section) + "." + key.name);
    return names;
}
