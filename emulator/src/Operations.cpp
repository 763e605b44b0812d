#include "Operations.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

Operations::Operations(size_t kept, int keptSeconds)
    : m_Kept(kept)
    , m_KeptFor(keptSeconds)
    , m_Names(std::random_device{}())
{
}

std::string Operations::NewName()
{
    // Google's names are decimal numbers.
    std::string name;
    do
        name = std::to_string(m_Names() >> 1);
    while (m_Operations.count(name));
    return name;
}

void Operations::Start(const std::string& name)
{
    ForgetExpired();
    Operation& operation = m_Operations[name];
    operation.started = operation.updated = std::chrono::system_clock::now();
}

void Operations::Progress(const std::string& name, int percent)
{
    auto it = m_Operations.find(name);
    if (it == m_Operations.end() || it->second.done)
        return;
    it->second.percent = percent;
    it->second.updated = std::chrono::system_clock::now();
}

void Operations::Finish(const std::string& name, const std::string& response, const ApiError& error)
{
    auto it = m_Operations.find(name);
    if (it == m_Operations.end())
        return;
    it->second.done = true;
    it->second.updated = std::chrono::system_clock::now();
    it->second.response = response;
    it->second.error = error;
    m_Finished.emplace_back(name, std::chrono::steady_clock::now());
    ForgetExpired();
}

bool Operations::Describe(const std::string& name, std::string& json)
{
    ForgetExpired();
    auto it = m_Operations.find(name);
    if (it == m_Operations.end())
        return false;
    json = ToJson(name, it->second);
    return true;
}

void Operations::ForgetExpired()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_Finished.empty() && (m_Finished.size() > m_Kept || now - m_Finished.front().second >= m_KeptFor))
    {
        m_Operations.erase(m_Finished.front().first);
        m_Finished.pop_front();
    }
}

std::string Operations::ToJson(const std::string& name, const Operation& operation) const
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
    w.Int(operation.done ? 100 : operation.percent);
    w.Key("startTime");
    w.String(FormatTimestamp(operation.started).c_str());
    w.Key("lastUpdateTime");
    w.String(FormatTimestamp(operation.updated).c_str());
    w.EndObject();
    if (operation.done)
    {
        w.Key("done");
        w.Bool(true);
        if (operation.error.IsSet())
        {
            w.Key("error");
            w.StartObject();
            w.Key("code");
            w.Int(operation.error.RpcCode());
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
