// The resolver's own answers: how long an answer is kept, and what it answers at
// once without asking any name server.
#include <gtest/gtest.h>

#include <climits>

#include <event2/event.h>
#include <event2/util.h>

#include "cloud/Resolver.h"

namespace
{

struct Recorder : Resolver::Waiter
{
    void OnResolved(int error, const std::vector<std::string>& addresses) override
    {
        std::string answer = std::to_string(error);
        for (const std::string& address : addresses)
            answer += " " + address;
        answers.push_back(answer);
    }
    std::vector<std::string> answers;
};

TEST(Resolver, KeepsAnAnswerForItsTimeToLiveAndAMinuteAtMost)
{
    const std::pair<int, int> cases[] = {{INT_MIN, 0}, {-1, 0},  {0, 0},   {1, 1},
                                         {59, 59},     {60, 60}, {61, 60}, {INT_MAX, 60}};
    for (const auto& c : cases)
        EXPECT_EQ(Resolver::FreshSeconds(c.first), c.second) << c.first;
}

TEST(Resolver, AnswersAddressesAtOnceAndFailsNamesWithNoNameServerToAsk)
{
    event_base* pBase = event_base_new();
    ASSERT_NE(pBase, nullptr);
    {
        Resolver resolver(pBase, nullptr);
        Recorder waiter;
        for (const char* name : {"::1", "127.0.0.2", "no-such-name.invalid"})
            resolver.Resolve(name, waiter);
        EXPECT_EQ(waiter.answers, (std::vector<std::string>{"0 ::1", "0 127.0.0.2", std::to_string(EVUTIL_EAI_FAIL)}));
        // The hosts file's lookup of the last name was cancelled; evdns reports that from the loop.
        event_base_loop(pBase, EVLOOP_NONBLOCK);
    }
    event_base_free(pBase);
}

} // namespace
