// End-to-end behaviour of the cloud calls: the service against local stand-ins for
// the speech and language services, over HTTP and HTTPS.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <set>

#include <rapidjson/document.h>

#include "CloudStandIn.h"
#include "ServiceProcess.h"
#include "TestPki.h"

namespace {

using testsupport::CloudStandIn;
using testsupport::Header;
using testsupport::HttpResponse;
using testsupport::ServiceProcess;
using testsupport::StandInReply;
using testsupport::StandInRequest;

std::string CloudSection(const std::string& speech, const std::string& language, const std::string& key = "") {
  return "{\"speech-service-endpoint\": \"" + speech + "\", \"language-service-endpoint\": \"" + language +
         "\", \"access-key\": \"" + key + "\"}";
}

StandInReply Reply(int status, const std::string& reason, const std::string& body = "") {
  StandInReply reply;
  reply.status = status;
  reply.reason = reason;
  reply.body = body;
  return reply;
}

StandInReply Mode(StandInReply::Mode mode) {
  StandInReply reply;
  reply.mode = mode;
  return reply;
}

std::string RecognitionReply(const std::string& transcript) {
  return "{\"results\":[{\"alternatives\":[{\"transcript\":\"" + transcript +
         "\",\"confidence\":0.9}],\"languageCode\":\"en-us\"}]}";
}

// The string value of `member` in the object `parent` of a JSON text, or "".
std::string JsonString(const std::string& json, const char* parent, const char* member) {
  rapidjson::Document document;
  document.Parse(json.c_str());
  if (!document.IsObject() || !document.HasMember(parent) || !document[parent].IsObject()) return "";
  const rapidjson::Value& object = document[parent];
  return object.HasMember(member) && object[member].IsString() ? object[member].GetString() : "";
}

// One stand-in plays both services. The scenario travels in the audio text: the
// speech side answers or misbehaves by it and otherwise returns it as the
// transcript, which the language side then sees as the document's content.
StandInReply Scenario(const StandInRequest& request) {
  if (request.target.find("/speech:recognize") != std::string::npos) {
    std::string audio = JsonString(request.body, "audio", "content");
    if (audio == "speech-403") return Reply(403, "Forbidden", "{\"error\":{}}");
    if (audio == "speech-201") return Reply(201, "Created", RecognitionReply(audio));
    if (audio == "speech-close") return Mode(StandInReply::Mode::Close);
    if (audio == "speech-silent") return Mode(StandInReply::Mode::Silent);
    if (audio == "speech-unreadable") return Reply(200, "OK", "<html>busy</html>");
    return Reply(200, "OK", RecognitionReply(audio));
  }
  std::string content = JsonString(request.body, "document", "content");
  if (content == "lang-400") return Reply(400, "Bad Request", "{\"error\":{}}");
  if (content == "lang-201") return Reply(201, "Created", "{}");
  if (content == "lang-close") return Mode(StandInReply::Mode::Close);
  if (content == "lang-silent") return Mode(StandInReply::Mode::Silent);
  if (content == "lang-empty") return Reply(200, "OK");
  if (content == "lang-text") return Reply(200, "OK", "plain words, <b>not</b> JSON");
  return Reply(200, "Analysed", "{\"documentSentiment\":{\"score\":0.5},\"echo\":\"" + content + "\"}");
}

class CloudCall : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    cloud_.SetHandler(Scenario);
  }

  bool StartService(const std::string& key = "") {
    std::string base = cloud_.BaseUrl() + "/v1";
    return service_.StartPlain("", CloudSection(base, base, key));
  }

  HttpResponse Transcribe(const std::string& audio, const std::string& extra = "") {
    return service_.Send("POST", "/transcribe", {{"X-Tarvex-TranID", "tran-1"}},
                         "{\"audio\": \"" + audio + "\"" + extra + "}");
  }

  CloudStandIn cloud_;
  ServiceProcess service_;
};

TEST_F(CloudCall, SuccessfulChainSendsBothCallsExactlyAndRelaysTheLanguageReply) {
  cloud_.SetHandler([](const StandInRequest& request) {
    if (request.target.find("/speech:recognize") != std::string::npos)
      return Reply(200, "OK", "{\"results\":[{\"alternatives\":[{\"transcript\":\"say \\\"hi\\\"\\n\"}],"
                              "\"languageCode\":\"en-us\"}]}");
    StandInReply reply = Reply(200, "Quite Fine", "{\"documentSentiment\": {\"score\": 0.2}}\n");
    reply.headers.push_back({"Content-Type", "text/plain"});
    return reply;
  });
  ASSERT_TRUE(StartService("k&y=1"));

  HttpResponse response =
      Transcribe("UklGR\\/g==", ", \"language\": \"en-US\", \"language-alternatives\": [\"de-DE\", 3, \"\"]");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.reason, "Quite Fine");
  EXPECT_EQ(response.body, "{\"documentSentiment\": {\"score\": 0.2}}\n");
  ASSERT_EQ(response.Count("Content-Type"), 1u);
  EXPECT_EQ(*response.Find("Content-Type"), "application/json");

  std::vector<StandInRequest> received = cloud_.Received();
  ASSERT_EQ(received.size(), 2u);
  const std::string host = "127.0.0.1";
  std::string speechBody =
      "{\"config\":{\"languageCode\":\"en-US\",\"alternativeLanguageCodes\":[\"de-DE\",\"\"]},"
      "\"audio\":{\"content\":\"UklGR/g==\"}}";
  EXPECT_EQ(received[0].raw, "POST /v1/speech:recognize?key=k&y=1 HTTP/1.1\r\n"
                             "Host: " + host + "\r\nContent-type: application/json\r\n"
                             "Content-Length: " + std::to_string(speechBody.size()) + "\r\n\r\n" + speechBody);
  std::string languageBody =
      "{\"document\":{\"type\":\"PLAIN_TEXT\",\"language\":\"en-us\",\"content\":\"say \\\"hi\\\"\\n\"}}";
  EXPECT_EQ(received[1].raw, "POST /v1/documents:analyzeSentiment?key=k&y=1 HTTP/1.1\r\n"
                             "Host: " + host + "\r\nContent-type: application/json\r\n"
                             "Content-Length: " + std::to_string(languageBody.size()) + "\r\n\r\n" + languageBody);

  EXPECT_EQ(service_.Exit(), 0);
  std::string out = service_.Output();
  std::string uri = cloud_.BaseUrl() + "/v1/speech:recognize?key=k&y=1";
  EXPECT_NE(out.find("Composed data:\n  " + speechBody + "\nMake HTTP request for <0>\n"
                     "Set HTTP request timer 5 sec for <0>\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Received HTTP response [200 OK] for <0> [" + uri + "]\n"), std::string::npos);
  EXPECT_NE(out.find("Data [" ), std::string::npos);
  EXPECT_NE(out.find("Received HTTP response [200 Quite Fine] for <0> ["), std::string::npos);
}

TEST_F(CloudCall, EveryOutcomeReachesItsCallerExactlyOnceWithManyInFlight) {
  ASSERT_TRUE(StartService());
  struct Case {
    std::string audio;
    int status;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"ok", 200, "Analysed"},
      {"speech-403", 401, "Method Failed"},
      {"speech-201", 401, "Method Failed"},
      {"speech-close", 401, "Method Failed"},
      {"speech-silent", 408, "Request Timeout"},
      {"speech-unreadable", 200, "Analysed"},
      {"lang-400", 401, "Method Failed"},
      {"lang-201", 401, "Method Failed"},
      {"lang-close", 401, "Method Failed"},
      {"lang-silent", 408, "Request Timeout"},
      {"lang-empty", 200, "OK"},
      {"lang-text", 200, "OK"},
  };
  const int rounds = 3;
  std::vector<std::future<HttpResponse>> replies;
  for (int round = 0; round < rounds; ++round)
    for (const Case& c : cases)
      replies.push_back(std::async(std::launch::async, [this, c] { return Transcribe(c.audio); }));

  for (size_t i = 0; i < replies.size(); ++i) {
    const Case& c = cases[i % cases.size()];
    HttpResponse response = replies[i].get();
    SCOPED_TRACE(c.audio);
    EXPECT_TRUE(response.ok) << response.error;
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.reason, c.reason);
    if (c.status != 200) {
      EXPECT_EQ(response.body, "");
    } else if (c.audio == "lang-empty") {
      EXPECT_EQ(response.body, "");
      ASSERT_NE(response.Find("Content-Type"), nullptr);
      EXPECT_NE(*response.Find("Content-Type"), "application/json");
    } else if (c.audio == "lang-text") {
      EXPECT_EQ(response.body, "plain words, <b>not</b> JSON");
      EXPECT_EQ(*response.Find("Content-Type"), "application/json");
    } else {
      std::string expectedEcho = c.audio == "speech-unreadable" ? "" : c.audio;
      EXPECT_EQ(response.body, "{\"documentSentiment\":{\"score\":0.5},\"echo\":\"" + expectedEcho + "\"}");
      EXPECT_EQ(*response.Find("Content-Type"), "application/json");
    }
  }

  // A failed recognition never leads to a sentiment call.
  size_t sentimentCalls = 0;
  for (const StandInRequest& request : cloud_.Received()) {
    bool sentiment = request.target.find("/documents:analyzeSentiment") != std::string::npos;
    sentimentCalls += sentiment;
    if (sentiment) {
      std::string content = JsonString(request.body, "document", "content");
      EXPECT_EQ(content.rfind("speech-", 0) == 0, content == "speech-unreadable") << content;
    }
  }
  EXPECT_EQ(sentimentCalls, rounds * 8u);

  EXPECT_TRUE(service_.Send("GET", "/liveness").ok);
  EXPECT_EQ(service_.Exit(), 0);
  std::string out = service_.Output();
  EXPECT_NE(out.find("HTTP request failed [403] <"), std::string::npos);
  EXPECT_NE(out.find("Request failed: "), std::string::npos);
  EXPECT_NE(out.find("Request timed out for <"), std::string::npos);
}

TEST_F(CloudCall, EndpointsThatCannotBeCalledAreRefusedAtOnce) {
  struct Case {
    std::string speech;
    std::string line;
  } cases[] = {
      {"", "Malformed URI scheme [/speech:recognize?key=k] for <0>\n"},
      {"http://[oops/v1", "Malformed HTTP URI [http://[oops/v1/speech:recognize?key=k] provided for <1>\n"},
      {"ftp://127.0.0.1/v1", "Unknown URI scheme [ftp] for <2>: must be either http or https\n"},
      {"http:///v1", "Failed to get host for HTTP <3>\n"},
  };
  std::string language = cloud_.BaseUrl() + "/v1";
  for (const Case& c : cases) {
    ServiceProcess service;
    ASSERT_TRUE(service.StartPlain("", CloudSection(c.speech, language, "k")));
    // Refused bodies use no identifier, so each case's request is the only one.
    EXPECT_EQ(service.Send("POST", "/transcribe", {}, "[]").status, 403);
    for (const Case& earlier : cases) {
      if (&earlier == &c) break;
      EXPECT_EQ(service.Send("POST", "/transcribe", {}, "{}").status, 403);
    }
    HttpResponse response = service.Send("POST", "/transcribe", {}, "{\"audio\": \"A\"}");
    EXPECT_EQ(response.status, 403);
    EXPECT_EQ(response.reason, "Error");
    EXPECT_EQ(service.Exit(), 0);
    EXPECT_NE(service.Output().find(c.line), std::string::npos) << service.Output();
  }
  EXPECT_TRUE(cloud_.Received().empty());
}

TEST_F(CloudCall, SentimentCallThatCannotStartIsAFailedCall) {
  ASSERT_TRUE(service_.StartPlain("", CloudSection("HTTP://127.0.0.1:" + std::to_string(cloud_.Port()) + "/v1",
                                                   "gopher://127.0.0.1/v1")));
  HttpResponse response = Transcribe("ok");
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(response.reason, "Method Failed");
  EXPECT_EQ(cloud_.Received().size(), 1u);
  EXPECT_TRUE(service_.Send("GET", "/liveness").ok);
  EXPECT_EQ(service_.Exit(), 0);
  EXPECT_NE(service_.Output().find("Unknown URI scheme [gopher] for <0>"), std::string::npos);
}

TEST_F(CloudCall, CallerThatLeavesDoesNotDisturbTheService) {
  StandInReply slow = Reply(200, "OK", RecognitionReply("late"));
  slow.delayMs = 300;
  cloud_.SetHandler([slow](const StandInRequest& request) {
    return request.target.find("/speech:recognize") != std::string::npos ? slow : Reply(200, "OK", "{}");
  });
  ASSERT_TRUE(StartService());
  for (int i = 0; i < 5; ++i) {
    int fd = testsupport::ConnectTcp("127.0.0.1", service_.Port());
    ASSERT_GE(fd, 0);
    std::string body = "{\"audio\": \"A\"}";
    std::string request = "POST /transcribe HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    close(fd);
  }
  ASSERT_TRUE(cloud_.WaitForRequests(10, 20000));
  EXPECT_EQ(Transcribe("A").status, 200);
  EXPECT_EQ(service_.Exit(), 0);
}

TEST_F(CloudCall, ExitWithRequestsInFlightStopsCleanly) {
  ASSERT_TRUE(StartService());
  std::vector<std::future<HttpResponse>> waiting;
  for (const char* audio : {"speech-silent", "speech-silent", "lang-silent"})
    waiting.push_back(std::async(std::launch::async, [this, audio] { return Transcribe(audio); }));
  ASSERT_TRUE(cloud_.WaitForRequests(4, 20000));
  EXPECT_EQ(service_.Exit(), 0);
  for (auto& reply : waiting) EXPECT_FALSE(reply.get().ok);
  std::string out = service_.Output();
  EXPECT_NE(out.find("Ended HTTP event loop <S2t>\n"), std::string::npos);
  EXPECT_EQ(out.find("Request timed out"), std::string::npos);
}

// The lowest descriptor numbers the process has not open.
std::vector<int> FreeDescriptors(pid_t pid, size_t count) {
  std::set<int> open;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') open.insert(std::atoi(entry->d_name));
    closedir(dir);
  }
  std::vector<int> free;
  for (int fd = 0; free.size() < count; ++fd)
    if (open.count(fd) == 0) free.push_back(fd);
  return free;
}

// When the outbound connection fails inside libevent's hand-over (here: no
// descriptor left for its socket), the request is refused once, and nothing of it
// is touched after libevent has reported the failure.
TEST_F(CloudCall, ConnectionFailingDuringTheHandOverIsRefusedOnce) {
  ASSERT_TRUE(StartService());
  pid_t pid = service_.Pid();
  std::vector<int> free = FreeDescriptors(pid, 2);
  rlimit original{};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0);
  // The caller's connection takes the one descriptor left; the outbound socket fails.
  rlimit tight{static_cast<rlim_t>(free[1]), original.rlim_max};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
  HttpResponse response = Transcribe("ok");
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);

  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(response.reason, "Error");
  EXPECT_TRUE(cloud_.Received().empty());
  EXPECT_EQ(Transcribe("ok").status, 200);
  EXPECT_EQ(service_.Exit(), 0);
  std::string out = service_.Output();
  EXPECT_NE(out.find("Request failed: Too many open files (24)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Unexecpected error in callback for <0>\n"), std::string::npos);
}

// A name server on loopback: it takes queries and either never answers, or
// answers each one that the name does not exist.
class LoopbackNameServer {
 public:
  explicit LoopbackNameServer(bool answerNoSuchName) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
    if (answerNoSuchName) answering_ = std::thread(&LoopbackNameServer::AnswerNoSuchName, this);
  }
  ~LoopbackNameServer() {
    stop_ = true;
    if (answering_.joinable()) answering_.join();
    close(fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  void AnswerNoSuchName() {
    while (!stop_) {
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, 50) != 1) continue;
      unsigned char message[512];
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      ssize_t size = recvfrom(fd_, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&peer), &length);
      if (size < 12) continue;
      message[2] |= 0x80;                                  // a response
      message[3] = static_cast<unsigned char>((message[3] & 0x70) | 0x80 | 3);  // recursion available, NXDOMAIN
      sendto(fd_, message, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&peer), length);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread answering_;
};

// Starts the service in a mount namespace of its own whose resolver configuration
// names `dns`, so no query leaves the machine.
bool StartWithNameServer(ServiceProcess& service, const LoopbackNameServer& dns) {
  if (dns.Port() == 0) return false;
  std::string resolv = service.WriteFile("resolv.conf", "nameserver 127.0.0.1:" + std::to_string(dns.Port()) + "\n");
  service.SetCommandPrefix(
      {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolv});
  return service.StartPlain("", CloudSection("http://speech.s2t-test:8080/v1", "http://language.s2t-test/v1"));
}

bool MountNamespacesAvailable() { return system("unshare -m true >/dev/null 2>&1") == 0; }

// The exchange timer fires while the endpoint's name is still being looked up.
TEST(NameResolution, TimerFiringDuringTheLookupAnswers408AndReleasesIt) {
  if (!MountNamespacesAvailable()) GTEST_SKIP() << "mount namespaces are not available";
  LoopbackNameServer dns(false);
  ServiceProcess service;
  ASSERT_TRUE(StartWithNameServer(service, dns));

  HttpResponse response = service.Send("POST", "/transcribe", {}, "{\"audio\": \"A\"}");
  EXPECT_EQ(response.status, 408);
  EXPECT_EQ(response.reason, "Request Timeout");

  // A lookup still under way when the service stops is released as well.
  auto pending = std::async(std::launch::async, [&] {
    return service.Send("POST", "/transcribe", {}, "{\"audio\": \"B\"}");
  });
  ASSERT_TRUE(service.WaitForOutput("Resolve host [speech.s2t-test] for <1>\n"));
  EXPECT_EQ(service.Exit(), 0);
  EXPECT_FALSE(pending.get().ok);
  std::string out = service.Output();
  EXPECT_NE(out.find("Resolve host [speech.s2t-test] for <0>\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Request timed out for <0>\n"), std::string::npos);
  EXPECT_NE(out.find("Cancel host lookup <0>\n"), std::string::npos);
  EXPECT_NE(out.find("Cancel host lookup <1>\n"), std::string::npos);
}

// A name that does not exist ends the call as a failed exchange, reported from
// the loop after the lookup's answer.
TEST(NameResolution, UnknownNameIsAFailedCall) {
  if (!MountNamespacesAvailable()) GTEST_SKIP() << "mount namespaces are not available";
  LoopbackNameServer dns(true);
  ServiceProcess service;
  ASSERT_TRUE(StartWithNameServer(service, dns));

  HttpResponse response = service.Send("POST", "/transcribe", {}, "{\"audio\": \"A\"}");
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(response.reason, "Method Failed");
  EXPECT_EQ(service.Exit(), 0);
  EXPECT_NE(service.Output().find("Failed to resolve host [speech.s2t-test] for <0>: "), std::string::npos)
      << service.Output();
}

class SecureCloudCall : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir("s2t-pki-");
    ASSERT_TRUE(testsupport::MakeTestPki(dir_, pki_));
  }
  void TearDown() override { testsupport::RemoveTree(dir_); }

  // Starts a TLS stand-in with this certificate, and `service` trusting the test CA.
  void Start(ServiceProcess& service, const std::string& cert, const std::string& key, const std::string& host) {
    CloudStandIn::Options options;
    options.tls = true;
    options.certFile = cert;
    options.keyFile = key;
    cloud_.reset(new CloudStandIn(options));
    ASSERT_TRUE(cloud_->Start()) << cloud_->LastError();
    cloud_->SetHandler(Scenario);
    std::string base = "https://" + host + ":" + std::to_string(cloud_->Port()) + "/v1";
    ASSERT_TRUE(service.StartPlain("", CloudSection(base, base, "secret-key"), {"SSL_CERT_FILE=" + pki_.caCert}));
  }

  std::string dir_;
  testsupport::TestPki pki_;
  std::unique_ptr<CloudStandIn> cloud_;
};

TEST_F(SecureCloudCall, VerifiedEndpointsCompleteTheChain) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    ServiceProcess service;
    Start(service, pki_.serverCert, pki_.serverKey, host);
    HttpResponse response = service.Send("POST", "/transcribe", {}, "{\"audio\": \"ok\"}");
    EXPECT_EQ(response.status, 200) << service.Output();
    EXPECT_EQ(response.reason, "Analysed");
    ASSERT_EQ(cloud_->Received().size(), 2u);
    EXPECT_EQ(*cloud_->Received()[0].Find("Host"), host);
    EXPECT_EQ(service.Exit(), 0);
  }
}

TEST_F(SecureCloudCall, EndpointsFailingVerificationNeverSeeTheKey) {
  const std::pair<std::string, std::string> certificates[] = {
      {pki_.selfSignedCert, pki_.selfSignedKey},
      {pki_.wrongHostCert, pki_.wrongHostKey},
  };
  for (const auto& certificate : certificates) {
    ServiceProcess service;
    Start(service, certificate.first, certificate.second, "127.0.0.1");
    HttpResponse response = service.Send("POST", "/transcribe", {}, "{\"audio\": \"ok\"}");
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(response.reason, "Method Failed");
    EXPECT_TRUE(cloud_->Received().empty());
    // The stand-in counts the failed handshake on its own thread, maybe after the reply.
    for (int i = 0; i < 2000 && cloud_->HandshakeFailures() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(cloud_->HandshakeFailures(), 1u);
    EXPECT_EQ(service.Exit(), 0);
    EXPECT_NE(service.Output().find("Certificate verification failed for <0>: "), std::string::npos)
        << service.Output();
  }
}

}  // namespace
