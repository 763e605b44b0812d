#include "ApiError.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

std::string ApiError::toJson() const
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
    if (!reason.empty()) {
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

ApiError invalidArgument(const std::string& message)
{
    return ApiError{400, "INVALID_ARGUMENT", message, "", ""};
}

ApiError notFound(const std::string& message)
{
    return ApiError{404, "NOT_FOUND", message, "", ""};
}

ApiError methodNotAllowed(const std::string& message)
{
    return ApiError{405, "METHOD_NOT_ALLOWED", message, "", ""};
}

ApiError invalidApiKey(const std::string& service)
{
    return ApiError{400, "INVALID_ARGUMENT", "API key not valid. Please pass a valid API key.",
                    "API_KEY_INVALID", service};
}

ApiError missingApiKey()
{
    return ApiError{403, "PERMISSION_DENIED",
                    "Method doesn't allow unregistered callers (callers without established "
                    "identity). Please use API Key or other form of API consumer identity to "
                    "call this API.",
                    "", ""};
}
