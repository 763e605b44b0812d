#include "Base64.h"

#include <gtest/gtest.h>

TEST(Base64, AcceptsWhatProtoJsonAccepts)
{
    const std::pair<const char*, const char*> cases[] = {
        {"aGVsbG8=", "hello"},          // padded
        {"aGVsbG8", "hello"},           // padding left out
        {"aGVs\nbG8=\r\n", "hello"},    // wrapped lines
        {"-_8=", "\xfb\xff"},           // URL-safe alphabet
        {"+/8=", "\xfb\xff"},           // standard alphabet
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        std::string out;
        EXPECT_TRUE(decodeBase64(text, out)) << text;
        EXPECT_EQ(out, expected) << text;
    }
}

TEST(Base64, RefusesMalformedText)
{
    for (const char* text : {"aGVs!G8=", "aGVs=G8=", "aGVsbG8===", "aGVsb", "a", "aGVsbA=", "{\"a\":1}"}) {
        std::string out;
        EXPECT_FALSE(decodeBase64(text, out)) << text;
    }
}
