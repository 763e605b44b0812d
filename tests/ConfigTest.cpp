// The configuration loader: which values are taken, which are ignored, and the
// lines printed when the file cannot be used.
#include <gtest/gtest.h>

#include <fstream>

#include "S2tServerInspector.h"
#include "TestPki.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testsupport::MakeTempDir("s2t-config-"); }
  void TearDown() override { testsupport::RemoveTree(dir_); }

  // Loads `text` as the configuration file; `printed` receives the output.
  bool Load(const std::string& text, std::string* printed = nullptr) {
    std::string path = dir_ + "/brivel.json";
    std::ofstream(path, std::ios::binary) << text;
    testing::internal::CaptureStdout();
    bool loaded = inspector_.LoadConfig(path);
    std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return loaded;
  }

  S2tServer server_{"S2t", false};
  S2tServerInspector inspector_{server_};
  std::string dir_;
};

TEST_F(ConfigTest, EmptyObjectKeepsEveryDefault) {
  ASSERT_TRUE(Load("{}"));
  EXPECT_EQ(inspector_.Address(), "");
  EXPECT_EQ(inspector_.Port(), 1080);
  EXPECT_FALSE(inspector_.Secure());
  EXPECT_EQ(inspector_.ClientToken(), "");
  EXPECT_EQ(inspector_.AdminToken(), "");
  EXPECT_EQ(inspector_.Client().GetSpeechServiceEndpoint(), "");
  EXPECT_EQ(inspector_.Client().GetAccessKey(), "");
}

TEST_F(ConfigTest, CompleteFileSetsEveryValue) {
  ASSERT_TRUE(Load(R"({
    "http-server": {"address": "127.0.0.1", "port": 8443, "secure": true,
                    "certificate-chain": "chain.pem", "private-key": "key.pem",
                    "client-auth-token": "client-secret", "admin-auth-token": "admin-secret",
                    "unknown": [1, 2]},
    "google-cloud": {"service-account": "svc@example", "speech-service-endpoint": "https://speech/v1",
                     "language-service-endpoint": "http://language:81/v1", "access-key": "k&y 1"},
    "other": {}
  })"));
  EXPECT_EQ(inspector_.Address(), "127.0.0.1");
  EXPECT_EQ(inspector_.Port(), 8443);
  EXPECT_TRUE(inspector_.Secure());
  EXPECT_EQ(inspector_.CertChain(), "chain.pem");
  EXPECT_EQ(inspector_.PrivateKey(), "key.pem");
  EXPECT_EQ(inspector_.ClientToken(), "client-secret");
  EXPECT_EQ(inspector_.AdminToken(), "admin-secret");
  const GcClient& client = inspector_.Client();
  EXPECT_EQ(client.GetServiceAccount(), "svc@example");
  EXPECT_EQ(client.GetSpeechServiceEndpoint(), "https://speech/v1");
  EXPECT_EQ(client.GetLanguageServiceEndpoint(), "http://language:81/v1");
  EXPECT_EQ(client.GetAccessKey(), "k&y 1");
}

TEST_F(ConfigTest, ValuesOfTheWrongTypeAreIgnored) {
  for (const char* port : {"\"8080\"", "80.0", "8e1", "-1", "4294967296", "true", "null"}) {
    SCOPED_TRACE(port);
    ASSERT_TRUE(Load(std::string(R"({"http-server": {"port": )") + port +
                     R"(, "secure": "true", "address": 7, "client-auth-token": ["x"]},
                        "google-cloud": {"access-key": 5, "speech-service-endpoint": {}}})"));
    EXPECT_EQ(inspector_.Port(), 1080);
    EXPECT_FALSE(inspector_.Secure());
    EXPECT_EQ(inspector_.Address(), "");
    EXPECT_EQ(inspector_.ClientToken(), "");
    EXPECT_EQ(inspector_.Client().GetAccessKey(), "");
    EXPECT_EQ(inspector_.Client().GetSpeechServiceEndpoint(), "");
  }
}

TEST_F(ConfigTest, PortKeepsItsLow16Bits) {
  const std::pair<const char*, int> cases[] = {
      {"0", 0}, {"65535", 65535}, {"65536", 0}, {"70000", 4464}, {"4294967295", 65535}};
  for (const auto& c : cases) {
    ASSERT_TRUE(Load(std::string(R"({"http-server": {"port": )") + c.first + "}}"));
    EXPECT_EQ(inspector_.Port(), c.second) << c.first;
  }
}

TEST_F(ConfigTest, SectionsThatAreNotObjectsAreIgnored) {
  ASSERT_TRUE(Load(R"({"http-server": [{"port": 9}], "google-cloud": "access-key"})"));
  EXPECT_EQ(inspector_.Port(), 1080);
  EXPECT_EQ(inspector_.Client().GetAccessKey(), "");
}

TEST_F(ConfigTest, FirstOccurrenceOfADuplicatedKeyCounts) {
  ASSERT_TRUE(Load(R"({"http-server": {"port": 1111, "port": 2222, "admin-auth-token": "a", "admin-auth-token": "b"},
                       "http-server": {"port": 3333}})"));
  EXPECT_EQ(inspector_.Port(), 1111);
  EXPECT_EQ(inspector_.AdminToken(), "a");
}

TEST_F(ConfigTest, StringsEndAtAnEscapedNul) {
  ASSERT_TRUE(Load(R"({"http-server": {"client-auth-token": "ab\u0000cd"}, "google-cloud": {"access-key": "k\u0000"}})"));
  EXPECT_EQ(inspector_.ClientToken(), "ab");
  EXPECT_EQ(inspector_.Client().GetAccessKey(), "k");
}

TEST_F(ConfigTest, UnusableFilesAreRefusedWithTheParserCodeAndOffset) {
  std::string printed;
  EXPECT_FALSE(Load("", &printed));
  EXPECT_EQ(printed, "Error  : 1\nOffset : 0\n");
  EXPECT_FALSE(Load("{} {}", &printed));
  EXPECT_EQ(printed, "Error  : 2\nOffset : 3\n");
  EXPECT_FALSE(Load("{\"a\": 1,}", &printed));
  EXPECT_EQ(printed, "Error  : 4\nOffset : 8\n");
  EXPECT_FALSE(Load("// operators' note\n{}", &printed));
  EXPECT_EQ(printed.rfind("Error  : ", 0), 0u);

  for (const char* root : {"[]", "\"text\"", "1", "true", "null"}) {
    EXPECT_FALSE(Load(root, &printed)) << root;
    EXPECT_FALSE(printed.empty()) << root;
  }

  testing::internal::CaptureStdout();
  EXPECT_FALSE(inspector_.LoadConfig(dir_ + "/missing.json"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not open file for reading!\n");
}

}  // namespace
