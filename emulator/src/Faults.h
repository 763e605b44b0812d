#pragma once
// Faults answered on purpose (--fail METHOD:N:CODE): every Nth call of a method gets
// a transient error in Google's shape, so that a client's retries can be watched end
// to end. Methods are named as the service's metrics name them. Loop thread only.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct FaultRule
{
    std::string method; // "recognize", "upload", ...
    int every = 0;      // the Nth call, the 2Nth, ...
    int code = 0;       // HTTP status: 429, 500, 503 or 504
};

// What a fault's answer says: Google's status and message, and Cloud Storage's reason.
struct FaultAnswer
{
    int code = 0;
    const char* status = "";
    const char* message = "";
    const char* storageReason = "";
};

class Faults
{
public:
    static constexpr const char* kMethods = "recognize, longrunningrecognize, operations, analyzeSentiment, upload, "
                                            "delete, token";
    static constexpr const char* kCodes = "429, 500, 503 or 504";

    // "recognize:3:503"; false, with why, for anything else.
    static bool Parse(const std::string& text, FaultRule& rule, std::string& why);

    explicit Faults(std::vector<FaultRule> rules);

    // Counts a call of `method`: the fault to answer it with, or null when it is
    // answered as usual.
    const FaultAnswer* Next(const std::string& method);
    // Faults answered, by `method="...",code="..."`.
    const std::map<std::string, uint64_t>& Answered() const { return m_Answered; }

private:
    std::vector<FaultRule> m_Rules;
    std::map<std::string, uint64_t> m_Calls;
    std::map<std::string, uint64_t> m_Answered;
};
