// Transcription intake: the body parser, the identifier counter and the table of
// requests in flight, the token comparison, and the TLS wrapper for accepted
// connections.
#include <gtest/gtest.h>

#include <event2/event.h>
#include <event2/http.h>

#include <atomic>
#include <thread>

#include "HttpClient.h"
#include "S2tServerInspector.h"

namespace {

using Parameters = S2tServer::Request::Parameters;

bool Parse(const std::string& body, Parameters& parameters) {
  return S2tServer::ParseTranscribeRequestData(body, parameters);
}

TEST(TranscribeBody, AnythingButOneJsonObjectIsRefused) {
  const std::string refused[] = {"", "  \n", "[]", "\"audio\"", "42", "null", "{", "{} {}", "{}x",
                                 "{\"audio\": \"a\",}", "// c\n{}", "{'audio': 'a'}", "\xEF\xBB\xBF[]"};
  for (const std::string& body : refused) {
    Parameters parameters;
    EXPECT_FALSE(Parse(body, parameters)) << body;
  }
}

TEST(TranscribeBody, MembersAreTakenByNameAndType) {
  Parameters p;
  ASSERT_TRUE(Parse(R"({"language": "en-US", "language": "fr-FR", "audio": "UklGRg==\/",
                        "language-alternatives": ["de-DE", 7, null, "es-ES", ["it-IT"]], "extra": {}})", p));
  EXPECT_EQ(p.m_Language, "en-US");
  EXPECT_EQ(p.m_AudioData, "UklGRg==/");
  EXPECT_EQ(p.m_LanguageAlternatives, (std::vector<std::string>{"de-DE", "es-ES"}));

  Parameters q;
  ASSERT_TRUE(Parse(R"({"language": 5, "language-alternatives": "de-DE", "audio": ["x"]})", q));
  EXPECT_EQ(q.m_Language, "");
  EXPECT_EQ(q.m_AudioData, "");
  EXPECT_TRUE(q.m_LanguageAlternatives.empty());
}

TEST(TranscribeBody, ByteOrderMarkNulAndEmptyObjectAreAccepted) {
  Parameters p;
  EXPECT_TRUE(Parse("\xEF\xBB\xBF{\"language\": \"en\"}", p));
  EXPECT_EQ(p.m_Language, "en");
  Parameters q;
  EXPECT_TRUE(Parse(std::string("{\"audio\": \"ab\\u0000cd\"}\0trailing", 30), q));
  EXPECT_EQ(q.m_AudioData, "ab");
  Parameters r;
  EXPECT_TRUE(Parse("{}", r));
  EXPECT_TRUE(r.m_AudioData.empty() && r.m_Language.empty() && r.m_LanguageAlternatives.empty());
}

TEST(TranscribeBody, DeepNestingDoesNotExhaustTheStack) {
  const size_t depth = 1000000;
  Parameters p;
  std::string nested = "{\"x\": " + std::string(depth, '[') + std::string(depth, ']') + ", \"audio\": \"A\"}";
  EXPECT_TRUE(Parse(nested, p));
  EXPECT_EQ(p.m_AudioData, "A");
  EXPECT_FALSE(Parse("{\"x\": " + std::string(depth, '['), p));
}

TEST(TokenCheck, MatchesOnlyTheWholeValue) {
  EXPECT_TRUE(S2tServer::TokenMatches("secret", "secret"));
  EXPECT_TRUE(S2tServer::TokenMatches("", ""));
  EXPECT_FALSE(S2tServer::TokenMatches("secret", "secreT"));
  EXPECT_FALSE(S2tServer::TokenMatches("secret", "secre"));
  EXPECT_FALSE(S2tServer::TokenMatches("secret", "secret "));
  EXPECT_FALSE(S2tServer::TokenMatches("secret", "Bearer secret"));
  EXPECT_FALSE(S2tServer::TokenMatches("secret", ""));
  EXPECT_FALSE(S2tServer::TokenMatches(std::string("a\0b", 3), std::string("a\0c", 3)));
}

// A request that stays in flight, standing in for one whose cloud calls are pending.
class PendingRequest : public S2tServer::Request {
 public:
  using Request::Request;
  bool Process() override { return true; }
};

class RequestTable : public ::testing::Test {
 protected:
  void SetUp() override { testing::internal::CaptureStdout(); }
  void TearDown() override { testing::internal::GetCapturedStdout(); }
  S2tServer server_{"S2t", false};
  S2tServerInspector inspector_{server_};
};

TEST_F(RequestTable, RefusedBodyDoesNotUseAnIdentifier) {
  EXPECT_FALSE(inspector_.OnTranscribeRequest({}, "[]"));
  EXPECT_EQ(inspector_.LastRequestId(), 0u);
  // A request that cannot start has used its identifier up and left the table.
  EXPECT_FALSE(inspector_.OnTranscribeRequest({{"X-Tarvex-TranID", "t"}}, "{}"));
  EXPECT_EQ(inspector_.LastRequestId(), 1u);
  EXPECT_TRUE(inspector_.RequestMap().empty());
}

TEST_F(RequestTable, IdentifiersWrapAfter999AndSkipThoseInFlight) {
  inspector_.LastRequestId() = 999;
  inspector_.OnTranscribeRequest({}, "{}");
  EXPECT_EQ(inspector_.LastRequestId(), 0u);

  PendingRequest pending(&server_);
  inspector_.RequestMap()[0] = &pending;
  inspector_.RequestMap()[1] = &pending;
  inspector_.OnTranscribeRequest({}, "{}");
  EXPECT_EQ(inspector_.LastRequestId(), 3u);  // took 2
  inspector_.RequestMap().clear();
}

TEST_F(RequestTable, AllIdentifiersInFlightRefusesTheRequest) {
  std::vector<std::unique_ptr<PendingRequest>> pending;
  for (uint64_t id = 0; id < 1000; ++id) {
    pending.emplace_back(new PendingRequest(&server_));
    inspector_.RequestMap()[id] = pending.back().get();
  }
  EXPECT_FALSE(inspector_.OnTranscribeRequest({}, "{}"));
  EXPECT_EQ(inspector_.RequestMap().size(), 1000u);
  inspector_.RequestMap().clear();
}

// When no TLS object can be made for an accepted connection, the connection is
// closed unanswered instead of being served in plain text.
TEST(AcceptedConnections, WithoutTlsObjectAreDroppedUnanswered) {
  event_base* base = event_base_new();
  evhttp* http = evhttp_new(base);
  evhttp_set_bevcb(http, [](event_base* b, void*) { return S2tServer::NewAcceptedBufferevent(b, nullptr); }, nullptr);
  bool served = false;
  evhttp_set_gencb(http, [](evhttp_request* req, void* arg) {
    *static_cast<bool*>(arg) = true;
    evhttp_send_reply(req, 200, "OK", nullptr);
  }, &served);
  evhttp_bound_socket* handle = evhttp_bind_socket_with_handle(http, "127.0.0.1", 0);
  ASSERT_NE(handle, nullptr);
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(evhttp_bound_socket_get_fd(handle), reinterpret_cast<sockaddr*>(&address), &length);
  uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);

  testsupport::HttpResponse response;
  std::atomic<bool> done{false};
  std::thread client([&] {
    response = testsupport::Send("127.0.0.1", port, "GET", "/liveness");
    done = true;
  });
  testing::internal::CaptureStdout();
  while (!done) event_base_loop(base, EVLOOP_ONCE | EVLOOP_NONBLOCK);
  client.join();
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.error.find("timed out"), std::string::npos) << response.error;
  EXPECT_FALSE(served);
  EXPECT_NE(printed.find("Failed to create OpenSSL handle"), std::string::npos);
  evhttp_free(http);
  event_base_free(base);
}

}  // namespace
