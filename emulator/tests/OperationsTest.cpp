#include "Operations.h"
#include "Complain.h"
#include "WorkerPool.h"

#include <event2/event.h>
#include <event2/thread.h>
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

TEST(Operations, ShowTheProgressOfTheirRecognitionAsItsWorkerMakesIt)
{
    evthread_use_pthreads(); // the worker wakes the loop from its thread
    event_base* base = event_base_new();
    Operations operations(1, 3600);
    const std::string name = operations.NewName();
    operations.Start(name);
    std::vector<int> percents;
    std::vector<std::string> times; // lastUpdateTime, from the start
    const auto note = [&](const std::string& operation, int percent) {
        std::string json;
        rapidjson::Document running;
        operations.Progress(operation, percent);
        operations.Describe(name, json);
        running.Parse(json.c_str(), json.size());
        percents.push_back(running["metadata"]["progressPercent"].GetInt());
        times.push_back(running["metadata"]["lastUpdateTime"].GetString());
    };
    note(name, 0);
    const std::string dir = S2T_EMULATOR_MODEL_DIR;
    const PoolSettings settings{1, {dir + "/en-us", dir + "/en-us.lm.bin", dir + "/cmudict-en-us.dict"}, {}, 60, 1};
    WorkerPool pool;
    ASSERT_TRUE(pool.Start(
        base, settings, [&](std::unique_ptr<RecognitionJob>) { event_base_loopbreak(base); }, note));
    auto job = std::make_unique<RecognitionJob>();
    job->operation = name;
    job->hints = AudioHints{"LINEAR16", 16000, 0};
    ASSERT_TRUE(ReadFile(S2T_TESTDATA_DIR "/goforward.raw", job->audio) && pool.Submit(std::move(job)));
    event_base_loop(base, EVLOOP_NO_EXIT_ON_EMPTY);
    pool.Stop();
    event_base_free(base);
    EXPECT_EQ(percents, (std::vector<int>{0, 5, 10, 90}));
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()) && times.front() < times.back()) << times.back();
}
