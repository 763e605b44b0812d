#include "SpeechMethod.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ(decodeBase64(text, out), expected != nullptr) << text;
        if (expected)
        {
            EXPECT_EQ(out, expected) << text;
        }
    }
}
