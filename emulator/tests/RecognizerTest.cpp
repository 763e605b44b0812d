#include "Recognizer.h"

#include <gtest/gtest.h>

TEST(Recognizer, APauseOfASecondOrMoreBetweenWordsEndsAResult)
{
    const std::vector<Word> words = {{"a", 0.2, 0.5, 0.2}, {"b", 1.4, 1.6, 0.4}, {"c", 2.6, 3, 1}, {"d", 3.9, 4, 0.5}};
    const std::vector<Hypothesis> results = SplitAtPauses(words, 1.0);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(std::make_tuple(results[0].transcript, results[0].end, results[0].words.size()),
              std::make_tuple(std::string("a b"), 1.6, 2u));
    EXPECT_EQ(std::make_tuple(results[1].transcript, results[1].end, results[1].words.front().start),
              std::make_tuple(std::string("c d"), 4.0, 2.6));
    EXPECT_DOUBLE_EQ(results[0].confidence, 0.3);
    EXPECT_DOUBLE_EQ(results[1].confidence, 0.75);
    EXPECT_TRUE(SplitAtPauses({}, 1.0).empty());
}
