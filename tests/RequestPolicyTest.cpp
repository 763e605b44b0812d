// The request policy as a table: a request's head, where it is going and when, and
// what the service decides.
#include <gtest/gtest.h>

#include <sstream>

#include "inbound/RequestPolicy.h"

namespace
{

using Endpoint = Metrics::Endpoint;

// The head of `text`, its lines separated by "|", as the connection reads it line by line.
RequestHead Head(const std::string& text)
{
    RequestHead head;
    std::istringstream lines(text + "||");
    std::string line;
    while (std::getline(lines, line, '|') && !head.TakeLine(line))
    {
    }
    return head;
}

std::string Said(const Decision& decision)
{
    return decision.Served() ? "served"
                             : std::to_string(decision.status) + (decision.close ? " close " : " ") + decision.fault;
}

TEST(RequestPolicy, DecidesFromTheHeadWithOneRuleForTheTokens)
{
    PolicySettings settings;
    settings.clientAuthToken = "c";
    settings.adminAuthToken = "a";
    settings.metricsAuthToken = "m";
    const RequestPolicy policy(settings);
    const struct
    {
        std::string head;
        Endpoint endpoint;
        bool draining;
        bool begunBeforeStop;
        std::string said;
    } cases[] = {
        {"POST /transcribe HTTP/1.1|Authorization: c|Content-Length: 5", Endpoint::Transcribe, false, true, "served"},
        {"POST /transcribe HTTP/1.1|authorization: c", Endpoint::Transcribe, false, true, "401 "},
        {"POST /transcribe HTTP/1.1|Authorization: c|Authorization: x", Endpoint::Transcribe, false, true, "401 "},
        {"POST /transcribe HTTP/1.1|Authorization: x|Authorization:  c ", Endpoint::Transcribe, false, true, "served"},
        {"POST /transcribe HTTP/1.1|Authorization: a", Endpoint::Transcribe, false, true, "401 "},
        {"GET /exit HTTP/1.1|Authorization: a", Endpoint::Exit, false, true, "served"},
        {"GET /exit HTTP/1.1|Authorization: c", Endpoint::Exit, false, true, "401 "},
        {"GET /metrics HTTP/1.1|Authorization: m", Endpoint::Metrics, true, false, "served"},
        {"GET /metrics HTTP/1.1|authorization: m", Endpoint::Metrics, false, true, "401 "},
        {"GET /liveness HTTP/1.1", Endpoint::Liveness, true, false, "served"},
        {"GET /readiness HTTP/1.1", Endpoint::Readiness, false, true, "served"},
        {"GET /readiness HTTP/1.1", Endpoint::Readiness, true, true, "503 "},
        // While draining, a transcription that began before the stop is still served.
        {"POST /transcribe HTTP/1.1|Authorization: c", Endpoint::Transcribe, true, true, "served"},
        {"POST /transcribe HTTP/1.1|Authorization: c", Endpoint::Transcribe, true, false, "503 "},
        {"POST /transcribe HTTP/1.1", Endpoint::Transcribe, true, false, "503 "},
        // Framing a proxy in front could read otherwise comes first, wherever it goes.
        {"POST /exit HTTP/1.1|Content-Length: 1|content-length: 1", Endpoint::Exit, false, true,
         "400 close more than one Content-Length"},
        {"POST /transcribe HTTP/1.1|Content-Length: +3", Endpoint::Transcribe, false, true,
         "400 close a Content-Length that is not a plain decimal number"},
        {"POST /transcribe HTTP/1.1|Content-Length: 03", Endpoint::Transcribe, true, false,
         "400 close a Content-Length that is not a plain decimal number"},
        {"POST /readiness HTTP/1.1|Content-Length: 3|Transfer-Encoding: chunked", Endpoint::Readiness, false, true,
         "400 close both Content-Length and Transfer-Encoding"},
        {"GET /liveness HTTP/1.1|Content-Length: 1", Endpoint::Liveness, false, true,
         "400 close a body on a method that carries none"},
        {"DELETE /exit HTTP/1.1|Transfer-Encoding: chunked", Endpoint::Exit, false, true,
         "400 close a body on a method that carries none"},
        {"GET /metrics HTTP/1.1|Content-Length: 7", Endpoint::Metrics, false, true,
         "400 close a body on a method that carries none"},
        {"HEAD /liveness HTTP/1.1|Content-Length: 0", Endpoint::Liveness, false, true, "served"},
        {"PUT /liveness HTTP/1.1|Content-Length: 0", Endpoint::Liveness, false, true, "served"},
        {"GET /nowhere HTTP/1.1|Content-Length: 1|Content-Length: 2", Endpoint::Other, true, false, "served"},
    };
    for (const auto& c : cases)
    {
        Situation situation;
        situation.draining = c.draining;
        situation.begunBeforeStop = c.begunBeforeStop;
        EXPECT_EQ(Said(policy.Decide(Head(c.head), c.endpoint, situation)), c.said) << c.head;
    }
    // Without a valid access token the service cannot call the cloud: not ready, but alive.
    Situation noToken;
    noToken.cloudReady = false;
    EXPECT_EQ(Said(policy.Decide(Head("GET /readiness HTTP/1.1"), Endpoint::Readiness, noToken)), "503 ");
    EXPECT_EQ(Said(policy.Decide(Head("GET /liveness HTTP/1.1"), Endpoint::Liveness, noToken)), "served");

    // Before the body: only a transcription without its token, by the path libevent routes.
    for (const auto& [head, said] : {std::pair{"POST /transcribe HTTP/1.1", "401 "},
                                     {"POST /transcri%62e?x=1 HTTP/1.1|Authorization: x", "401 "},
                                     {"POST /transcribe HTTP/1.1|Authorization: c", "served"},
                                     {"GET /exit HTTP/1.1", "served"},
                                     {"POST /other HTTP/1.1", "served"}})
        EXPECT_EQ(Said(policy.BeforeBody(Head(head))), said) << head;
    EXPECT_EQ(Head("POST /t HTTP/1.1|Content-Length: 12|Content-Length: x").ContentLength(), 12);
    EXPECT_EQ(Head("POST /t HTTP/1.1|Content-Length: 99999999999999999999").ContentLength(), 0);
    EXPECT_EQ(Said(RequestPolicy(PolicySettings()).Decide(Head("GET /exit HTTP/1.1"), Endpoint::Exit, Situation())),
              "served");
}

} // namespace
