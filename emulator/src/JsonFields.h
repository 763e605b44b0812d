#pragma once
// Small helpers for reading request objects the way Google's JSON mapping
// does: a field may be spelled lowerCamel or snake_case, and unknown fields
// are refused so a misspelt one does not pass silently.
#include "ApiError.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cctype>
#include <initializer_list>
#include <string>

inline const rapidjson::Value* findField(const rapidjson::Value& object, const char* camel,
                                         const char* snake = nullptr)
{
    auto it = object.FindMember(camel);
    if (it == object.MemberEnd() && snake)
        it = object.FindMember(snake);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

// Returns the first member whose name is not listed (in either spelling), or "".
inline std::string unknownField(const rapidjson::Value& object,
                                std::initializer_list<const char*> known)
{
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        std::string name = it->name.GetString();
        std::string camel;
        for (size_t i = 0; i < name.size(); ++i) {
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

// Google's refusal of the first unknown member of `object`, found at `where`
// ("" for the root); no error when every member is known.
inline ApiError refuseUnknownFields(const rapidjson::Value& object, std::initializer_list<const char*> known,
                                    const char* where)
{
    const std::string name = unknownField(object, known);
    if (name.empty())
        return ApiError{};
    std::string m = "Invalid JSON payload received. Unknown name \"" + name + "\"";
    if (where && *where)
        m += std::string(" at '") + where + "'";
    return invalidArgument(m + ": Cannot find field.");
}

// Parses a request body that must be one JSON object with only `known` members.
// Iterative, so a deeply nested body cannot exhaust the stack.
inline ApiError parseRequestObject(const std::string& body, rapidjson::Document& doc,
                                   std::initializer_list<const char*> known)
{
    doc.Parse<rapidjson::kParseIterativeFlag>(body.c_str(), body.size());
    if (doc.HasParseError())
        return invalidArgument(std::string("Invalid JSON payload received. ") +
                               rapidjson::GetParseError_En(doc.GetParseError()));
    if (!doc.IsObject())
        return invalidArgument("Invalid JSON payload received. Expected an object.");
    return refuseUnknownFields(doc, known, "");
}
