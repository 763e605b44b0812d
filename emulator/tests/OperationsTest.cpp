#include "Operations.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <tuple>

TEST(Operations, ShowRunningAndFinishedOnesAsGoogleAndForgetTheOldest)
{
    Operations operations(2, 3600);
    const std::string first = operations.newName(), second = operations.newName(), third = operations.newName();
    std::string json;
    EXPECT_FALSE(operations.describe(first, json));
    for (const std::string& name : {first, second, third})
        operations.start(name);
    ASSERT_TRUE(operations.describe(first, json));
    rapidjson::Document running;
    running.Parse(json.c_str());
    const std::string started = running["metadata"]["startTime"].GetString();
    EXPECT_EQ(std::make_tuple(started.size(), started[10], started[19], started.back()),
              std::make_tuple(size_t{27}, 'T', '.', 'Z'))
        << started;
    EXPECT_EQ(started, running["metadata"]["lastUpdateTime"].GetString());
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
