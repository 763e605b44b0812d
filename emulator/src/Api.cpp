#include "Api.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

std::string ApiError::ToJson() const
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("error");
    w.StartObject();
    w.Key("code");
    w.Int(httpCode);
    w.Key("message");
    w.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    w.Key("status");
    w.String(status.c_str());
    if (!reason.empty())
    {
        w.Key("details");
        w.StartArray();
        w.StartObject();
        w.Key("@type");
        w.String("type.googleapis.com/google.rpc.ErrorInfo");
        w.Key("reason");
        w.String(reason.c_str());
        w.Key("domain");
        w.String("googleapis.com");
        w.Key("metadata");
        w.StartObject();
        w.Key("service");
        w.String(service.c_str());
        w.EndObject();
        w.EndObject();
        w.EndArray();
    }
    w.EndObject();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

int ApiError::RpcCode() const
{
    static const char* const kCodes[] = {"OK",
                                         "CANCELLED",
                                         "UNKNOWN",
                                         "INVALID_ARGUMENT",
                                         "DEADLINE_EXCEEDED",
                                         "NOT_FOUND",
                                         "ALREADY_EXISTS",
                                         "PERMISSION_DENIED",
                                         "RESOURCE_EXHAUSTED",
                                         "FAILED_PRECONDITION",
                                         "ABORTED",
                                         "OUT_OF_RANGE",
                                         "UNIMPLEMENTED",
                                         "INTERNAL"};
    for (int code = 0; code < static_cast<int>(sizeof kCodes / sizeof kCodes[0]); ++code)
        if (status == kCodes[code])
            return code;
    return 2; // UNKNOWN
}

ApiError InvalidArgument(const std::string& message)
{
    return ApiError{400, "INVALID_ARGUMENT", message, "", ""};
}

ApiError NotFound(const std::string& message)
{
    return ApiError{404, "NOT_FOUND", message, "", ""};
}

ApiError MethodNotAllowed(const std::string& message)
{
    return ApiError{405, "METHOD_NOT_ALLOWED", message, "", ""};
}

ApiError ResourceExhausted(const std::string& message)
{
    return ApiError{429, "RESOURCE_EXHAUSTED", message, "", ""};
}

ApiError InvalidApiKey(const std::string& service)
{
    return ApiError{400, "INVALID_ARGUMENT", "API key not valid. Please pass a valid API key.", "API_KEY_INVALID",
                    service};
}

ApiError MissingApiKey()
{
    return ApiError{403, "PERMISSION_DENIED",
                    "Method doesn't allow unregistered callers (callers without established "
                    "identity). Please use API Key or other form of API consumer identity to "
                    "call this API.",
                    "", ""};
}

ApiError Unauthenticated(bool missing)
{
    return ApiError{401, "UNAUTHENTICATED",
                    std::string(missing ? "Request is missing required authentication credential."
                                        : "Request had invalid authentication credentials.") +
                        " Expected OAuth 2 access token, login cookie or other valid authentication credential. "
                        "See https://developers.google.com/identity/sign-in/web/devconsole-project.",
                    "", ""};
}

std::string FormatTimestamp(std::chrono::system_clock::time_point when)
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

namespace
{

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

std::string PercentDecoded(const std::string& text, bool plusAsSpace)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '+' && plusAsSpace)
            out += ' ';
        else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0)
        {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        }
        else
            out += text[i];
    }
    return out;
}

bool FormValue(const std::string& form, const std::string& name, std::string& value)
{
    size_t start = 0;
    while (start < form.size())
    {
        size_t end = form.find('&', start);
        if (end == std::string::npos)
            end = form.size();
        const std::string pair = form.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (PercentDecoded(pair.substr(0, equals), true) == name)
        {
            value = equals == std::string::npos ? "" : PercentDecoded(pair.substr(equals + 1), true);
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string JsonText(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    value.Accept(w);
    return std::string(buffer.GetString(), buffer.GetSize());
}

const rapidjson::Value* FindField(const rapidjson::Value& object, const char* camel, const char* snake)
{
    auto it = object.FindMember(camel);
    if (it == object.MemberEnd() && snake)
        it = object.FindMember(snake);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::string UnknownField(const rapidjson::Value& object, std::initializer_list<const char*> known)
{
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it)
    {
        std::string name = it->name.GetString();
        std::string camel;
        for (size_t i = 0; i < name.size(); ++i)
        {
            if (name[i] == '_' && i + 1 < name.size())
                camel += static_cast<char>(std::toupper(static_cast<unsigned char>(name[++i])));
            else
                camel += name[i];
        }
        bool found = false;
        for (const char* k : known)
            found = found || camel == k;
        if (!found)
            return name;
    }
    return "";
}

ApiError RefuseUnknownFields(const rapidjson::Value& object, std::initializer_list<const char*> known,
                             const char* where)
{
    const std::string name = UnknownField(object, known);
    if (name.empty())
        return ApiError{};
    std::string m = "Invalid JSON payload received. Unknown name \"" + name + "\"";
    if (where && *where)
        m += std::string(" at '") + where + "'";
    return InvalidArgument(m + ": Cannot find field.");
}

ApiError ParseRequestObject(const std::string& body, rapidjson::Document& doc, std::initializer_list<const char*> known)
{
    doc.Parse<rapidjson::kParseIterativeFlag>(body.c_str(), body.size());
    if (doc.HasParseError())
        return InvalidArgument(std::string("Invalid JSON payload received. ") +
                               rapidjson::GetParseError_En(doc.GetParseError()));
    if (!doc.IsObject())
        return InvalidArgument("Invalid JSON payload received. Expected an object.");
    return RefuseUnknownFields(doc, known, "");
}

int EnumIndex(const rapidjson::Value& value, const char* const* names, int count)
{
    if (value.IsInt())
        return value.GetInt() >= 0 && value.GetInt() < count ? value.GetInt() : -1;
    if (!value.IsString())
        return -1;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(value.GetString(), names[i]) == 0)
            return i;
    return -1;
}

bool ReadInt(const rapidjson::Value& value, int low, int high, int& out)
{
    long long number = 0;
    if (value.IsInt())
        number = value.GetInt();
    else if (value.IsString() && value.GetStringLength() > 0 && value.GetStringLength() < 12)
    {
        char* end = nullptr;
        number = std::strtoll(value.GetString(), &end, 10);
        if (*end != '\0' ||
            !(std::isdigit(static_cast<unsigned char>(value.GetString()[0])) || value.GetString()[0] == '-'))
            return false;
    }
    else
        return false;
    if (number < low || number > high)
        return false;
    out = static_cast<int>(number);
    return true;
}
