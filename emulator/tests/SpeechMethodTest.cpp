#include "SpeechMethod.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(Base64, DecodesWhatProtoJsonAcceptsAndNothingElse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"aGVsbG8=", "hello"},       // padded
        {"aGVsbG8", "hello"},        // padding left out
        {"aGVs\nbG8=\r\n", "hello"}, // wrapped lines
        {"-_8=", "\xfb\xff"},        // URL-safe alphabet
        {"+/8=", "\xfb\xff"},        // standard alphabet
        {"", ""},
        {"aGVs!G8=", nullptr},
        {"aGVs=G8=", nullptr},
        {"aGVsbG8===", nullptr},
        {"aGVsb", nullptr},
        {"a", nullptr},
        {"aGVsbA=", nullptr},
        {"{\"a\":1}", nullptr},
    };
    for (const auto& [text, expected] : cases)
    {
        std::string out;
        EXPECT_EQ(DecodeBase64(text, out), expected != nullptr) << text;
        if (expected)
        {
            EXPECT_EQ(out, expected) << text;
        }
    }
}

TEST(SpeechMethod, ReadsConfigAsProtoJsonDoesAndRefusesWhatGoogleRefuses)
{
    const std::string audio = R"("audio":{"content":"UklGRg"})"; // "RIFF"
    // A body's config, and a part of the refusal's message (nullptr: accepted).
    const std::pair<const char*, const char*> cases[] = {
        {R"({"language_code":"EN","encoding":1,"sample_rate_hertz":"8000","audio_channel_count":2,
             "max_alternatives":"0","profanity_filter":true,"enableWordConfidence":true,"model":"",
             "enableAutomaticPunctuation":true})",
         nullptr},
        {R"({"languageCode":"fr-FR","alternativeLanguageCodes":[7,"en-US"],"sampleRateHertz":48000,
             "maxAlternatives":30,"audioChannelCount":"8","model":"medical_dictation","use_enhanced":false})",
         nullptr},
        {R"({"languageCode":"en-US","model":"phone"})", "Incorrect model"},
        {R"({"languageCode":"en-US","useEnhanced":"true"})", "config.use_enhanced"},
        {R"({"languageCode":"fr-FR","alternativeLanguageCodes":"en-US"})", "expected a list"},
        {R"({"languageCode":"en-US","encoding":"OPUS"})", "config.encoding"},
        {R"({"languageCode":"en-US","sampleRateHertz":48001})", "between 8000 and 48000"},
        {R"({"languageCode":"en-US","sampleRateHertz":"-8000"})", "between 8000 and 48000"},
        {R"({"languageCode":"en-US","audioChannelCount":9})", "audio_channel_count"},
        {R"({"languageCode":"en-US","maxAlternatives":"3x"})", "max_alternatives"},
        {R"({"languageCode":"en-US","profanityFilter":1})", "config.profanity_filter"},
        {R"({"languageCode":"en-US","enableWordConfidence":"true"})", "config.enable_word_confidence"},
        {R"({"languageCode":7})", "missing language_code"},
        {R"({"encoding":"LINEAR16"})", "missing language_code"},
        {R"({"languageCode":"en-US","alternativeLanguageCodes":["en","en-GB","fr-FR","de-DE"]})", "at most 3"},
        {R"({"languageCode":"en-US","encoding":"MULAW","audioChannelCount":2})", "must be 1 for MULAW"},
    };
    for (const auto& [config, refusal] : cases)
    {
        RecognitionJob job;
        const ApiError error = SpeechMethod::Parse(std::string(R"({"config":)") + config + "," + audio + "}", job);
        EXPECT_EQ(error.IsSet(), refusal != nullptr) << config << ": " << error.message;
        if (refusal)
            EXPECT_NE(error.message.find(refusal), std::string::npos) << error.message;
        else
            EXPECT_EQ(job.audio, "RIFF");
    }
    RecognitionJob job;
    ASSERT_FALSE(SpeechMethod::Parse(std::string(R"({"config":)") + cases[0].first + "," + audio + "}", job).IsSet());
    EXPECT_EQ(std::tie(job.languageCode, job.hints.encoding, job.hints.sampleRateHertz, job.hints.channelCount),
              std::make_tuple(std::string("en-us"), std::string("LINEAR16"), 8000, 2));
    EXPECT_EQ(std::make_tuple(job.options.maxAlternatives, job.options.profanityFilter, job.options.wordConfidence,
                              job.options.wordTimeOffsets, job.options.punctuation),
              std::make_tuple(0, true, true, false, true));
    const char* const refusals[][2] = {
        {R"({"config":{"languageCode":"en-US"},"audio":{"uri":"gs://b"}})", "Request contains an invalid argument."},
        {R"({"config":{"languageCode":"en-US"},"audio":{"uri":7}})", "Request contains an invalid argument."},
        {R"({"config":{"languageCode":"en-US"},"audio":{"content":"QQ==","uri":"gs://b/o"}})", "Oneof field"},
        {R"({"config":{"languageCode":"en-US"},"audio":{"content":"QQ==","url":"x"}})", "\"url\" at 'audio'"},
        {R"({"config":{"languageCode":"en-US"},"audio":{"content":"===="}})", "Base64 decoding failed"},
        {R"({"config":{"languageCode":"en-US"},"audio":{"content":" "}})", "RecognitionAudio not set"},
        {R"({"config":{"languageCode":"en-US"},"audio":[]})", "RecognitionAudio not set"},
        {R"({"config":{"languageCode":"en-US"},"audio":{"content":"QQ=="},"x":1})", "Unknown name \"x\""},
        {R"(["config"])", "Expected an object"},
    };
    for (const auto& [body, refusal] : refusals)
        EXPECT_NE(SpeechMethod::Parse(body, job).message.find(refusal), std::string::npos) << body;
}

TEST(SpeechMethod, AnswersEachResultWithItsOwnAlternativesWordsAndEnd)
{
    RecognitionJob job;
    job.languageCode = "en-us";
    job.audioSeconds = 7.3;
    job.options = RecognitionOptions{3, true, true, false, true};
    job.results = {Hypothesis{"oh damn", 0.51236, {{"oh", 0.2, 0.5, 0.4}, {"damn", 0.5, 1, 0.6}}, {"oh dam"}, 1},
                   Hypothesis{"fine", 1, {{"fine", 2.5, 3.25, 1}}, {}, 7.3}};
    EXPECT_EQ(SpeechMethod::Reply(job, 42),
              R"({"results":[{"alternatives":[{"transcript":"Oh d***.","confidence":0.5124,"words":[)"
              R"({"startTime":"0.200s","endTime":"0.500s","word":"Oh"},{"startTime":"0.500s","endTime":"1s",)"
              R"("word":"d***."}]},{"transcript":"Oh dam."}],"resultEndTime":"1s","languageCode":"en-us"},)"
              R"({"alternatives":[{"transcript":"Fine.","confidence":1.0,"words":[{"startTime":"2.500s",)"
              R"("endTime":"3.250s","word":"Fine."}]}],"resultEndTime":"7.300s","languageCode":"en-us"}],)"
              R"("totalBilledTime":"8s","requestId":"42"})");
    job.results.clear();
    EXPECT_EQ(SpeechMethod::Reply(job, 42), "{}");
    EXPECT_EQ(SpeechMethod::Reply(job, 42, "t"), R"({"@type":"t"})");
}
