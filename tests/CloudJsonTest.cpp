// The recognition reply reader: which transcript and language code it takes from
// a speech service reply, and which replies it refuses.
#include <gtest/gtest.h>

#include "cloud/CloudJson.h"

namespace
{

TEST(ReplyReader, JoinsTheFirstAlternativeOfEveryResultAndTakesTheFirstResultsLanguage)
{
    const size_t depth = 1000000;
    // Outputs start as "keep", so a value the reader did not find shows as unchanged.
    const std::pair<std::string, std::string> cases[] = {
        {R"({"results": [{"alternatives": [{"transcript": "first", "confidence": 0.9}, {"transcript": "second"}],
             "languageCode": "en-us"}, {"alternatives": [{"transcript": "later"}], "languageCode": "de"}]})",
         "en-us|first later"},
        // One space between two results, never two: the cloud may lead or end a transcript with one.
        {R"({"results": [{"alternatives": [{"transcript": "one"}]}, {"alternatives": [{"transcript": " two"}]},
             {"alternatives": [{"transcript": "three "}]}, {"alternatives": [{"transcript": "four"}]},
             {"alternatives": [{"transcript": ""}]}, {"alternatives": [{"transcript": "say \"hi\"\n"}]}]})",
         "keep|one two three four say \"hi\"\n"},
        // Odd members are passed over wherever they stand.
        {R"({"results": [1, "x", {"alternatives": [null, {"transcript": "found"}], "languageCode": "fr"},
             {"languageCode": "it"}, {"alternatives": "x"}, {"alternatives": [{"transcript": 12}]}, [],
             {"alternatives": [{}, {"transcript": "skipped"}]}, {"alternatives": [{"transcript": "end"}]}]})",
         "fr|found end"},
        {"{}", "keep|keep"},
        {R"({"results": []})", "keep|keep"},
        {R"({"results": {"alternatives": []}})", "keep|keep"},
        {R"({"results": [7, []]})", "keep|keep"},
        {R"({"results": [{"languageCode": "en-us"}]})", "en-us|keep"},
        {R"({"results": [{"alternatives": "x", "languageCode": 5}]})", "keep|keep"},
        {R"({"results": [{"alternatives": [{"transcript": 12}], "languageCode": "en"}]})", "en|keep"},
        {"\xEF\xBB\xBF{\"results\": [{\"alternatives\": [{\"transcript\": \"hi\"}]}]}", "keep|hi"},
        {R"({"results": [{"alternatives": [{"transcript": "cut\u0000here"}], "languageCode": "e\u0000n"}]})", "e|cut"},
        {"{\"results\": [" + std::string(depth, '[') + std::string(depth, ']') +
             ", {\"alternatives\": [{\"transcript\": \"deep\"}]}]}",
         "keep|deep"},
        {"{\"results\": " + std::string(depth, '['), "refused"},
        {"", "refused"},
        {"<html><body>busy</body></html>", "refused"},
        {"[]", "refused"},
        {"{} {}", "refused"},
    };
    for (const auto& c : cases)
    {
        std::string language = "keep";
        std::string text = "keep";
        const bool read = CloudJson::ParseTranscribeResults(c.first, language, text);
        EXPECT_EQ(read ? language + "|" + text : "refused", c.second) << c.first.substr(0, 80);
        if (!read)
        {
            EXPECT_EQ(language + "|" + text, "keep|keep");
        }
    }
}

} // namespace

namespace
{

// Names go into the poll's path as they are: only what Google makes.
TEST(ReplyReader, TakesOperationNamesTokensAndReasonsOnlyAsGoogleWritesThem)
{
    const std::pair<std::string, bool> names[] = {{"1234567890", true},
                                                  {"op-1_b", true},
                                                  {std::string(256, '7'), true},
                                                  {std::string(257, '7'), false},
                                                  {"/x//..//..", false},
                                                  {"a.b", false},
                                                  {"x?y", false},
                                                  {"", false},
                                                  {std::string(1 << 20, 'a'), false}};
    for (const auto& [name, taken] : names)
    {
        CloudJson::Operation operation;
        EXPECT_EQ(CloudJson::ReadOperation("{\"name\":\"" + name + "\"}", operation), taken) << name.substr(0, 40);
    }
    std::string token = "keep";
    int expiresIn = 0;
    for (const char* refused : {R"({"access_token":"","expires_in":3599})", R"({"access_token":"t","expires_in":0})",
                                R"({"access_token":"t","expires_in":"3599"})", R"({"access_token":"t"})",
                                R"({"access_token":"t","expires_in":5,"token_type":"MAC"})", "[]", ""})
        EXPECT_FALSE(CloudJson::ReadToken(refused, token, expiresIn)) << refused;
    EXPECT_EQ(token, "keep");
    EXPECT_TRUE(CloudJson::ReadToken(R"({"access_token":"t","expires_in":5})", token, expiresIn));
    EXPECT_EQ(token + std::to_string(expiresIn), "t5");
    std::string status;
    std::string message;
    EXPECT_TRUE(
        CloudJson::ReadError(R"({"error":{"code":400,"message":"bad","status":"INVALID_ARGUMENT"}})", status, message));
    EXPECT_EQ(status + "|" + message, "INVALID_ARGUMENT|bad");
    EXPECT_TRUE(CloudJson::ReadError(R"({"error":"invalid_grant","error_description":"expired"})", status, message));
    EXPECT_EQ(status + "|" + message, "invalid_grant|expired");
    EXPECT_FALSE(CloudJson::ReadUploaded(R"({"name":"other"})", "obj"));
    EXPECT_TRUE(CloudJson::ReadUploaded(R"({"name":"obj","bucket":"b"})", "obj"));
}

} // namespace
