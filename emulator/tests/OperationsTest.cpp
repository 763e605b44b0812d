#include "Operations.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <cstdlib>
#include <ctime>

TEST(Operations, ShowRunningAndFinishedOnesAsGoogleAndForgetTheOldest)
{
    Operations operations(2, 3600);
    const std::string first = operations.NewName(), second = operations.NewName(), third = operations.NewName();
    std::string json;
    EXPECT_FALSE(operations.Describe(first, json));
    for (const std::string& name : {first, second, third})
        operations.Start(name);
    ASSERT_TRUE(operations.Describe(first, json));
    rapidjson::Document running;
    running.Parse(json.c_str(), json.size());
    const std::string started = running["metadata"]["startTime"].GetString();
    tm parsed{};
    const char* rest = strptime(started.c_str(), "%Y-%m-%dT%H:%M:%S.", &parsed);
    ASSERT_TRUE(rest) << started;
    EXPECT_EQ(std::string(rest).size(), 7u) << started; // microseconds and "Z"
    EXPECT_LT(std::abs(timegm(&parsed) - std::time(nullptr)), 60) << started;
    EXPECT_EQ(started, running["metadata"]["lastUpdateTime"].GetString());
    EXPECT_NE(json.find(R"("progressPercent":0,)"), std::string::npos) << json;
    operations.Finish(first, R"({"@type":"t"})", ApiError{});
    operations.Finish(second, "", ApiError{500, "INTERNAL", "it \"broke\"", "", ""});
    ASSERT_TRUE(operations.Describe(first, json));
    EXPECT_NE(json.find(R"("progressPercent":100,)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"(},"done":true,"response":{"@type":"t"}})"), std::string::npos) << json;
    ASSERT_TRUE(operations.Describe(second, json));
    EXPECT_NE(json.find(R"("done":true,"error":{"code":13,"message":"it \"broke\""}})"), std::string::npos) << json;
    operations.Finish(third, "{}", ApiError{});
    EXPECT_FALSE(operations.Describe(first, json)); // two finished ones are kept
    EXPECT_TRUE(operations.Describe(third, json));

    Operations brief(5, 0);
    brief.Start(first);
    brief.Finish(first, "{}", ApiError{});
    EXPECT_FALSE(brief.Describe(first, json));
}
