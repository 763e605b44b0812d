// End-to-end behaviour of the service core: start-up and its failures, the probes,
// authorisation, the trace, refused bodies and the orderly stop, over HTTP and HTTPS.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ServiceProcess.h"
#include "TestPki.h"

namespace {

using testsupport::ClientOptions;
using testsupport::Header;
using testsupport::HttpResponse;
using testsupport::ServiceProcess;

int CountOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string StartUpOutput(const std::string& configPath, const std::string& lines) {
  return "Starting S2T server version [0.1] config file [" + configPath + "]\n" + lines +
         "Failed to create service\n";
}

TEST(StartUp, UnusableConfigurationEndsWithStatus255) {
  struct Case {
    const char* content;
    const char* lines;
  } cases[] = {
      {"", "Error  : 1\nOffset : 0\n"},
      {"{\"http-server\": {}} trailing", "Error  : 2\nOffset : 20\n"},
      {"/* comment */ {}", "Error  : 3\nOffset : 0\n"},
  };
  for (const Case& c : cases) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start({service.WriteFile("config.json", c.content)}));
    EXPECT_EQ(service.WaitForExit(), 255);
    EXPECT_EQ(service.Output(), StartUpOutput(service.Dir() + "/config.json", c.lines));
  }

  ServiceProcess notAnObject;
  ASSERT_TRUE(notAnObject.Start({notAnObject.WriteFile("config.json", "[{\"http-server\": {}}]")}));
  EXPECT_EQ(notAnObject.WaitForExit(), 255);
  EXPECT_NE(notAnObject.Output().find("Failed to create service\n"), std::string::npos);
  EXPECT_EQ(notAnObject.Output().find("Start HTTP event loop"), std::string::npos);
}

TEST(StartUp, DefaultPathIsBrivelJsonAndExtraArgumentsAreIgnored) {
  ServiceProcess missing;
  ASSERT_TRUE(missing.Start({}));
  EXPECT_EQ(missing.WaitForExit(), 255);
  EXPECT_EQ(missing.Output(), StartUpOutput("brivel.json", "Could not open file for reading!\n"));

  ServiceProcess service;
  uint16_t port = testsupport::FreeLoopbackPort();
  service.WriteFile("brivel.json", "{\"http-server\": {\"address\": \"127.0.0.1\", \"port\": " +
                                       std::to_string(port) + "}}");
  ASSERT_TRUE(service.Start({"brivel.json", "ignored.json", "--flag"}));
  ASSERT_TRUE(service.WaitForOutput("Start HTTP event loop <S2t>\n"));
  EXPECT_EQ(testsupport::Send("127.0.0.1", port, "GET", "/readiness").status, 200);
  EXPECT_EQ(testsupport::Send("127.0.0.1", port, "GET", "/exit").status, 200);
  EXPECT_EQ(service.WaitForExit(), 0);
  EXPECT_EQ(service.Output().rfind("Starting S2T server version [0.1] config file [brivel.json]\n"
                                   "Start HTTP event loop <S2t>\n", 0), 0u);
}

TEST(StartUp, PortInUseEndsWithStatus255) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  std::string port = std::to_string(ntohs(address.sin_port));

  ServiceProcess service;
  std::string path = service.WriteFile("config.json",
                                       "{\"http-server\": {\"address\": \"127.0.0.1\", \"port\": " + port + "}}");
  ASSERT_TRUE(service.Start({path}));
  EXPECT_EQ(service.WaitForExit(), 255);
  EXPECT_NE(service.Output().find("Couldn't bind to 127.0.0.1:" + port + "\nFailed to create service\n"),
            std::string::npos);
  close(holder);
}

class Service : public ::testing::Test {
 protected:
  ServiceProcess service_;
};

TEST_F(Service, ProbesAnswerOkWithQueryOrBodyAndNeverCheckTokens) {
  ASSERT_TRUE(service_.StartPlain(R"("client-auth-token": "c", "admin-auth-token": "a")"));
  HttpResponse live = service_.Send("POST", "/liveness?probe=1", {}, "ping");
  EXPECT_EQ(live.status, 200);
  EXPECT_EQ(live.reason, "OK");
  EXPECT_EQ(live.body, "");
  HttpResponse ready = service_.Send("GET", "/readiness");
  EXPECT_EQ(ready.status, 200);
  EXPECT_EQ(ready.reason, "OK");
  EXPECT_EQ(service_.Exit("a"), 0);
  std::string out = service_.Output();
  EXPECT_NE(out.find("Received a POST request for /liveness?probe=1\nHeaders:\n"), std::string::npos);
  EXPECT_NE(out.find("Input data: <<<\nping>>>\n"), std::string::npos);
  EXPECT_NE(out.find("Received a GET request for /readiness\n"), std::string::npos);
}

TEST_F(Service, UnknownPathsAndMethodsAreAnsweredByTheHttpLayerWithoutTrace) {
  ASSERT_TRUE(service_.StartPlain());
  EXPECT_EQ(service_.Send("GET", "/transcribe/extra").status, 404);
  EXPECT_EQ(service_.Send("POST", "/Liveness").status, 404);
  EXPECT_EQ(service_.Send("OPTIONS", "/liveness").status, 501);
  EXPECT_EQ(service_.Send("PATCH", "/transcribe", {}, "{}").status, 501);
  EXPECT_EQ(service_.Exit(), 0);
  EXPECT_EQ(CountOf(service_.Output(), "Received a "), 1);  // the exit request alone
}

TEST_F(Service, TraceShowsMethodUriEveryHeaderAndTheRawBody) {
  ASSERT_TRUE(service_.StartPlain());
  const std::string body = std::string("line one\n\tbin\x01\xff", 15) + "{not json";
  std::string request = "PUT /transcribe?a=1&b=%20 HTTP/1.1\r\nHost: h\r\nX-Dup: first\r\nX-Dup: second\r\n"
                        "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  HttpResponse response = testsupport::SendRaw("127.0.0.1", service_.Port(), request);
  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(response.reason, "Error");
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(service_.Exit(), 0);

  std::string expected = "Start HTTP event loop <S2t>\n"
                         "Received a PUT request for /transcribe?a=1&b=%20\nHeaders:\n"
                         "  Host: h\n  X-Dup: first\n  X-Dup: second\n"
                         "  Content-Length: " + std::to_string(body.size()) + "\n  Connection: close\n"
                         "Input data: <<<\n" + body + ">>>\nRequest failed\n";
  EXPECT_NE(service_.Output().find(expected), std::string::npos) << service_.Output();
}

TEST_F(Service, TokensGuardTranscribeAndExitEachWithItsOwn) {
  ASSERT_TRUE(service_.StartPlain(R"("client-auth-token": "c-tok", "admin-auth-token": "a-tok")"));
  auto transcribe = [&](const std::vector<Header>& headers) {
    return service_.Send("POST", "/transcribe", headers, "[]").status;
  };
  EXPECT_EQ(transcribe({}), 401);
  EXPECT_EQ(transcribe({{"authorization", "c-tok"}}), 401);
  EXPECT_EQ(transcribe({{"Authorization", "Bearer c-tok"}}), 401);
  EXPECT_EQ(transcribe({{"Authorization", ""}}), 401);
  EXPECT_EQ(transcribe({{"Authorization", "a-tok"}}), 401);
  EXPECT_EQ(transcribe({{"Authorization", "c-tok"}, {"Authorization", "x"}}), 401);
  // Authorised requests reach the body check, which refuses "[]".
  EXPECT_EQ(transcribe({{"Authorization", "c-tok"}}), 403);
  EXPECT_EQ(transcribe({{"Authorization", "x"}, {"Authorization", "c-tok"}}), 403);

  HttpResponse refused = service_.Send("GET", "/exit", {{"Authorization", "c-tok"}});
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.reason, "Unauthorized");
  EXPECT_TRUE(service_.Running());
  EXPECT_EQ(service_.Exit("a-tok"), 0);

  std::string out = service_.Output();
  EXPECT_EQ(CountOf(out, "Request unauthorized\n"), 7);
  EXPECT_EQ(CountOf(out, "Request failed\n"), 2);
  EXPECT_EQ(CountOf(out, "Ended HTTP event loop"), 1);
}

TEST_F(Service, WithoutTokensEveryCallerIsAuthorised) {
  ASSERT_TRUE(service_.StartPlain());
  EXPECT_EQ(service_.Send("POST", "/transcribe", {}, "[]").status, 403);
  EXPECT_EQ(service_.Send("POST", "/transcribe", {{"Authorization", "anything"}}, "[]").status, 403);
  EXPECT_EQ(service_.Exit("anything"), 0);
  EXPECT_EQ(CountOf(service_.Output(), "Request unauthorized"), 0);
}

TEST_F(Service, BodiesThatAreNotOneJsonObjectAreRefused) {
  ASSERT_TRUE(service_.StartPlain());
  for (const char* body : {"", "[]", "\"audio\"", "{\"audio\": \"A\"", "{} {}", "{\"a\":1,}"}) {
    for (const char* method : {"POST", "GET"}) {
      HttpResponse response = service_.Send(method, "/transcribe", {{"X-Tarvex-TranID", "t1"}}, body);
      EXPECT_EQ(response.status, 403) << method << " " << body;
      EXPECT_EQ(response.reason, "Error");
      EXPECT_EQ(response.body, "");
    }
  }
  EXPECT_EQ(service_.Exit(), 0);
  EXPECT_EQ(CountOf(service_.Output(), "Request failed\n"), 12);
}

TEST_F(Service, ExitIsAnsweredBeforeTheServiceStops) {
  ASSERT_TRUE(service_.StartPlain(R"("admin-auth-token": "a")"));
  HttpResponse response = service_.Send("POST", "/exit", {{"Authorization", "a"}}, "bye");
  EXPECT_TRUE(response.ok) << response.error;
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.reason, "OK");
  EXPECT_EQ(service_.WaitForExit(), 0);
  std::string out = service_.Output();
  EXPECT_EQ(out.substr(out.size() - std::string("Input data: <<<\nbye>>>\nEnded HTTP event loop <S2t>\n").size()),
            "Input data: <<<\nbye>>>\nEnded HTTP event loop <S2t>\n");
}

// Callers that close before their replies are written must not end the process.
TEST_F(Service, SurvivesCallersThatCloseEarly) {
  ASSERT_TRUE(service_.StartPlain());
  std::string pipelined;
  for (int i = 0; i < 200; ++i) pipelined += "GET /liveness HTTP/1.1\r\nHost: h\r\n\r\n";
  for (int round = 0; round < 20; ++round) {
    int fd = testsupport::ConnectTcp("127.0.0.1", service_.Port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, pipelined.data(), pipelined.size()), static_cast<ssize_t>(pipelined.size()));
    // Half-close, then close once replies flow: the service's socket takes the
    // reset while it still has replies to write.
    shutdown(fd, SHUT_WR);
    char first;
    ASSERT_EQ(read(fd, &first, 1), 1);
    close(fd);
  }
  EXPECT_EQ(service_.Send("GET", "/liveness").status, 200);
  EXPECT_EQ(service_.Exit(), 0);
}

class SecureService : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testsupport::MakeTestPki(service_.Dir(), pki_)); }

  std::string SecureConfig(const std::string& cert, const std::string& key) {
    return "{\"http-server\": {\"address\": \"127.0.0.1\", \"port\": " + std::to_string(port_) +
           ", \"secure\": true, \"certificate-chain\": \"" + cert + "\", \"private-key\": \"" + key + "\"}}";
  }

  ServiceProcess service_;
  testsupport::TestPki pki_;
  uint16_t port_ = testsupport::FreeLoopbackPort();
};

TEST_F(SecureService, ServesHttpsAndNothingInPlainText) {
  ASSERT_TRUE(service_.Start({service_.WriteFile("config.json", SecureConfig(pki_.serverCert, pki_.serverKey))}));
  ASSERT_TRUE(service_.WaitForOutput("Start HTTP event loop <S2t>\n"));
  EXPECT_EQ(service_.Output().find("Loading certificate chain [" + pki_.serverCert + "] private key [" +
                                   pki_.serverKey + "]\nStart HTTP event loop"),
            service_.Output().find("Loading"));

  ClientOptions tls;
  tls.tls = true;
  tls.caFile = pki_.caCert;
  HttpResponse live = testsupport::Send("127.0.0.1", port_, "GET", "/liveness", {}, "", tls);
  EXPECT_TRUE(live.ok) << live.error;
  EXPECT_EQ(live.status, 200);

  ClientOptions plain;
  plain.timeoutMs = 5000;
  HttpResponse cleartext = testsupport::Send("127.0.0.1", port_, "GET", "/liveness", {}, "", plain);
  EXPECT_FALSE(cleartext.ok);
  EXPECT_EQ(cleartext.status, 0);

  HttpResponse exit = testsupport::Send("127.0.0.1", port_, "GET", "/exit", {}, "", tls);
  EXPECT_EQ(exit.status, 200);
  EXPECT_EQ(service_.WaitForExit(), 0);
}

TEST_F(SecureService, UnusableCertificateOrKeyEndsWithStatus255) {
  const std::pair<std::string, std::string> cases[] = {
      {pki_.serverCert, pki_.mismatchedKey},
      {service_.Dir() + "/missing.pem", pki_.serverKey},
      {pki_.serverCert, service_.Dir() + "/missing-key.pem"},
  };
  for (const auto& c : cases) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start({service.WriteFile("config.json", SecureConfig(c.first, c.second))}));
    EXPECT_EQ(service.WaitForExit(), 255);
    std::string out = service.Output();
    EXPECT_NE(out.find("Failed to load certificate chain [" + c.first + "] private key [" + c.second + "]: "),
              std::string::npos) << out;
    EXPECT_NE(out.find("Failed to create service\n"), std::string::npos);
    EXPECT_EQ(out.find("Start HTTP event loop"), std::string::npos);
  }
}

}  // namespace
