// The configuration file: which members it takes, of which types and ranges, and
// what it says of a file it cannot use.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "base/Config.h"
#include "base/Trace.h"

namespace
{

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

// Every setting of the listener, the tokens and the cloud's strings, on one line.
std::string Settings(const Config& c)
{
    const ListenerSettings& l = c.listener;
    const CloudSettings& g = c.cloud;
    return l.address + "|" + std::to_string(l.port) + "|" + (l.secure ? "secure" : "plain") + "|" + l.certificateChain +
           "|" + l.privateKey + "|" + c.policy.clientAuthToken + "|" + c.policy.adminAuthToken + "|" +
           g.serviceAccount + "|" + g.speechServiceEndpoint + "|" + g.languageServiceEndpoint + "|" + g.accessKey;
}

std::string Limits(const Config& c)
{
    return std::to_string(c.cloud.callTimeoutSeconds) + "|" + std::to_string(c.cloud.longRunningTimeoutSeconds) + "|" +
           std::to_string(c.drainTimeoutSeconds) + "|" + std::to_string(c.trace.bufferSize);
}

// Reads `text` as the configuration file: what the reader printed, and the settings.
std::string Load(const std::string& text, Config& config)
{
    // Named for the process: tests run side by side, here and in other checkouts.
    const std::string path = testing::TempDir() + "s2t-config-" + std::to_string(getpid()) + ".json";
    std::ofstream(path, std::ios::binary) << text;
    bool read = false;
    const std::string printed = Traced([&] { read = ReadConfig(path, config); });
    std::remove(path.c_str());
    return (read ? "" : "refused: ") + printed + Settings(config);
}

std::string Load(const std::string& text)
{
    Config config;
    return Load(text, config);
}

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
        EXPECT_EQ(Load(c.first), c.second) << c.first;
    // The port is an unsigned integer, of which the low 16 bits count.
    const std::pair<std::string, std::string> ports[] = {
        {"0", "0"},           {"65535", "65535"}, {"65536", "0"},  {"70000", "4464"}, {"4294967295", "65535"},
        {"\"8080\"", "1080"}, {"80.0", "1080"},   {"8e1", "1080"}, {"-1", "1080"},    {"4294967296", "1080"}};
    for (const auto& [port, taken] : ports)
        EXPECT_EQ(Load(R"({"http-server": {"port": )" + port + "}}"), "|" + taken + "|plain||||||||") << port;
    Config config;
    EXPECT_EQ(Traced([&] { EXPECT_FALSE(ReadConfig(testing::TempDir() + "missing/brivel.json", config)); }),
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
    for (const auto& [text, taken] : cases)
    {
        Config config;
        Load(text, config);
        EXPECT_EQ(Limits(config), taken) << text;
    }
}

} // namespace

namespace
{

// Google's recognition options: each checked, then sent in Google's order whatever the file's.
TEST(ConfigLoader, TakesRecognitionOptionsInGooglesOrderAndRefusesWhatGoogleHasNot)
{
    Config config;
    Load(R"({"google-cloud": {"recognition": {"useEnhanced": true, "model": "phone_call", "speechContexts":
         [{"phrases": ["voicemail"], "boost": 4.5}], "enableAutomaticPunctuation": true, "maxAlternatives": 2}}})",
         config);
    EXPECT_EQ(config.cloud.recognition,
              R"("maxAlternatives":2,"speechContexts":[{"phrases":["voicemail"],"boost":4.5}],)"
              R"("enableAutomaticPunctuation":true,"model":"phone_call","useEnhanced":true)");
    const std::pair<std::string, std::string> refused[] = {
        {R"({"enableAutomaticPunctuatoin": true})",
         "recognition option [enableAutomaticPunctuatoin] is not a RecognitionConfig member the service can add"},
        {R"({"profanityFilter": "true"})", "recognition option [profanityFilter] must be true or false"},
        {R"({"maxAlternatives": 31})", "recognition option [maxAlternatives] must be an integer in its range"},
        {R"({"model": 7})", "recognition option [model] must be a string"},
        {R"({"speechContexts": [{"phrases": [1]}]})",
         R"(recognition option [speechContexts] must be a list of {"phrases": [strings], "boost": number})"},
        {R"([])", "recognition must be an object of RecognitionConfig members"},
    };
    for (const auto& [options, line] : refused)
        EXPECT_EQ(Load(R"({"google-cloud": {"recognition": )" + options + "}}").substr(0, 9 + 9 + line.size() + 1),
                  "refused: Error  : " + line + "\n")
            << options;
}

} // namespace
