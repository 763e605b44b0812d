// Self-test of the support code: the client and the stand-in against each other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "CloudStandIn.h"
#include "HttpClient.h"
#include "TestPki.h"

namespace testsupport {
namespace {

// Generous: only there so a broken build fails instead of hanging.
constexpr int kHangGuardMs = 10000;

class SupportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakeTempDir("testsupport-");
    ASSERT_FALSE(dir_.empty());
    ASSERT_TRUE(MakeTestPki(dir_, pki_));
  }
  static void TearDownTestSuite() { RemoveTree(dir_); }

  static CloudStandIn::Options Tls(const std::string& cert, const std::string& key,
                                   const std::string& address = "127.0.0.1") {
    CloudStandIn::Options o;
    o.tls = true;
    o.certFile = cert;
    o.keyFile = key;
    o.address = address;
    return o;
  }

  static std::string dir_;
  static TestPki pki_;
};
std::string SupportTest::dir_;
TestPki SupportTest::pki_;

StandInReply Reply(int status, const std::string& body, std::vector<Header> headers = {}) {
  StandInReply r;
  r.status = status;
  r.reason = status == 200 ? "OK" : "Not Found";
  r.body = body;
  r.headers = std::move(headers);
  return r;
}

TEST_F(SupportTest, PlainRoundTripRecordsRequestsAndRoutesBySuffix) {
  CloudStandIn s;
  ASSERT_TRUE(s.Start()) << s.LastError();
  EXPECT_EQ(s.BaseUrl(), "http://127.0.0.1:" + std::to_string(s.Port()));
  s.SetDefault(Reply(404, "nope"));
  s.On("speech:recognize", Reply(200, "{\"results\":[]}", {{"Content-Type", "application/json"}}));
  s.On(":recognize", Reply(200, "shorter suffix must lose"));

  HttpResponse r = Send("127.0.0.1", s.Port(), "POST", "/v1/speech:recognize?key=k",
                        {{"Content-Type", "application/json"}}, "{\"a\":1}");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.reason, "OK");
  EXPECT_EQ(r.body, "{\"results\":[]}");
  ASSERT_NE(r.Find("content-type"), nullptr);
  EXPECT_EQ(*r.Find("content-type"), "application/json");
  EXPECT_EQ(r.Count("Content-Length"), 1u);
  EXPECT_EQ(r.Find("X-Absent"), nullptr);

  r = Send("127.0.0.1", s.Port(), "GET", "/v1/documents:analyzeSentiment");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "nope");

  // The handler overrides routes and default.
  s.SetHandler([](const StandInRequest& q) { return Reply(200, "echo:" + q.body); });
  r = Send("127.0.0.1", s.Port(), "PUT", "/x", {}, "zz");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.body, "echo:zz");

  ASSERT_TRUE(s.WaitForRequests(3, kHangGuardMs));
  std::vector<StandInRequest> got = s.Received();
  ASSERT_EQ(got.size(), 3u);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(s.Port()) + "\r\n";
  EXPECT_EQ(got[0].method, "POST");
  EXPECT_EQ(got[0].target, "/v1/speech:recognize?key=k");
  EXPECT_EQ(got[0].version, "HTTP/1.1");
  EXPECT_EQ(got[0].body, "{\"a\":1}");
  ASSERT_NE(got[0].Find("CONTENT-TYPE"), nullptr);
  EXPECT_EQ(got[0].raw, "POST /v1/speech:recognize?key=k HTTP/1.1\r\n" + host +
                            "Content-Type: application/json\r\nContent-Length: 7\r\n"
                            "Connection: close\r\n\r\n{\"a\":1}");
  // Bodyless GET carries no Content-Length.
  EXPECT_EQ(got[1].raw, "GET /v1/documents:analyzeSentiment HTTP/1.1\r\n" + host +
                            "Connection: close\r\n\r\n");
  EXPECT_TRUE(got[1].error.empty());
  EXPECT_EQ(got[2].method, "PUT");
  EXPECT_TRUE(s.WaitForOpenConnections(0, kHangGuardMs));
  EXPECT_EQ(s.Accepted(), 3u);
}

TEST_F(SupportTest, RawRequestBytesAndBodiesAreRecordedExactly) {
  CloudStandIn s;
  ASSERT_TRUE(s.Start()) << s.LastError();
  const std::string binary("a\0b\r\n\r\nc", 8);
  const std::string fixed = "POST /p HTTP/1.1\r\nHost: h\r\nX-Dup: 1\r\nx-dup: 2\r\nContent-Length: 8\r\n\r\n" + binary;
  const std::string chunked =
      "POST /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
  const std::string malformed = "NONSENSE\r\nHost: h\r\n\r\n";
  EXPECT_TRUE(SendRaw("127.0.0.1", s.Port(), fixed).ok);
  EXPECT_TRUE(SendRaw("127.0.0.1", s.Port(), chunked).ok);
  HttpResponse bad = SendRaw("127.0.0.1", s.Port(), malformed);
  ASSERT_TRUE(bad.ok) << bad.error;
  EXPECT_EQ(bad.status, 400);
  // Written by hand on a ConnectTcp socket, the answer read afterwards.
  s.SetDefault(Reply(200, "by hand"));
  int fd = ConnectTcp("127.0.0.1", s.Port(), kHangGuardMs);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, fixed.data(), fixed.size()), static_cast<ssize_t>(fixed.size()));
  HttpResponse byHand = ReadResponse(fd);
  close(fd);
  ASSERT_TRUE(byHand.ok) << byHand.error;
  EXPECT_EQ(byHand.body, "by hand");

  ASSERT_TRUE(s.WaitForRequests(4, kHangGuardMs));
  std::vector<StandInRequest> got = s.Received();
  EXPECT_EQ(got[0].raw, fixed);
  EXPECT_EQ(got[0].body, binary);
  EXPECT_EQ(got[0].headers.size(), 4u);
  EXPECT_EQ(*got[0].Find("X-DUP"), "1");
  EXPECT_EQ(got[1].raw, chunked);
  EXPECT_EQ(got[1].body, "abcde");
  EXPECT_EQ(got[2].raw, malformed);
  EXPECT_FALSE(got[2].error.empty());
  EXPECT_EQ(got[3].raw, fixed);
}

TEST_F(SupportTest, TlsRoundTripVerifiedAgainstTestCa) {
  for (const std::string address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(address);
    CloudStandIn s(Tls(pki_.serverCert, pki_.serverKey, address));
    ASSERT_TRUE(s.Start()) << s.LastError();
    if (address == "::1") {
      EXPECT_EQ(s.BaseUrl(), "https://[::1]:" + std::to_string(s.Port()));
    }
    s.SetDefault(Reply(200, std::string(100000, 'x')));  // larger than one TLS record
    ClientOptions o;
    o.tls = true;
    o.caFile = pki_.caCert;
    HttpResponse r = Send(address, s.Port(), "POST", "/v1/speech:recognize", {}, std::string(70000, 'y'), o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, std::string(100000, 'x'));
    o.sniHost = "localhost";  // DNS-name check instead of IP
    r = Send(address, s.Port(), "GET", "/", {}, "", o);
    EXPECT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(s.WaitForRequests(2, kHangGuardMs));
    EXPECT_EQ(s.Received()[0].body, std::string(70000, 'y'));
    EXPECT_EQ(s.HandshakeFailures(), 0u);
  }
}

TEST_F(SupportTest, TlsVerificationRejectsUntrustedAndWrongHostCertificates) {
  ClientOptions verify;
  verify.tls = true;
  verify.caFile = pki_.caCert;
  verify.timeoutMs = kHangGuardMs;
  struct Case {
    std::string cert, key, sni;
  } cases[] = {{pki_.selfSignedCert, pki_.selfSignedKey, ""},
               {pki_.wrongHostCert, pki_.wrongHostKey, ""},
               {pki_.serverCert, pki_.serverKey, "wrong.example"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert + " sni=" + c.sni);
    CloudStandIn s(Tls(c.cert, c.key));
    ASSERT_TRUE(s.Start()) << s.LastError();
    ClientOptions o = verify;
    o.sniHost = c.sni;
    HttpResponse r = Send("127.0.0.1", s.Port(), "GET", "/", {}, "", o);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("verify failed"), std::string::npos) << r.error;
    EXPECT_TRUE(s.WaitForOpenConnections(0, kHangGuardMs));
    EXPECT_EQ(s.HandshakeFailures(), 1u);
    EXPECT_TRUE(s.Received().empty());
  }
  // Without a CA file the client does not verify.
  CloudStandIn s(Tls(pki_.selfSignedCert, pki_.selfSignedKey));
  ASSERT_TRUE(s.Start()) << s.LastError();
  ClientOptions o;
  o.tls = true;
  HttpResponse r = Send("127.0.0.1", s.Port(), "GET", "/", {}, "", o);
  EXPECT_TRUE(r.ok) << r.error;
}

TEST_F(SupportTest, MismatchedKeyIsRefusedByTheStandIn) {
  CloudStandIn s(Tls(pki_.serverCert, pki_.mismatchedKey));
  EXPECT_FALSE(s.Start());
  EXPECT_FALSE(s.LastError().empty());
}

TEST_F(SupportTest, CloseAndSilentModesGiveClientErrorsNotHangs) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    CloudStandIn s(tls ? Tls(pki_.serverCert, pki_.serverKey) : CloudStandIn::Options());
    ASSERT_TRUE(s.Start()) << s.LastError();
    StandInReply close;
    close.mode = StandInReply::Mode::Close;
    StandInReply silent;
    silent.mode = StandInReply::Mode::Silent;
    s.On("/close", close);
    s.On("/silent", silent);
    ClientOptions o;
    o.tls = tls;
    o.caFile = tls ? pki_.caCert : "";
    o.timeoutMs = kHangGuardMs;

    HttpResponse r = Send("127.0.0.1", s.Port(), "POST", "/close", {}, "body", o);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("without a response"), std::string::npos) << r.error;

    o.timeoutMs = 300;
    r = Send("127.0.0.1", s.Port(), "POST", "/silent", {}, "body", o);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("timed out"), std::string::npos) << r.error;

    // The client closed its side on timeout; the silent stand-in notices.
    EXPECT_TRUE(s.WaitForOpenConnections(0, kHangGuardMs));
    ASSERT_TRUE(s.WaitForRequests(2, kHangGuardMs));
    EXPECT_EQ(s.Received()[1].body, "body");
  }
}

TEST_F(SupportTest, ClientFramesResponsesStrictly) {
  CloudStandIn s;
  ASSERT_TRUE(s.Start()) << s.LastError();
  StandInReply untilClose = Reply(200, "all of it");
  untilClose.noContentLength = true;
  StandInReply chunked;
  chunked.rawResponse =
      "HTTP/1.1 100 Continue\r\n\r\n"
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n1\r\ne\r\n0\r\n\r\n";
  StandInReply truncated = Reply(200, "short");
  truncated.noContentLength = true;
  truncated.headers = {{"Content-Length", "100"}};
  StandInReply stalled = truncated;
  stalled.holdOpen = true;
  StandInReply badStatus;
  badStatus.rawResponse = "HTTP/1.1 OK\r\n\r\n";
  StandInReply head = Reply(200, "");
  head.headers = {{"Content-Length", "5"}};
  head.noContentLength = true;
  s.On("/untilclose", untilClose);
  s.On("/chunked", chunked);
  s.On("/truncated", truncated);
  s.On("/stalled", stalled);
  s.On("/badstatus", badStatus);
  s.On("/head", head);
  ClientOptions o;
  o.timeoutMs = kHangGuardMs;
  ClientOptions shortWait;
  shortWait.timeoutMs = 300;

  HttpResponse r = Send("127.0.0.1", s.Port(), "GET", "/untilclose", {}, "", o);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.body, "all of it");

  r = Send("127.0.0.1", s.Port(), "GET", "/chunked", {}, "", o);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "abcde");

  r = Send("127.0.0.1", s.Port(), "GET", "/truncated", {}, "", o);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 200);  // the head is still reported
  EXPECT_NE(r.error.find("before the end of the body"), std::string::npos) << r.error;

  r = Send("127.0.0.1", s.Port(), "GET", "/stalled", {}, "", shortWait);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("timed out"), std::string::npos) << r.error;

  r = Send("127.0.0.1", s.Port(), "GET", "/badstatus", {}, "", o);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("status line"), std::string::npos) << r.error;

  r = Send("127.0.0.1", s.Port(), "HEAD", "/head", {}, "", o);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(*r.Find("Content-Length"), "5");
  EXPECT_TRUE(r.body.empty());

  r = Send("127.0.0.1", 1, "GET", "/", {}, "", o);  // nothing listens on port 1
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.error.empty());
}

TEST_F(SupportTest, StopEndsDelaysAndOpenConnectionsWithoutHanging) {
  auto s = std::make_unique<CloudStandIn>();
  ASSERT_TRUE(s->Start()) << s->LastError();
  StandInReply slow = Reply(200, "late");
  slow.delayMs = 600000;
  StandInReply silent;
  silent.mode = StandInReply::Mode::Silent;
  s->On("/slow", slow);
  s->On("/silent", silent);

  // An idle connection closed early is accepted but records nothing.
  int early = ConnectTcp("127.0.0.1", s->Port(), kHangGuardMs);
  ASSERT_GE(early, 0);
  ASSERT_TRUE(s->WaitForOpenConnections(1, kHangGuardMs));
  close(early);
  ASSERT_TRUE(s->WaitForOpenConnections(0, kHangGuardMs));

  std::vector<std::future<HttpResponse>> clients;
  for (const char* path : {"/slow", "/silent", "/slow"}) {
    clients.push_back(std::async(std::launch::async, [&s, path] {
      return Send("127.0.0.1", s->Port(), "GET", path, {}, "", ClientOptions{});
    }));
  }
  ASSERT_TRUE(s->WaitForRequests(3, kHangGuardMs));
  int idle = ConnectTcp("127.0.0.1", s->Port(), kHangGuardMs);
  ASSERT_GE(idle, 0);
  ASSERT_TRUE(s->WaitForOpenConnections(4, kHangGuardMs));

  auto stopped = std::async(std::launch::async, [&s] { s->Stop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::milliseconds(kHangGuardMs)), std::future_status::ready);
  EXPECT_EQ(s->OpenConnections(), 0u);
  EXPECT_EQ(s->Accepted(), 5u);
  for (auto& c : clients) EXPECT_FALSE(c.get().ok);
  s->Stop();  // idempotent
  close(idle);
}

}  // namespace
}  // namespace testsupport
