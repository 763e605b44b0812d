#include "EmulatorChild.h"
#include "ReplyChecks.h"
#include "TestAudio.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>

using testsupport::HttpResponse;

namespace {

const char* const kRecognize = "/v1/speech:recognize";

std::string transcriptOf(const HttpResponse& reply)
{
    const rapidjson::Document doc = parseJson(reply.body);
    if (!doc.IsObject() || !doc.HasMember("results"))
        return "";
    return doc["results"][0]["alternatives"][0]["transcript"].GetString();
}

} // namespace

// One emulator with the real model for the whole suite: loading it is the slow part.
class Recognize : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        emulator_ = std::make_unique<EmulatorChild>();
        ASSERT_TRUE(emulator_->StartListening({"--prefix", "/v1", "--workers", "2"})) << emulator_->Output();
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(emulator_->Stop(SIGTERM), 0) << "no orderly, sanitizer-clean exit:\n" << emulator_->Output();
        emulator_.reset();
    }
    static HttpResponse post(const std::string& body) { return emulator_->Send("POST", kRecognize, {}, body); }
    // Writes a recognition request on a connection of its own and leaves the answer
    // unread; the socket, or -1.
    static int postWithoutWaiting(const std::string& body)
    {
        const int fd = testsupport::ConnectTcp("127.0.0.1", emulator_->Port(), kHangGuardMs);
        const std::string request = std::string("POST ") + kRecognize +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                    "Content-Length: " + std::to_string(body.size()) +
                                    "\r\nConnection: close\r\n\r\n" + body;
        if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            close(fd);
            return -1;
        }
        return fd;
    }

    static std::unique_ptr<EmulatorChild> emulator_;
};
std::unique_ptr<EmulatorChild> Recognize::emulator_;

TEST_F(Recognize, WavGivesTheTranscriptInGoogleShape)
{
    const std::string wav = encodeAudio(goForwardSamples(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000);
    const HttpResponse reply = post(recognizeBody(wav));
    ASSERT_EQ(reply.status, 200) << reply.body;
    const rapidjson::Document doc = parseJson(reply.body);
    ASSERT_TRUE(doc.IsObject()) << reply.body;
    const auto& result = doc["results"][0];
    const auto& best = result["alternatives"][0];
    EXPECT_EQ(std::string(best["transcript"].GetString()), "go forward ten meters");
    EXPECT_GT(best["confidence"].GetDouble(), 0.0);
    EXPECT_LE(best["confidence"].GetDouble(), 1.0);
    EXPECT_STREQ(result["resultEndTime"].GetString(), "2.786s"); // 44580 samples
    EXPECT_STREQ(result["languageCode"].GetString(), "en-us");
    EXPECT_STREQ(doc["totalBilledTime"].GetString(), "3s");
    const std::string id = doc["requestId"].GetString();
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
}

TEST_F(Recognize, OtherFormatsRatesAndChannelsAreRecognisedToo)
{
    const std::vector<int16_t> speech = goForwardSamples();
    const std::pair<std::string, std::string> requests[] = {
        {"FLAC", recognizeBody(encodeAudio(speech, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000))},
        {"MULAW WAV 8 kHz", recognizeBody(encodeAudio(speech, SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000))},
        {"stereo WAV 44.1 kHz", recognizeBody(encodeAudio(speech, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2))},
        {"headerless LINEAR16", recognizeBody(readFileBytes(testDataPath("goforward.raw")), "en-US",
                                              "\"encoding\":\"LINEAR16\",\"sampleRateHertz\":16000")},
    };
    for (const auto& [name, body] : requests) {
        const HttpResponse reply = post(body);
        EXPECT_EQ(reply.status, 200) << name << ": " << reply.body;
        EXPECT_NE(transcriptOf(reply).find("go forward"), std::string::npos) << name << ": " << reply.body;
    }
}

TEST_F(Recognize, AudioWithoutSpeechGivesAnEmptyObject)
{
    const HttpResponse reply = post(recognizeBody(silentWav(2.0)));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "{}");
}

TEST_F(Recognize, UsesTheFirstLanguageItHasAModelFor)
{
    const std::string wav = encodeAudio(goForwardSamples(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000);
    const HttpResponse reply = post(recognizeBody(wav, "de-DE", "\"alternativeLanguageCodes\":[\"fr-FR\",\"en-US\"]"));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_STREQ(parseJson(reply.body)["results"][0]["languageCode"].GetString(), "en-us");
}

TEST_F(Recognize, RefusesWhatGoogleRefuses)
{
    const std::string wav = encodeAudio(goForwardSamples(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000);
    const std::string content = base64(wav);
    const std::pair<std::string, std::string> cases[] = {
        {"{\"config\":{\"languageCode\":\"en-US\"}}", "RecognitionAudio not set"},
        {"{\"config\":{\"languageCode\":\"en-US\"},\"audio\":{\"content\":\"\"}}", "RecognitionAudio not set"},
        {"{\"config\":{\"languageCode\":\"en-US\"},\"audio\":{\"content\":\"not base64!\"}}", "Base64 decoding failed"},
        {recognizeBody("this is plain text, not a recording"), "WAV or FLAC"},
        {recognizeBody(wav, "de-DE"), "en-US"},
        {"{\"config\":{},\"audio\":{\"content\":\"" + content + "\"}}", "language_code"},
        {recognizeBody(wav, "en-US", "\"sampleRateHertz\":8000"), "match the value in the WAV header (16000)"},
        {recognizeBody(wav, "en-US", "\"languagecode\":\"en-US\""), "Unknown name \"languagecode\" at 'config'"},
        {recognizeBody(silentWav(61)), "Sync input too long"},
        {"{\"config\":", "Invalid JSON payload"},
        {std::string(10 * 1024 * 1024 + 1, ' '), "exceeds the limit: 10485760 bytes"},
    };
    for (const auto& [body, message] : cases) {
        SCOPED_TRACE(message);
        expectGoogleError(post(body), 400, "INVALID_ARGUMENT", message);
    }
}

TEST_F(Recognize, TakesSnakeCaseFieldNamesAsGoogleDoes)
{
    const std::string raw = readFileBytes(testDataPath("goforward.raw"));
    const std::string body = "{\"config\":{\"language_code\":\"en-US\",\"encoding\":\"LINEAR16\","
                             "\"sample_rate_hertz\":16000},\"audio\":{\"content\":\"" + base64(raw) + "\"}}";
    const HttpResponse reply = post(body);
    EXPECT_EQ(reply.status, 200) << reply.body;
}

// The loop must not wait for the decoder: a sentiment request sent while a
// 7-second recording is being decoded is answered first.
TEST_F(Recognize, AnswersOtherRequestsWhileDecoding)
{
    const std::string wav = readFileBytes(testDataPath("librivox/sense_and_sensibility_01_austen_64kb-0870.wav"));
    const int recognition = postWithoutWaiting(recognizeBody(wav));
    ASSERT_GE(recognition, 0);

    const HttpResponse sentiment = emulator_->Send("POST", "/v1/documents:analyzeSentiment", {},
                                                   "{\"document\":{\"type\":\"PLAIN_TEXT\",\"content\":\"Good.\"}}");
    EXPECT_EQ(sentiment.status, 200);
    pollfd answered{recognition, POLLIN, 0};
    EXPECT_EQ(poll(&answered, 1, 0), 0) << "the recognition finished before the sentiment answer";

    testsupport::ClientOptions options;
    options.timeoutMs = kHangGuardMs;
    const HttpResponse reply = testsupport::ReadResponse(recognition, options);
    close(recognition);
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(transcriptOf(reply).find("consider how much there might be"), std::string::npos) << reply.body;
    EXPECT_STREQ(parseJson(reply.body)["results"][0]["resultEndTime"].GetString(), "7.100s");
}

TEST_F(Recognize, ClientLeavingBeforeItsAnswerIsHarmless)
{
    const std::string wav = readFileBytes(testDataPath("librivox/sense_and_sensibility_01_austen_64kb-0880.wav"));
    const int leaving = postWithoutWaiting(recognizeBody(wav));
    ASSERT_GE(leaving, 0);
    close(leaving);
    const HttpResponse reply = post(recognizeBody(wav));
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(transcriptOf(reply).find("young man"), std::string::npos) << reply.body;
}

TEST_F(Recognize, TracesEachRecognitionOnOneLine)
{
    const std::string wav = encodeAudio(goForwardSamples(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000);
    ASSERT_EQ(post(recognizeBody(wav)).status, 200);
    const std::string line = emulator_->WaitForLine("POST /v1/speech:recognize 200 \"go forward ten meters\"");
    EXPECT_NE(line.find("decoded in"), std::string::npos) << line;
}
