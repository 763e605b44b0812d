// In-process units of the service: transcription intake with its table of requests
// in flight, and the TLS wrapper of accepted connections.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <event2/event.h>
#include <event2/http.h>

#include "base/Trace.h"
#include "inbound/ListenerTls.h"
#include "service/S2tServer.h"

// Test access to the service's private state.
struct S2tServerInspector
{
    bool TakeRequestId(uint64_t& id) { return s.TakeRequestId(id); }
    uint64_t& LastId() { return s.m_LastRequestId; }
    std::map<uint64_t, S2tServer::Request>& Table() { return s.m_RequestMap; }

    S2tServer s{"S2t", false};
};

namespace
{

using Parameters = Transcription::Parameters;

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
    uint64_t id = 7;
    EXPECT_TRUE(inspector.TakeRequestId(id));
    EXPECT_EQ(id, 0u);
    inspector.LastId() = 999;
    EXPECT_TRUE(inspector.TakeRequestId(id));
    EXPECT_EQ(id, 999u);
    EXPECT_EQ(inspector.LastId(), 0u);

    // Entries stand in for requests whose cloud calls are pending.
    inspector.Table()[0];
    inspector.Table()[1];
    EXPECT_TRUE(inspector.TakeRequestId(id));
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(inspector.LastId(), 3u);

    for (uint64_t inFlight = 0; inFlight < 1000; ++inFlight)
        inspector.Table()[inFlight];
    testing::internal::CaptureStdout();
    EXPECT_FALSE(inspector.TakeRequestId(id));
    Trace::Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No free request identifier: 1000 requests in flight\n");
    inspector.Table().clear();
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
        pHttp, [](event_base* pEventBase, void*) { return NewAcceptedBufferevent(pEventBase, nullptr); }, nullptr);
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
    testing::internal::CaptureStdout();
    event_base_dispatch(pBase);
    Trace::Flush();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.error, EVREQ_HTTP_EOF);
    evhttp_connection_free(pClient);
    evhttp_free(pHttp);
    event_base_free(pBase);
}

} // namespace
