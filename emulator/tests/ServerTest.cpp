#include "EmulatorChild.h"
#include "ReplyChecks.h"
#include "TestAudio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

using testsupport::HttpResponse;

namespace {

// Runs the binary to its end; its exit status, and in `output` all it printed.
int runEmulator(const std::vector<std::string>& args, std::string& output)
{
    testsupport::ChildProcess emulator(S2T_EMULATOR_BINARY);
    const int status = emulator.Start(args) ? emulator.WaitForExit(kHangGuardMs) : -1;
    output = emulator.Output();
    return status;
}

} // namespace

// Fast mode with an API key: routing, key check and the fixed transcript.
class Server : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        emulator_ = std::make_unique<EmulatorChild>();
        ASSERT_TRUE(emulator_->StartListening({"--transcript", "hello from the fast mode", "--api-key", "secret",
                                               "--prefix", "v1/", "--workers", "1"}))
            << emulator_->Output();
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(emulator_->Stop(SIGTERM), 0) << emulator_->Output();
        emulator_.reset();
    }
    static HttpResponse request(const std::string& method, const std::string& target, const std::string& body = "",
                                std::vector<testsupport::Header> headers = {})
    {
        return emulator_->Send(method, target, std::move(headers), body);
    }
    static std::string goForwardBody()
    {
        return recognizeBody(encodeAudio(goForwardSamples(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000));
    }

    static std::unique_ptr<EmulatorChild> emulator_;
};
std::unique_ptr<EmulatorChild> Server::emulator_;

TEST_F(Server, RefusesMissingAndWrongKeysAsGoogleDoes)
{
    const std::string body = goForwardBody();
    expectGoogleError(request("POST", "/v1/speech:recognize", body), 403, "PERMISSION_DENIED", "API Key");

    const HttpResponse wrong = request("POST", "/v1/speech:recognize?key=guess", body);
    expectGoogleError(wrong, 400, "INVALID_ARGUMENT", "API key not valid");
    const rapidjson::Document doc = parseJson(wrong.body);
    EXPECT_STREQ(doc["error"]["details"][0]["reason"].GetString(), "API_KEY_INVALID");
    EXPECT_STREQ(doc["error"]["details"][0]["metadata"]["service"].GetString(), "speech.googleapis.com");

    const std::string sentiment = "{\"document\":{\"type\":\"PLAIN_TEXT\",\"content\":\"Good.\"}}";
    expectGoogleError(request("POST", "/v1/documents:analyzeSentiment?key=guess", sentiment), 400,
                      "INVALID_ARGUMENT", "API key not valid");
    EXPECT_EQ(request("POST", "/v1/documents:analyzeSentiment?alt=json&key=secret", sentiment).status, 200);
}

TEST_F(Server, TakesTheKeyFromTheQueryOrTheHeader)
{
    EXPECT_EQ(request("POST", "/v1/speech:recognize?key=secret", goForwardBody()).status, 200);
    EXPECT_EQ(request("POST", "/v1/speech:recognize", goForwardBody(), {{"X-Goog-Api-Key", "secret"}}).status, 200);
}

TEST_F(Server, FastModeAnswersWithTheGivenTextButStillReadsTheAudio)
{
    const HttpResponse reply = request("POST", "/v1/speech:recognize?key=secret", goForwardBody());
    ASSERT_EQ(reply.status, 200) << reply.body;
    const rapidjson::Document doc = parseJson(reply.body);
    EXPECT_STREQ(doc["results"][0]["alternatives"][0]["transcript"].GetString(), "hello from the fast mode");
    EXPECT_STREQ(doc["results"][0]["resultEndTime"].GetString(), "2.786s");

    expectGoogleError(request("POST", "/v1/speech:recognize?key=secret", recognizeBody("no audio here")), 400,
                      "INVALID_ARGUMENT", "WAV or FLAC");
    expectGoogleError(request("POST", "/v1/speech:recognize?key=secret", recognizeBody(silentWav(61))), 400,
                      "INVALID_ARGUMENT", "Sync input too long");
}

TEST_F(Server, AnswersUnknownPathsAndOtherMethodsWithJsonErrors)
{
    const std::string body = goForwardBody();
    expectGoogleError(request("POST", "/speech:recognize?key=secret", body), 404, "NOT_FOUND", "/speech:recognize");
    expectGoogleError(request("POST", "/v1/speech:longrunningrecognize?key=secret", body), 404, "NOT_FOUND");
    expectGoogleError(request("GET", "/"), 404, "NOT_FOUND");
    for (const char* method : {"GET", "PUT", "DELETE", "PATCH"}) {
        const HttpResponse reply = request(method, "/v1/speech:recognize?key=secret");
        expectGoogleError(reply, 405, "METHOD_NOT_ALLOWED", method);
        EXPECT_EQ(reply.Find("Allow") ? *reply.Find("Allow") : "", "POST");
    }
}

TEST_F(Server, DecodesPercentEncodedPaths)
{
    EXPECT_EQ(request("POST", "/v1/speech%3Arecognize?key=secret", goForwardBody()).status, 200);
}

TEST(EmulatorCommandLine, HelpNamesEveryOption)
{
    std::string output;
    ASSERT_EQ(runEmulator({"--help"}, output), 0);
    for (const char* option : {"--address", "--port", "--prefix", "--api-key", "--workers", "--transcript",
                               "--hmm", "--lm", "--dict", "--word-list"})
        EXPECT_NE(output.find(option), std::string::npos) << option;
}

TEST(EmulatorCommandLine, BadSettingsStopItWithOneLine)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--port", "http"}, 2},
        {{"--workers", "0"}, 2},
        {{"--no-such-option"}, 2},
        {{"--word-list", "/nonexistent/index.json", "--transcript", "x"}, 1},
        {{"--hmm", "/nonexistent", "--port", "0", "--workers", "1"}, 1},
    };
    for (const auto& [args, code] : cases) {
        std::string output;
        EXPECT_EQ(runEmulator(args, output), code) << args[0] << ": " << output;
        EXPECT_EQ(output.find("listening"), std::string::npos) << output;
    }
}

TEST(EmulatorCommandLine, StopsInOrderOnSigint)
{
    EmulatorChild emulator;
    ASSERT_TRUE(emulator.StartListening({"--transcript", "x", "--workers", "2"})) << emulator.Output();
    EXPECT_EQ(emulator.Stop(SIGINT), 0) << emulator.Output();
}
