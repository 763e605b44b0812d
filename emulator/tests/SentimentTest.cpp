#include "EmulatorChild.h"
#include "ReplyChecks.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

using testsupport::HttpResponse;

// Sentiment needs no speech model, so the emulator runs in fast mode here.
class AnalyzeSentiment : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        emulator_ = std::make_unique<EmulatorChild>();
        ASSERT_TRUE(emulator_->StartListening({"--transcript", "unused", "--workers", "1"})) << emulator_->Output();
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(emulator_->Stop(SIGTERM), 0) << emulator_->Output();
        emulator_.reset();
    }
    static HttpResponse post(const std::string& body)
    {
        return emulator_->Send("POST", "/documents:analyzeSentiment", {}, body);
    }
    static std::string document(const std::string& fields, const std::string& encoding = "")
    {
        return "{\"document\":{" + fields + "}" +
               (encoding.empty() ? "" : ",\"encodingType\":\"" + encoding + "\"") + "}";
    }

    static std::unique_ptr<EmulatorChild> emulator_;
};
std::unique_ptr<EmulatorChild> AnalyzeSentiment::emulator_;

TEST_F(AnalyzeSentiment, AnswersInGoogleShape)
{
    const HttpResponse reply = post(document(
        "\"type\":\"PLAIN_TEXT\",\"content\":\"I love this phone. The battery is terrible.\"", "UTF8"));
    ASSERT_EQ(reply.status, 200) << reply.body;
    const rapidjson::Document doc = parseJson(reply.body);
    ASSERT_TRUE(doc.IsObject()) << reply.body;
    const auto& overall = doc["documentSentiment"];
    EXPECT_GE(overall["magnitude"].GetDouble(), 0.0);
    EXPECT_GE(overall["score"].GetDouble(), -1.0);
    EXPECT_LE(overall["score"].GetDouble(), 1.0);
    EXPECT_STREQ(doc["language"].GetString(), "en");
    const auto& sentences = doc["sentences"];
    ASSERT_EQ(sentences.Size(), 2u);
    EXPECT_STREQ(sentences[0]["text"]["content"].GetString(), "I love this phone.");
    EXPECT_EQ(sentences[0]["text"]["beginOffset"].GetInt(), 0);
    EXPECT_GT(sentences[0]["sentiment"]["score"].GetDouble(), 0.0);
    EXPECT_STREQ(sentences[1]["text"]["content"].GetString(), "The battery is terrible.");
    EXPECT_EQ(sentences[1]["text"]["beginOffset"].GetInt(), 19);
    EXPECT_LT(sentences[1]["sentiment"]["score"].GetDouble(), 0.0);
    EXPECT_GT(sentences[1]["sentiment"]["magnitude"].GetDouble(), 0.0);
}

TEST_F(AnalyzeSentiment, OffsetsCountInTheUnitsAsked)
{
    // "é" is 2 bytes in UTF-8; the emoji is 4 bytes, 2 UTF-16 units, 1 code point.
    const std::string content =
        "\"type\":\"PLAIN_TEXT\",\"content\":\"Caf\xC3\xA9 first. \xF0\x9F\x98\x80 Great day! Bye.\"";
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"UTF8", {0, 13, 29}}, {"UTF16", {0, 12, 26}}, {"UTF32", {0, 12, 25}}, {"", {-1, -1, -1}}};
    for (const auto& [encoding, offsets] : cases) {
        const HttpResponse reply = post(document(content, encoding));
        ASSERT_EQ(reply.status, 200) << reply.body;
        const rapidjson::Document doc = parseJson(reply.body);
        ASSERT_EQ(doc["sentences"].Size(), offsets.size()) << reply.body;
        for (size_t i = 0; i < offsets.size(); ++i)
            EXPECT_EQ(doc["sentences"][rapidjson::SizeType(i)]["text"]["beginOffset"].GetInt(), offsets[i])
                << encoding << " sentence " << i;
    }
}

TEST_F(AnalyzeSentiment, HtmlIsReadWithoutItsTags)
{
    const std::string html = "<p>I <b>love</b> it.</p><p>Awful service.</p>";
    const HttpResponse reply = post(document("\"type\":\"HTML\",\"content\":\"" + html + "\"", "UTF8"));
    ASSERT_EQ(reply.status, 200) << reply.body;
    const rapidjson::Document doc = parseJson(reply.body);
    ASSERT_EQ(doc["sentences"].Size(), 2u) << reply.body;
    EXPECT_GT(doc["sentences"][0]["sentiment"]["score"].GetDouble(), 0.0);
    EXPECT_LT(doc["sentences"][1]["sentiment"]["score"].GetDouble(), 0.0);
    EXPECT_EQ(doc["sentences"][1]["text"]["beginOffset"].GetInt(), int(html.find("Awful")));
    EXPECT_EQ(std::string(doc["sentences"][0]["text"]["content"].GetString()), "I love it.");
    EXPECT_EQ(std::string(doc["sentences"][1]["text"]["content"].GetString()), "Awful service.");
}

TEST_F(AnalyzeSentiment, RefusesWhatGoogleRefuses)
{
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "'document' is required"},
        {document("\"content\":\"Good.\""), "type is missing"},
        {document("\"type\":\"PDF\",\"content\":\"Good.\""), "\"PDF\""},
        {document("\"type\":\"PLAIN_TEXT\",\"content\":\"\""), "content, or gcs_content_uri must be set"},
        {document("\"type\":\"PLAIN_TEXT\",\"content\":\"Bon.\",\"language\":\"fr\""), "The language fr is not supported"},
        {document("\"type\":\"PLAIN_TEXT\",\"text\":\"Good.\""), "Unknown name \"text\" at 'document'"},
        {document("\"type\":\"PLAIN_TEXT\",\"content\":\"Good.\"", "LATIN1"), "encoding_type"},
        {"[1,2]", "Invalid JSON payload"},
    };
    for (const auto& [body, message] : cases) {
        SCOPED_TRACE(body);
        expectGoogleError(post(body), 400, "INVALID_ARGUMENT", message);
    }
}

TEST_F(AnalyzeSentiment, EnglishVariantsAreServed)
{
    const HttpResponse reply = post(document("\"type\":\"PLAIN_TEXT\",\"content\":\"Lovely.\",\"language\":\"en-GB\""));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_STREQ(parseJson(reply.body)["language"].GetString(), "en-GB");
}
