#pragma once
// The conventions of Google's REST front end that both methods share: error
// replies in its shape, {"error":{"code":400,"message":"...","status":"INVALID_ARGUMENT"}},
// and request objects read the way its JSON mapping reads them: a field may be
// spelled lowerCamel or snake_case, and unknown fields are refused so a
// misspelt one does not pass silently.
#include <rapidjson/fwd.h>

#include <chrono>
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

    bool IsSet() const { return httpCode != 0; }
    std::string ToJson() const;
    // google.rpc.Code's number for `status`, as an operation's error carries it.
    int RpcCode() const;
};

ApiError InvalidArgument(const std::string& message);
ApiError NotFound(const std::string& message);
ApiError MethodNotAllowed(const std::string& message);
ApiError ResourceExhausted(const std::string& message);
ApiError InvalidApiKey(const std::string& service);
ApiError MissingApiKey();
// A call without a bearer token (`missing`), or with one not issued or expired.
ApiError Unauthenticated(bool missing);

const rapidjson::Value* FindField(const rapidjson::Value& object, const char* camel, const char* snake = nullptr);

// Returns the first member whose name is not listed (in either spelling), or "".
std::string UnknownField(const rapidjson::Value& object, std::initializer_list<const char*> known);

// Google's refusal of the first unknown member of `object`, found at `where`
// ("" for the root); no error when every member is known.
ApiError RefuseUnknownFields(const rapidjson::Value& object, std::initializer_list<const char*> known,
                             const char* where);

// proto3's JSON mapping of an enum field: the value's name, or its number. The
// index into `names` (which are in number order), or -1 for anything else.
int EnumIndex(const rapidjson::Value& value, const char* const* names, int count);

// proto3's JSON mapping of an int32 field: a number, or a string of decimal digits.
// False for anything else, or a value outside [low, high].
bool ReadInt(const rapidjson::Value& value, int low, int high, int& out);

// proto3's JSON form of a Timestamp: RFC 3339 in UTC, "2024-05-01T12:00:00.123456Z".
std::string FormatTimestamp(std::chrono::system_clock::time_point when);

// Percent-decoded `text`; with `plusAsSpace`, as a form or query value ('+' a space).
std::string PercentDecoded(const std::string& text, bool plusAsSpace);

// The value of `name` in a query string or an application/x-www-form-urlencoded
// body, decoded; false when it is not there.
bool FormValue(const std::string& form, const std::string& name, std::string& value);

// `value` as compact JSON text.
std::string JsonText(const rapidjson::Value& value);

// Parses a request body that must be one JSON object with only `known` members.
// Iterative, so a deeply nested body cannot exhaust the stack.
ApiError ParseRequestObject(const std::string& body, rapidjson::Document& doc,
                            std::initializer_list<const char*> known);
