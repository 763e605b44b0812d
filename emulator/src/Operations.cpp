#include "Operations.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <ctime>

namespace
{

// proto3's JSON form of a Timestamp: RFC 3339 in UTC, "2024-05-01T12:00:00.123456Z".
std::string formatTimestamp(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06dZ", static_cast<int>(micros % 1000000));
    return text;
}

} // namespace

Operations::Operations(size_t kept, int keptSeconds)
    : kept_(kept)
    , keptFor_(keptSeconds)
    , names_(std::random_device{}())
{
}

std::string Operations::newName()
{
    // Google's names are decimal numbers.
    std::string name;
    do
        name = std::to_string(names_() >> 1);
    while (operations_.count(name));
    return name;
}

void Operations::start(const std::string& name)
{
    forgetExpired();
    Operation& operation = operations_[name];
    operation.started = operation.updated = std::chrono::system_clock::now();
}

void Operations::finish(const std::string& name, const std::string& response, const ApiError& error)
{
    auto it = operations_.find(name);
    if (it == operations_.end())
        return;
    it->second.done = true;
    it->second.updated = std::chrono::system_clock::now();
    it->second.response = response;
    it->second.error = error;
    finished_.emplace_back(name, std::chrono::steady_clock::now());
    forgetExpired();
}

bool Operations::describe(const std::string& name, std::string& json)
{
    forgetExpired();
    auto it = operations_.find(name);
    if (it == operations_.end())
        return false;
    json = toJson(name, it->second);
    return true;
}

void Operations::forgetExpired()
{
    const auto now = std::chrono::steady_clock::now();
    while (!finished_.empty() && (finished_.size() > kept_ || now - finished_.front().second >= keptFor_))
    {
        operations_.erase(finished_.front().first);
        finished_.pop_front();
    }
}

std::string Operations::toJson(const std::string& name, const Operation& operation) const
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("name");
    w.String(name.c_str());
    w.Key("metadata");
    w.StartObject();
    w.Key("@type");
    w.String("type.googleapis.com/google.cloud.speech.v1.LongRunningRecognizeMetadata");
    w.Key("progressPercent");
    w.Int(operation.done ? 100 : 0);
    w.Key("startTime");
    w.String(formatTimestamp(operation.started).c_str());
    w.Key("lastUpdateTime");
    w.String(formatTimestamp(operation.updated).c_str());
    w.EndObject();
    if (operation.done)
    {
        w.Key("done");
        w.Bool(true);
        if (operation.error.isSet())
        {
            w.Key("error");
            w.StartObject();
            w.Key("code");
            w.Int(operation.error.rpcCode());
            w.Key("message");
            w.String(operation.error.message.c_str(), static_cast<rapidjson::SizeType>(operation.error.message.size()));
            w.EndObject();
        }
        else
        {
            w.Key("response");
            w.RawValue(operation.response.data(), operation.response.size(), rapidjson::kObjectType);
        }
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
