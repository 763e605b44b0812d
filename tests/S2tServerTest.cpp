// In-process units of the service: transcription intake with its table of requests
// in flight, and the TLS wrapper of accepted connections.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

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
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
    const std::string request = "GET /liveness HTTP/1.1\r\nHost: x\r\n\r\n";
    send(client, request.data(), request.size(), 0);
    fcntl(client, F_SETFL, O_NONBLOCK);
    testing::internal::CaptureStdout();
    char byte = 0;
    ssize_t got = -1;
    for (int pass = 0; pass < 1000000 && (got = recv(client, &byte, 1, 0)) < 0 && errno == EAGAIN; ++pass)
        event_base_loop(pBase, EVLOOP_NONBLOCK); // the service's side, a pass at a time
    const int error = errno;
    Trace::Flush();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(got == 0 || (got < 0 && error == ECONNRESET)) << got << " " << byte;
    close(client);
    evhttp_free(pHttp);
    event_base_free(pBase);
}

} // namespace
