// The configuration file: which members it takes, of which types and ranges, and
// what it says of a file it cannot use.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <set>

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

// Every setting, on one line.
std::string Describe(const Config& c)
{
    const ListenerSettings& l = c.listener;
    const CloudSettings& g = c.cloud;
    std::string text = Settings(c) + "|" + Limits(c);
    for (uint64_t n : {l.maxBodySize, l.maxHeaderSize, l.timeoutSeconds, l.headerTimeoutSeconds, l.maxBufferedBytes,
                       l.maxConnections, l.maxConnectionRequests, l.maxConnectionAgeSeconds, c.trace.rate,
                       g.maxReplySize, g.retries, g.connectTimeoutSeconds, uint64_t{c.policy.metrics}})
        text += "|" + std::to_string(n);
    for (const std::string& t : {c.policy.metricsAuthToken, c.trace.mode, g.credentials, g.metadataEndpoint,
                                 g.storageBucket, g.storageEndpoint, g.storagePrefix, g.defaultLanguage, g.recognition})
        text += "|" + t;
    return text;
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
             "private-key": "k.pem", "client-auth-token": "ct", "admin-auth-token": "at"},
             "google-cloud": {"service-account": "sa", "speech-service-endpoint": "https://s/v1",
             "language-service-endpoint": "http://l:81/v1", "access-key": "k&y 1"}})",
         "127.0.0.1|8443|secure|c.pem|k.pem|ct|at|sa|https://s/v1|http://l:81/v1|k&y 1"},
        {R"({"http-server": {"port": 1, "port": "2", "admin-auth-token": "a", "admin-auth-token": 7},
             "http-server": {"porr": 3}})",
         "|1|plain||||a||||"},
        {R"({"http-server": {"client-auth-token": "ab\u0000cd", "port": 0}, "google-cloud": {"access-key": "k\u0000"}})",
         "|0|plain|||ab|||||k"},
        {"", std::string("refused: Error  : 1\nOffset : 0\nError  : line 1, column 1: The document is empty.\n") +
                 kDefaults},
        {"{\n  \"a\": 1,\n}", std::string("refused: Error  : 4\nOffset : 12\nError  : line 3, column 1: Missing a name "
                                          "for object member.\n") +
                                  kDefaults},
        {"[]", std::string("refused: Error  : configuration root is not an object\n") + kDefaults},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Load(c.first), c.second) << c.first;
    Config config;
    EXPECT_EQ(Traced([&] { EXPECT_FALSE(ReadConfig(testing::TempDir() + "missing/brivel.json", config)); }),
              "Could not open file for reading!\nError  : [" + testing::TempDir() +
                  "missing/brivel.json]: No such file or directory\n");
}

// A key that is not a setting, a value of another type or out of range: refused, with the one line that says so.
TEST(ConfigLoader, RefusesWhatIsNotASettingOfItsTypeAndRange)
{
    const std::pair<std::string, std::string> cases[] = {
        {R"({"http-server": {"client-auth-tokn": "x"}})",
         "[http-server.client-auth-tokn] is not a setting of http-server"},
        {R"({"http-servr": {}})", "[http-servr] is not a section: http-server or google-cloud"},
        {R"({"google-cloud": "access-key"})", "[google-cloud] must be an object of settings"},
        {R"({"http-server": {"timeout": "30"}})",
         R"([http-server.timeout] is ["30"]: must be an integer of at least 0)"},
        {R"({"http-server": {"secure": "true"}})", R"([http-server.secure] is ["true"]: must be true or false)"},
        {R"({"http-server": {"address": 7}})", "[http-server.address] is [7]: must be a string"},
        {R"({"http-server": {"port": 65536}})", "[http-server.port] is [65536]: must be an integer from 0 to 65535"},
        {R"({"http-server": {"port": 80.0}})", "[http-server.port] is [80.0]: must be an integer from 0 to 65535"},
        {R"({"http-server": {"drain-timeout": -1}})",
         "[http-server.drain-timeout] is [-1]: must be an integer from 0 to 86400"},
        {R"({"http-server": {"trace-buffer-size": 65535}})",
         "[http-server.trace-buffer-size] is [65535]: must be an integer from 65536 to 1073741824"},
        {R"({"google-cloud": {"call-timeout": 3601}})",
         "[google-cloud.call-timeout] is [3601]: must be an integer from 1 to 3600"},
        {R"({"http-server": {"trace": "Redacted"}})",
         R"([http-server.trace] is ["Redacted"]: must be one of "full", "redacted")"},
        {R"({"google-cloud": {"access-key": ["a very long value that is cut where it passes the sixtieth byte"]}})",
         R"([google-cloud.access-key] is [["a very long value that is cut where it passes the sixti...]: must be a string)"},
    };
    for (const auto& [text, line] : cases)
        EXPECT_EQ(Load(text), "refused: Error  : " + line + "\n" + kDefaults) << text;
}

// Time-outs and sizes are taken at both ends of their range; a time-out past a year counts as a year.
TEST(ConfigLoader, TakesLimitsAtBothEndsOfTheirRange)
{
    const std::pair<std::string, std::string> cases[] = {
        {R"({"google-cloud": {"call-timeout": 1, "long-running-timeout": 1}, "http-server": {"drain-timeout": 0,
             "trace-buffer-size": 65536}})",
         "1|1|0|65536"},
        {R"({"google-cloud": {"call-timeout": 3600, "long-running-timeout": 86400}, "http-server": {"drain-timeout":
             86400, "trace-buffer-size": 1073741824}})",
         "3600|86400|86400|1073741824"},
    };
    for (const auto& [text, taken] : cases)
    {
        Config config;
        Load(text, config);
        EXPECT_EQ(Limits(config), taken) << text;
    }
    Config config;
    Load(R"({"http-server": {"timeout": 99999999999}})", config);
    EXPECT_EQ(config.listener.timeoutSeconds, 365u * 24 * 3600);
}

// A row of a settings table, "| `key` | default | meaning |": its key and default.
bool TableRow(const std::string& line, std::string& key, std::string& value)
{
    const size_t end = line.find("` | ", 3);
    const size_t bar = end == std::string::npos ? end : line.find('|', end + 4);
    if (line.rfind("| `", 0) != 0 || bar == std::string::npos)
        return false;
    key = line.substr(3, end - 3);
    value = line.substr(end + 4, bar - end - 4);
    value.erase(value.find_last_not_of(' ') + 1);
    return !key.empty() && key.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos && !value.empty();
}

// A default as a value: a number, true, false, `text` or "empty"; not one in words.
bool Literal(const std::string& value)
{
    return value == "true" || value == "false" || value == "empty" ||
           value.find_first_not_of("0123456789") == std::string::npos ||
           (value.size() >= 2 && value[0] == '`' && value.find('`', 1) == value.size() - 1);
}

// README.md's settings tables: each row a setting, each setting a row, and each default given as a literal the
// code's own (one in words is loaded as null).
TEST(ConfigLoader, ReadmeDocumentsEverySettingWithTheCodesDefault)
{
    const std::vector<std::string> names = SettingNames();

    std::set<std::string> documented;
    std::ifstream readme(S2T_README);
    bool inTable = false;
    for (std::string line; std::getline(readme, line);)
    {
        std::string key, value;
        inTable = line.rfind("| Key | Default |", 0) == 0 || (inTable && line.rfind('|', 0) == 0);
        if (!inTable || !TableRow(line, key, value))
            continue;

        documented.insert(key);
        const auto name = std::find_if(names.begin(), names.end(),
                                       [&](const std::string& n) { return n.substr(n.find('.') + 1) == key; });
        const std::string section = name == names.end() ? "http-server" : name->substr(0, name->find('.'));
        const bool isLiteral = Literal(value);

        const std::string json = !isLiteral         ? "null"
                                 : value == "empty" ? "\"\""
                                 : value[0] == '`'  ? '"' + value.substr(1, value.size() - 2) + '"'
                                                    : value;
        Config config;
        const std::string printed = Load("{\"" + section + "\": {\"" + key + "\": " + json + "}}", config);
        EXPECT_EQ(printed.find(isLiteral ? "refused" : "is not a setting"), std::string::npos) << printed;
        EXPECT_EQ(Describe(config), Describe(Config())) << key << " is documented with the default " << value;
    }
    for (const std::string& name : names)
        EXPECT_EQ(documented.count(name.substr(name.find('.') + 1)), 1u) << name << " is not in README.md";
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
