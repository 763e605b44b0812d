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
