#include "SentimentAnalyzer.h"

#include "Complain.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <cmath>

namespace
{

constexpr int kMaxValence = 5;
constexpr size_t kNegationReach = 3; // words before a rated word that can negate it

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool IsWordByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '\'' || c == '-' || u >= 0x80;
}

bool IsCloser(char c)
{
    return c == '"' || c == '\'' || c == ')' || c == ']';
}

bool IsNegator(const std::string& w)
{
    static const char* const kNegators[] = {"not",   "no",      "never",    "none",    "nobody", "nothing", "neither",
                                            "nor",   "nowhere", "cannot",   "without", "hardly", "dont",    "doesnt",
                                            "didnt", "isnt",    "arent",    "wasnt",   "werent", "cant",    "couldnt",
                                            "wont",  "wouldnt", "shouldnt", "hasnt",   "havent", "hadnt",   "aint"};
    if (w.size() > 3 && w.compare(w.size() - 3, 3, "n't") == 0)
        return true;
    return std::find_if(std::begin(kNegators), std::end(kNegators), [&](const char* n) { return w == n; }) !=
           std::end(kNegators);
}

std::string JoinWords(const std::vector<std::string>& words, size_t at, int count)
{
    std::string phrase = words[at];
    for (int i = 1; i < count; ++i)
        phrase += " " + words[at + static_cast<size_t>(i)];
    return phrase;
}

} // namespace

std::vector<std::pair<size_t, size_t>> SplitSentences(std::string_view text)
{
    std::vector<std::pair<size_t, size_t>> out;
    size_t begin = 0;
    auto close = [&](size_t end) {
        size_t b = begin, e = end;
        while (b < e && IsSpace(text[b]))
            ++b;
        while (e > b && IsSpace(text[e - 1]))
            --e;
        if (b < e)
            out.emplace_back(b, e);
        begin = end;
    };
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '\n')
        {
            close(i + 1);
        }
        else if (c == '.' || c == '!' || c == '?')
        {
            size_t end = i + 1;
            while (end < text.size() &&
                   (text[end] == '.' || text[end] == '!' || text[end] == '?' || IsCloser(text[end])))
                ++end;
            // "3.5" or "e.g.x" does not end a sentence: only punctuation then space or the end.
            if (end == text.size() || IsSpace(text[end]))
                close(end);
            i = end - 1;
        }
    }
    close(text.size());
    return out;
}

std::vector<std::string> SplitWords(std::string_view sentence)
{
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        const size_t b = word.find_first_not_of("'-");
        const size_t e = word.find_last_not_of("'-");
        if (b != std::string::npos)
            words.push_back(word.substr(b, e - b + 1));
        word.clear();
    };
    for (size_t i = 0; i < sentence.size(); ++i)
    {
        if (sentence.compare(i, 3, "\xE2\x80\x99") == 0)
        { // right single quotation mark
            word += '\'';
            i += 2;
        }
        else if (sentence.compare(i, 2, "\xE2\x80") == 0 || sentence.compare(i, 2, "\xE2\x81") == 0)
        {
            flush(); // dashes, quotes, ellipsis: the General Punctuation block
            i += 2;
        }
        else if (sentence.compare(i, 2, "\xC2\xA0") == 0)
        { // no-break space
            flush();
            i += 1;
        }
        else if (IsWordByte(sentence[i]))
        {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(sentence[i])));
        }
        else
        {
            flush();
        }
    }
    flush();
    return words;
}

bool SentimentAnalyzer::Load(const std::string& path)
{
    std::string text;
    if (!ReadFile(path, text))
    {
        Complain("cannot read the word list %s (run scripts/setup)", path.c_str());
        return false;
    }
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject())
    {
        Complain("%s is not a JSON word list", path.c_str());
        return false;
    }
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it)
    {
        if (!it->value.IsInt() || std::abs(it->value.GetInt()) > kMaxValence)
        {
            Complain("%s: bad rating for \"%s\"", path.c_str(), it->name.GetString());
            return false;
        }
        const std::string phrase = it->name.GetString();
        m_MaxPhraseWords =
            std::max(m_MaxPhraseWords, 1 + static_cast<int>(std::count(phrase.begin(), phrase.end(), ' ')));
        m_Valence[phrase] = it->value.GetInt();
    }
    return !m_Valence.empty();
}

// Number of words of the longest rated phrase starting at `at` (0: none).
int SentimentAnalyzer::LongestPhrase(const std::vector<std::string>& words, size_t at, int& valence) const
{
    const int room = static_cast<int>(std::min<size_t>(words.size() - at, m_MaxPhraseWords));
    for (int n = room; n >= 1; --n)
    {
        const auto it = m_Valence.find(JoinWords(words, at, n));
        if (it != m_Valence.end())
        {
            valence = it->second;
            return n;
        }
    }
    return 0;
}

Sentiment SentimentAnalyzer::ScoreSentence(std::string_view sentence) const
{
    const std::vector<std::string> words = SplitWords(sentence);
    double sum = 0, absolute = 0;
    int rated = 0;
    size_t reachStart = 0; // a negator before the last rated phrase has been used up
    for (size_t i = 0; i < words.size();)
    {
        int valence = 0;
        const int n = LongestPhrase(words, i, valence);
        // A lone negator ("no" is rated -1) only turns what follows.
        if (n == 0 || (n == 1 && IsNegator(words[i])))
        {
            ++i;
            continue;
        }
        for (size_t back = 1; back <= kNegationReach && i >= reachStart + back; ++back)
            if (IsNegator(words[i - back]))
            {
                valence = -valence;
                break;
            }
        sum += valence;
        absolute += std::abs(valence);
        ++rated;
        i += static_cast<size_t>(n);
        reachStart = i;
    }
    if (rated == 0)
        return Sentiment{};
    // Mean rating scaled to -1..1; magnitude grows with every rated word, so
    // mixed feelings show as a low score with a high magnitude.
    return Sentiment{sum / (rated * kMaxValence), absolute / kMaxValence};
}

TextSentiment SentimentAnalyzer::Analyze(std::string_view text) const
{
    TextSentiment out;
    double scores = 0;
    for (const auto& [b, e] : SplitSentences(text))
    {
        SentenceSentiment s;
        s.begin = b;
        s.text = std::string(text.substr(b, e - b));
        s.sentiment = ScoreSentence(s.text);
        scores += s.sentiment.score;
        out.document.magnitude += s.sentiment.magnitude;
        out.sentences.push_back(std::move(s));
    }
    if (!out.sentences.empty())
        out.document.score = scores / static_cast<double>(out.sentences.size());
    return out;
}
