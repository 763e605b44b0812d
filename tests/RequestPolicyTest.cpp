// The request policy as tables: a request's head, where it is going and when, and
// what the service decides, before the body and once the request is whole.
#include <gtest/gtest.h>

#include <sstream>

#include "inbound/RequestPolicy.h"

namespace
{

using Endpoint = Metrics::Endpoint;

// The head of `text`, its lines separated by "|", as the connection reads it line by
// line; a Host header is added after the request line unless the text names its own.
RequestHead Head(const std::string& text)
{
    const size_t first = text.find('|');
    const bool hosted = text.find("Host:") != std::string::npos || text.find("host:") != std::string::npos;
    const std::string lines =
        hosted ? text : text.substr(0, first) + "|Host: x" + (first == std::string::npos ? "" : text.substr(first));
    RequestHead head;
    std::istringstream stream(lines + "||");
    std::string line;
    while (std::getline(stream, line, '|') && !head.TakeLine(line))
    {
    }
    return head;
}

std::string Said(const Decision& decision)
{
    return decision.Served() ? "served"
                             : std::to_string(decision.status) + (decision.close ? " close " : " ") + decision.fault;
}

PolicySettings Tokens()
{
    PolicySettings settings;
    settings.clientAuthToken = "c";
    settings.adminAuthToken = "a";
    settings.metricsAuthToken = "m";
    return settings;
}

struct Policy : testing::Test
{
    RequestPolicy policy{Tokens(), 1000};
};

TEST_F(Policy, DecidesAWholeRequestWithOneRuleForTheTokens)
{
    const struct
    {
        std::string head;
        Endpoint endpoint;
        bool draining;
        bool begunBeforeStop;
        std::string said;
    } cases[] = {
        {"POST /transcribe HTTP/1.1|Authorization: c|Content-Length: 5", Endpoint::Transcribe, false, true, "served"},
        {"POST /transcribe HTTP/1.1|authorization: c", Endpoint::Transcribe, false, true, "served"},
        {"POST /transcribe HTTP/1.1|Authorization: c|Authorization: x", Endpoint::Transcribe, false, true, "401 "},
        {"POST /transcribe HTTP/1.1|Authorization: x|Authorization:  c ", Endpoint::Transcribe, false, true, "served"},
        {"POST /transcribe HTTP/1.1|Authorization: a", Endpoint::Transcribe, false, true, "401 "},
        {"GET /exit HTTP/1.1|Authorization: a", Endpoint::Exit, false, true, "served"},
        {"GET /exit HTTP/1.1|Authorization: c", Endpoint::Exit, false, true, "401 "},
        {"GET /metrics HTTP/1.1|Authorization: m", Endpoint::Metrics, true, false, "served"},
        {"GET /metrics HTTP/1.1|authorization: m", Endpoint::Metrics, false, true, "served"},
        {"GET /liveness HTTP/1.1", Endpoint::Liveness, true, false, "served"},
        {"GET /readiness HTTP/1.1", Endpoint::Readiness, false, true, "served"},
        {"GET /readiness HTTP/1.1", Endpoint::Readiness, true, true, "503 "},
        // While draining, a transcription that began before the stop is still served.
        {"POST /transcribe HTTP/1.1|Authorization: c", Endpoint::Transcribe, true, true, "served"},
        {"POST /transcribe HTTP/1.1|Authorization: c", Endpoint::Transcribe, true, false, "503 "},
        // Framing a proxy in front could read otherwise comes first, wherever it goes.
        {"POST /exit HTTP/1.1|Content-Length: 1|content-length: 1", Endpoint::Exit, false, true,
         "400 close more than one Content-Length"},
        {"POST /transcribe HTTP/1.1|Content-Length: 03", Endpoint::Transcribe, true, false,
         "400 close a Content-Length that is not a plain decimal number"},
        {"GET /metrics HTTP/1.1|Content-Length: 7", Endpoint::Metrics, false, true,
         "400 close a body on a method that carries none"},
        {"HEAD /liveness HTTP/1.1|Content-Length: 0", Endpoint::Liveness, false, true, "served"},
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
    EXPECT_EQ(Said(RequestPolicy(PolicySettings(), 0).Decide(Head("GET /exit HTTP/1.1"), Endpoint::Exit, Situation())),
              "served");
}

// Every head, a pipelined one too, before its body: nothing of it is reserved or read.
TEST_F(Policy, RefusesAHeadNoProxyWouldReadAsItDoesAndABodyItDoesNotTake)
{
    const std::pair<std::string, std::string> cases[] = {
        {"POST /transcribe HTTP/1.1|Authorization: c|Content-Length: 1000", "served"},
        {"POST /transcri%62e?x=1 HTTP/1.1|Authorization: x", "401 close "},
        {"POST /transcribe HTTP/1.1", "401 close "},
        {"GET /exit HTTP/1.1", "served"},
        // A body where none is taken, however the target is written.
        {"POST /liveness HTTP/1.1|Content-Length: 268435456", "413 close a body where none is taken"},
        {"POST http://h/transcribe HTTP/1.1|Authorization: c|Content-Length: 1001",
         "413 close a body over max-body-size"},
        {"POST http://h/liveness?x HTTP/1.1|Content-Length: 5", "413 close a body where none is taken"},
        {"POST /transcribe#x HTTP/1.1|Authorization: c|Transfer-Encoding: chunked", "served"},
        {"PUT /other HTTP/1.1|Transfer-Encoding: chunked", "413 close a body where none is taken"},
        {"POST /transcribe HTTP/1.1|Authorization: c|Expect: 100-continue|Content-Length: 5000",
         "413 close a body over max-body-size"},
        // Framing: names, lengths, codings, hosts, bytes.
        {"POST /transcribe HTTP/1.1|Content-Length : 5", "400 close white space before a header's colon"},
        {"POST /transcribe HTTP/1.1|Content-Length\t: 5", "400 close white space before a header's colon"},
        {"POST /transcribe HTTP/1.1|Content-Length 5", "400 close a header line without a name and a colon"},
        {"POST /transcribe HTTP/1.1|Authorization: c|Transfer-Encoding: xchunked",
         "501 close a transfer coding other than chunked"},
        {"POST /transcribe HTTP/1.1|Content-Length: 12345678901234567890123",
         "400 close a Content-Length that is not a plain decimal number"},
        {"POST /transcribe HTTP/1.1|Content-Length: +38",
         "400 close a Content-Length that is not a plain decimal number"},
        {"POST /transcribe HTTP/1.1|Content-Length: 3|Transfer-Encoding: chunked",
         "400 close both Content-Length and Transfer-Encoding"},
        {"GET /liveness HTTP/1.1|User-Agent: x", "served"},
        {"GET /liveness HTTP/1.1|Host: a|Host: b", "400 close no Host, or more than one"},
        {"GET /liveness HTTP/1.0|X: y", "served"},
        {"DELETE /exit HTTP/1.1|Transfer-Encoding: chunked", "400 close a body on a method that carries none"},
        {std::string("GET /liveness HTTP/1.1|X: a\0b", 29), "400 close a NUL in its head"},
    };
    for (const auto& [head, said] : cases)
        EXPECT_EQ(Said(policy.BeforeBody(Head(head))), said) << head;
    RequestHead hostless;
    for (const char* line : {"GET /liveness HTTP/1.1", ""})
        hostless.TakeLine(line);
    EXPECT_EQ(Said(policy.BeforeBody(hostless)), "400 close no Host, or more than one");
    EXPECT_EQ(Head("POST /t HTTP/1.1|Content-Length: 12|Content-Length: x").ContentLength(), 12);
}

TEST(OpenEndpoints, AreThoseWithoutATokenOnAListenerOthersCanReach)
{
    PolicySettings open, admin;
    admin.adminAuthToken = "a";
    for (const char* address : {"127.0.0.1", "127.8.9.10", "localhost", "::1"})
        EXPECT_EQ(RequestPolicy::OpenEndpoints(open, address), 0u) << address;
    for (const char* address : {"", "0.0.0.0", "::", "10.1.2.3", "s2t.example"})
    {
        EXPECT_EQ(RequestPolicy::OpenEndpoints(open, address), 2u) << address;
        EXPECT_EQ(RequestPolicy::OpenEndpoints(admin, address), 1u) << address;
    }
}

} // namespace
