#include "Operations.h"

#include <gtest/gtest.h>

#include <regex>

TEST(Operations, ShowRunningAndFinishedOnesAsGoogleAndForgetTheOldest)
{
    Operations operations(2, 3600);
    const std::string first = operations.newName(), second = operations.newName(), third = operations.newName();
    std::string json;
    EXPECT_FALSE(operations.describe(first, json));
    for (const std::string& name : {first, second, third})
        operations.start(name);
    ASSERT_TRUE(operations.describe(first, json));
    const std::regex timestamp(R"("startTime":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","lastUpdateTime":"[^"]+"\}\}$)");
    EXPECT_TRUE(std::regex_search(json, timestamp)) << json;
    EXPECT_NE(json.find(R"("progressPercent":0,)"), std::string::npos) << json;
    operations.finish(first, R"({"@type":"t"})", ApiError{});
    operations.finish(second, "", ApiError{500, "INTERNAL", "it \"broke\"", "", ""});
    ASSERT_TRUE(operations.describe(first, json));
    EXPECT_NE(json.find(R"("progressPercent":100,)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"(},"done":true,"response":{"@type":"t"}})"), std::string::npos) << json;
    ASSERT_TRUE(operations.describe(second, json));
    EXPECT_NE(json.find(R"("done":true,"error":{"code":13,"message":"it \"broke\""}})"), std::string::npos) << json;
    operations.finish(third, "{}", ApiError{});
    EXPECT_FALSE(operations.describe(first, json)); // two finished ones are kept
    EXPECT_TRUE(operations.describe(third, json));

    Operations brief(5, 0);
    brief.start(first);
    brief.finish(first, "{}", ApiError{});
    EXPECT_FALSE(brief.describe(first, json));
}
