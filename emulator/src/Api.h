#pragma once
// The conventions of Google's REST front end that both methods share: error
// replies in its shape, {"error":{"code":400,"message":"...","status":"INVALID_ARGUMENT"}},
// and request objects read the way its JSON mapping reads them: a field may be
// spelled lowerCamel or snake_case, and unknown fields are refused so a
// misspelt one does not pass silently.
#include <rapidjson/fwd.h>

#include <initializer_list>
#include <string>

struct ApiError
{
    int httpCode = 0;
    std::string status;
    std::string message;
    // Google adds an ErrorInfo detail to some errors (a bad API key); empty means none.
    std::string reason;
    std::string service;

    bool isSet() const { return httpCode != 0; }
    std::string toJson() const;
    // google.rpc.Code's number for `status`, as an operation's error carries it.
    int rpcCode() const;
};

ApiError invalidArgument(const std::string& message);
ApiError notFound(const std::string& message);
ApiError methodNotAllowed(const std::string& message);
ApiError resourceExhausted(const std::string& message);
ApiError invalidApiKey(const std::string& service);
ApiError missingApiKey();

const rapidjson::Value* findField(const rapidjson::Value& object, const char* camel, const char* snake = nullptr);

// Returns the first member whose name is not listed (in either spelling), or "".
std::string unknownField(const rapidjson::Value& object, std::initializer_list<const char*> known);

// Google's refusal of the first unknown member of `object`, found at `where`
// ("" for the root); no error when every member is known.
ApiError refuseUnknownFields(const rapidjson::Value& object, std::initializer_list<const char*> known,
                             const char* where);

// proto3's JSON mapping of an enum field: the value's name, or its number. The
// index into `names` (which are in number order), or -1 for anything else.
int enumIndex(const rapidjson::Value& value, const char* const* names, int count);

// proto3's JSON mapping of an int32 field: a number, or a string of decimal digits.
// False for anything else, or a value outside [low, high].
bool readInt(const rapidjson::Value& value, int low, int high, int& out);

// Parses a request body that must be one JSON object with only `known` members.
// Iterative, so a deeply nested body cannot exhaust the stack.
ApiError parseRequestObject(const std::string& body, rapidjson::Document& doc,
                            std::initializer_list<const char*> known);
