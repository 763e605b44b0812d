#pragma once
// Small helpers for reading request objects the way Google's JSON mapping
// does: a field may be spelled lowerCamel or snake_case, and unknown fields
// are refused so a misspelt one does not pass silently.
#include <rapidjson/document.h>

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

inline std::string unknownFieldMessage(const std::string& name, const char* where)
{
    std::string m = "Invalid JSON payload received. Unknown name \"" + name + "\"";
    if (where && *where)
        m += std::string(" at '") + where + "'";
    return m + ": Cannot find field.";
}
