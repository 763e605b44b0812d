#pragma once
// Scores English text with the AFINN-165 valence list (words and short
// phrases rated -5..5): sentences are split on end punctuation and line
// breaks, a word shortly after a negator counts with the opposite sign.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Sentiment
{
    double score = 0;     // -1..1
    double magnitude = 0; // 0..
};

struct SentenceSentiment
{
    size_t begin = 0; // byte offset in the analysed text
    std::string text;
    Sentiment sentiment;
};

struct TextSentiment
{
    Sentiment document;
    std::vector<SentenceSentiment> sentences;
};

class SentimentAnalyzer
{
public:
    bool Load(const std::string& path);
    size_t Size() const { return m_Valence.size(); }
    TextSentiment Analyze(std::string_view text) const;
    Sentiment ScoreSentence(std::string_view sentence) const;

private:
    int LongestPhrase(const std::vector<std::string>& words, size_t at, int& valence) const;

    std::unordered_map<std::string, int> m_Valence;
    int m_MaxPhraseWords = 1;
};

// [begin, end) byte ranges of the sentences in text, trimmed of spaces.
std::vector<std::pair<size_t, size_t>> SplitSentences(std::string_view text);
// Lower-case words; typographic apostrophes become "'".
std::vector<std::string> SplitWords(std::string_view sentence);
