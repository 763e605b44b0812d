#include "Faults.h"

#include <cstdlib>
#include <cstring>

namespace
{

// The transient errors Google's client libraries try again, as its front end words them.
const FaultAnswer kAnswers[] = {
    {429, "RESOURCE_EXHAUSTED", "Resource has been exhausted (e.g. check quota).", "rateLimitExceeded"},
    {500, "INTERNAL", "Internal error encountered.", "backendError"},
    {503, "UNAVAILABLE", "The service is currently unavailable.", "backendError"},
    {504, "DEADLINE_EXCEEDED", "Deadline expired before operation could complete.", "gatewayTimeout"},
};

const char* const kMethodNames[] = {
    "recognize", "longrunningrecognize", "operations", "analyzeSentiment", "upload", "delete", "token"};

const FaultAnswer* AnswerFor(int code)
{
    for (const FaultAnswer& answer : kAnswers)
        if (answer.code == code)
            return &answer;
    return nullptr;
}

// A whole decimal number from 1 to 1000000; 0 for anything else.
int Number(const std::string& text)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= 1 && value <= 1000000 ? static_cast<int>(value) : 0;
}

} // namespace

bool Faults::Parse(const std::string& text, FaultRule& rule, std::string& why)
{
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos)
    {
        why = "wants METHOD:N:CODE, such as recognize:3:503";
        return false;
    }
    rule.method = text.substr(0, first);
    rule.every = Number(text.substr(first + 1, second - first - 1));
    rule.code = Number(text.substr(second + 1));
    bool known = false;
    for (const char* name : kMethodNames)
        known = known || rule.method == name;
    if (!known)
        why = std::string("names no method of ") + kMethods;
    else if (rule.every == 0)
        why = "wants N, the calls from one fault to the next, from 1 to 1000000";
    else if (!AnswerFor(rule.code))
        why = std::string("wants a CODE of ") + kCodes;
    return why.empty();
}

Faults::Faults(std::vector<FaultRule> rules)
    : m_Rules(std::move(rules))
{
}

const FaultAnswer* Faults::Next(const std::string& method)
{
    const uint64_t call = ++m_Calls[method];
    for (const FaultRule& rule : m_Rules)
    {
        if (rule.method == method && call % static_cast<uint64_t>(rule.every) == 0)
        {
            ++m_Answered["method=\"" + method + "\",code=\"" + std::to_string(rule.code) + "\""];
            return AnswerFor(rule.code);
        }
    }
    return nullptr;
}
