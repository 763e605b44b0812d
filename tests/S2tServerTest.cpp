// In-process units of the service: the configuration loader, transcription intake
// with its table of requests in flight, and the TLS wrapper of accepted connections.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <event2/event.h>
#include <event2/http.h>

#include "GcClient.h"
#include "S2tServer.h"
#include "Trace.h"

// What `action` writes to the trace, flushed before and after so that no earlier line counts.
template <typename Action>
std::string Traced(Action action)
{
    Trace::Flush();
    testing::internal::CaptureStdout();
    action();
    Trace::Flush();
    return testing::internal::GetCapturedStdout();
}

// Test access to the service's private state.
struct S2tServerInspector
{
    S2tServerInspector() { s.m_pGcClient = new GcClient("GC", &s); }
    ~S2tServerInspector() { s.Cleanup(); }

    // Every setting the loader can change, on one line.
    std::string Settings() const
    {
        const GcClient& c = *s.m_pGcClient;
        return s.m_Address + "|" + std::to_string(s.m_Port) + "|" + (s.m_Secure ? "secure" : "plain") + "|" +
               s.m_CertChain + "|" + s.m_PrivateKey + "|" + s.m_ClientAuthToken + "|" + s.m_AdminAuthToken + "|" +
               c.GetServiceAccount() + "|" + c.GetSpeechServiceEndpoint() + "|" + c.GetLanguageServiceEndpoint() + "|" +
               c.GetAccessKey();
    }

    // Loads `text` as the configuration file: what the loader printed, and the settings.
    std::string Load(const std::string& text)
    {
        // Named for the process: tests run side by side, here and in other checkouts.
        const std::string path = testing::TempDir() + "s2t-config-" + std::to_string(getpid()) + ".json";
        std::ofstream(path, std::ios::binary) << text;
        bool loaded = false;
        const std::string printed = Traced([&] { loaded = s.LoadConfig(path); });
        std::remove(path.c_str());
        return (loaded ? "" : "refused: ") + printed + Settings();
    }

    // Intake of one body; no endpoint is configured, so no request stays in flight.
    bool Intake(std::string body) { return s.OnTranscribeRequest(nullptr, {}, body); }
    bool LoadConfig(const std::string& path) { return s.LoadConfig(path); }
    std::string Limits() const
    {
        return std::to_string(s.m_pGcClient->GetCallTimeout()) + "|" +
               std::to_string(s.m_pGcClient->GetLongRunningTimeout()) + "|" + std::to_string(s.m_Stop.DrainTimeout()) +
               "|" + std::to_string(Trace::Out().Capacity());
    }
    uint64_t& LastId() { return s.m_LastRequestId; }
    std::map<uint64_t, S2tServer::Request*>& Table() { return s.m_RequestMap; }

    S2tServer s{"S2t", false};
};

namespace
{

const char* const kDefaults = "|1080|plain||||||||";

TEST(ConfigLoader, TakesEachKnownKeyOfItsOwnTypeFromOneJsonObject)
{
    const std::pair<std::string, std::string> cases[] = {
        {"{}", kDefaults},
        {R"({"http-server": {"address": "127.0.0.1", "port": 8443, "secure": true, "certificate-chain": "c.pem",
             "private-key": "k.pem", "client-auth-token": "ct", "admin-auth-token": "at", "unknown": [1]},
             "google-cloud": {"service-account": "sa", "speech-service-endpoint": "https://s/v1",
             "language-service-endpoint": "http://l:81/v1", "access-key": "k&y 1"}, "other": {}})",
         "127.0.0.1|8443|secure|c.pem|k.pem|ct|at|sa|https://s/v1|http://l:81/v1|k&y 1"},
        {R"({"http-server": {"secure": "true", "address": 7, "client-auth-token": ["x"], "admin-auth-token": null},
             "google-cloud": {"access-key": 5, "speech-service-endpoint": {}, "service-account": false}})",
         kDefaults},
        {R"({"http-server": [{"port": 9}], "google-cloud": "access-key"})", kDefaults},
        {R"({"http-server": {"port": 1, "port": 2, "admin-auth-token": "a", "admin-auth-token": "b"},
             "http-server": {"port": 3}})",
         "|1|plain||||a||||"},
        {R"({"http-server": {"client-auth-token": "ab\u0000cd"}, "google-cloud": {"access-key": "k\u0000"}})",
         "|1080|plain|||ab|||||k"},
        {"", std::string("refused: Error  : 1\nOffset : 0\n") + kDefaults},
        {"{} {}", std::string("refused: Error  : 2\nOffset : 3\n") + kDefaults},
        {"{\"a\": 1,}", std::string("refused: Error  : 4\nOffset : 8\n") + kDefaults},
        {"// note\n{}", std::string("refused: Error  : 3\nOffset : 0\n") + kDefaults},
        {"[]", std::string("refused: Error  : configuration root is not an object\n") + kDefaults},
        {"null", std::string("refused: Error  : configuration root is not an object\n") + kDefaults},
    };
    for (const auto& c : cases)
        EXPECT_EQ(S2tServerInspector().Load(c.first), c.second) << c.first;
    // The port is an unsigned integer, of which the low 16 bits count.
    const std::pair<std::string, std::string> ports[] = {
        {"0", "0"},           {"65535", "65535"}, {"65536", "0"},  {"70000", "4464"}, {"4294967295", "65535"},
        {"\"8080\"", "1080"}, {"80.0", "1080"},   {"8e1", "1080"}, {"-1", "1080"},    {"4294967296", "1080"}};
    for (const auto& [port, taken] : ports)
        EXPECT_EQ(S2tServerInspector().Load(R"({"http-server": {"port": )" + port + "}}"),
                  "|" + taken + "|plain||||||||")
            << port;
    S2tServerInspector inspector;
    EXPECT_EQ(Traced([&] { EXPECT_FALSE(inspector.LoadConfig(testing::TempDir() + "missing/brivel.json")); }),
              "Could not open file for reading!\n");
}

// Time-outs and sizes count only within their range; any other value, like another type, leaves the default.
TEST(ConfigLoader, TakesLimitsOnlyWithinTheirRange)
{
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "5|600|30|67108864"},
        {R"({"google-cloud": {"call-timeout": 20, "long-running-timeout": 1}, "http-server": {"drain-timeout": 0,
             "trace-buffer-size": 65536}})",
         "20|1|0|65536"},
        {R"({"google-cloud": {"call-timeout": 3600, "long-running-timeout": 86400}, "http-server": {"drain-timeout":
             86400, "trace-buffer-size": 1073741824}})",
         "3600|86400|86400|1073741824"},
        {R"({"google-cloud": {"call-timeout": 0, "long-running-timeout": 0}, "http-server": {"drain-timeout": -1,
             "trace-buffer-size": 65535}})",
         "5|600|30|67108864"},
        {R"({"google-cloud": {"call-timeout": 3601, "long-running-timeout": 86401}, "http-server": {"drain-timeout":
             86401, "trace-buffer-size": 1073741825}})",
         "5|600|30|67108864"},
        {R"({"google-cloud": {"call-timeout": "20", "long-running-timeout": 2.5}, "http-server": {"drain-timeout":
             true, "trace-buffer-size": "65536"}})",
         "5|600|30|67108864"},
    };
    for (const auto& [config, taken] : cases)
    {
        S2tServerInspector inspector;
        inspector.Load(config);
        EXPECT_EQ(inspector.Limits(), taken) << config;
    }
}

using Parameters = S2tServer::Request::Parameters;

// The parsed members on one line, or "refused".
std::string Parse(std::string body)
{
    Parameters p;
    if (!S2tServer::ParseTranscribeRequestData(body, p))
        return "refused";
    std::string line = p.m_AudioData + "|" + p.m_Language + "|";
    for (const std::string& alternative : p.m_LanguageAlternatives)
        line += alternative + ",";
    return line;
}

// `count` times `text`, each followed by `separator` (between them only when it is ",").
std::string Repeated(const std::string& text, size_t count, const std::string& separator = "")
{
    std::string all;
    for (size_t i = 0; i < count; ++i)
        all += (i > 0 && separator.empty() ? "," : "") + text + separator;
    return all;
}

TEST(TranscribeBody, TakesMembersByNameAndTypeFromOneJsonObject)
{
    const size_t depth = 1000000;
    const std::pair<std::string, std::string> cases[] = {
        {R"({"language": "en-US", "language": "fr-FR", "audio": "UklGRg==\/",
             "language-alternatives": ["de-DE", 7, null, "es-ES", ["it-IT"]], "extra": {}})",
         "UklGRg==/|en-US|de-DE,es-ES,"},
        {R"({"language": 5, "language-alternatives": "de-DE", "audio": ["x"]})", "||"},
        {"{}", "||"},
        {"\xEF\xBB\xBF{\"language\": \"en\"}", "|en|"},
        {std::string("{\"audio\": \"ab\\u0000cd\"}\0trailing", 30), "ab||"},
        // Alternatives only from an array, their nested values passed over.
        {R"({"language-alternatives": {"a": "de-DE"}, "audio": {"b": "x"}, "language": [["en"]]})", "||"},
        {R"({"language-alternatives": [{"a": "x"}, "de-DE", [[]]], "x": {"language": "no"}})", "||de-DE,"},
        // Bounded before anything large is built: nesting, alternatives, values.
        {"{\"x\": [[[[1]]]], \"audio\": \"A\"}", "A||"},
        {"{\"x\": [[[[[1]]]]], \"audio\": \"A\"}", "refused"},
        {"{\"x\": " + std::string(depth, '[') + std::string(depth, ']') + ", \"audio\": \"A\"}", "refused"},
        {"{\"language-alternatives\": [" + Repeated("\"\"", 64) + "]}", "||" + Repeated("", 64, ",")},
        {"{\"language-alternatives\": [" + Repeated("\"\"", 65) + "]}", "refused"},
        {"{\"language-alternatives\": [" + Repeated("7", 65) + "]}", "refused"},
        {"{\"x\": [" + Repeated("1", 1022) + "]}", "||"},
        {"{\"x\": [" + Repeated("1", 1023) + "]}", "refused"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parse(c.first), c.second) << c.first.substr(0, 80);
    for (const char* body : {"", "  \n", "[]", "\"audio\"", "42", "null", "{", "{} {}", "{}x", "{\"audio\": \"a\",}",
                             "// c\n{}", "{'audio': 'a'}", "\xEF\xBB\xBF[]"})
        EXPECT_EQ(Parse(body), "refused") << body;
}

TEST(RequestTable, IdentifiersWrapAfter999AndPassOverThoseInFlight)
{
    S2tServerInspector inspector;
    testing::internal::CaptureStdout();
    // A refused body uses no identifier; a request that cannot start uses one up.
    EXPECT_FALSE(inspector.Intake("[]"));
    EXPECT_EQ(inspector.LastId(), 0u);
    EXPECT_FALSE(inspector.Intake("{}"));
    EXPECT_EQ(inspector.LastId(), 1u);

    inspector.LastId() = 999;
    inspector.Intake("{}");
    EXPECT_EQ(inspector.LastId(), 0u);

    // Entries stand in for requests whose cloud calls are pending.
    inspector.Table()[0] = nullptr;
    inspector.Table()[1] = nullptr;
    inspector.Intake("{}");
    EXPECT_EQ(inspector.LastId(), 3u); // took 2

    for (uint64_t id = 0; id < 1000; ++id)
        inspector.Table()[id] = nullptr;
    EXPECT_FALSE(inspector.Intake("{}"));
    EXPECT_EQ(inspector.Table().size(), 1000u);
    inspector.Table().clear();
    Trace::Flush();
    testing::internal::GetCapturedStdout();
}

struct Outcome
{
    event_base* pBase;
    int status;
    int error;
};

// A connection whose TLS object cannot be made is closed unanswered, not served
// in plain text.
TEST(AcceptedConnection, WithoutTlsObjectIsClosedUnanswered)
{
    event_base* pBase = event_base_new();
    evhttp* pHttp = evhttp_new(pBase);
    evhttp_set_bevcb(
        pHttp, [](event_base* pEventBase, void*) { return Inbound::NewAcceptedBufferevent(pEventBase, nullptr); },
        nullptr);
    evhttp_bound_socket* pSocket = evhttp_bind_socket_with_handle(pHttp, "127.0.0.1", 0);
    ASSERT_NE(pSocket, nullptr);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(evhttp_bound_socket_get_fd(pSocket), reinterpret_cast<sockaddr*>(&address), &length);

    Outcome outcome{pBase, -1, -1};
    evhttp_connection* pClient = evhttp_connection_base_new(pBase, nullptr, "127.0.0.1", ntohs(address.sin_port));
    evhttp_connection_set_timeout(pClient, 20); // hang guard
    evhttp_request* pRequest = evhttp_request_new(
        [](evhttp_request* req, void* pArg) {
            static_cast<Outcome*>(pArg)->status = req != nullptr ? evhttp_request_get_response_code(req) : 0;
            event_base_loopbreak(static_cast<Outcome*>(pArg)->pBase);
        },
        &outcome);
    evhttp_request_set_error_cb(
        pRequest, [](evhttp_request_error error, void* pArg) { static_cast<Outcome*>(pArg)->error = error; });
    evhttp_make_request(pClient, pRequest, EVHTTP_REQ_GET, "/liveness");
    Traced([&] { event_base_dispatch(pBase); });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.error, EVREQ_HTTP_EOF);
    evhttp_connection_free(pClient);
    evhttp_free(pHttp);
    event_base_free(pBase);
}

} // namespace
