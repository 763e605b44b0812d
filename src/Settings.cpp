#include "Settings.h"

#include <cstring>

#include <openssl/err.h>
#include <rapidjson/document.h>

// OpenSSL itself calls a file it could not read "system lib"; the error queued
// before that holds the system's own words.
std::string OpenSslReason()
{
    std::string text = "unknown error";
    bool fromSystem = false;
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error())
    {
        const char* reason = ERR_reason_error_string(error);
        if (ERR_SYSTEM_ERROR(error))
            text = strerror(ERR_GET_REASON(error));
        else if (!fromSystem && reason != nullptr)
            text = reason;
        fromSystem = fromSystem || ERR_SYSTEM_ERROR(error);
    }
    return text;
}

void CopyStringMember(const rapidjson::Value& object, const char* name, std::string& out)
{
    rapidjson::Value::ConstMemberIterator member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString())
        return;
    const char* text = member->value.GetString();
    const size_t length = member->value.GetStringLength();
    const void* nul = memchr(text, '\0', length);
    out.assign(text, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length);
}

void CopyUintMember(const rapidjson::Value& object, const char* name, uint64_t& out, uint64_t low, uint64_t high)
{
    rapidjson::Value::ConstMemberIterator member = object.FindMember(name);
    if (member != object.MemberEnd() && member->value.IsUint64() && member->value.GetUint64() >= low &&
        member->value.GetUint64() <= high)
        out = member->value.GetUint64();
}

void CopyBoolMember(const rapidjson::Value& object, const char* name, bool& out)
{
    rapidjson::Value::ConstMemberIterator member = object.FindMember(name);
    if (member != object.MemberEnd() && member->value.IsBool())
        out = member->value.GetBool();
}
