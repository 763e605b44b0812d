#include "Recognizer.h"

#include "Complain.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

namespace
{

// Silence and noise (<sil>, [NOISE]) are no words of the transcript.
bool IsFiller(const char* word)
{
    return word[0] == '<' || word[0] == '[';
}

// A pronunciation variant's "(2)" left out.
std::string BaseWord(const char* word)
{
    return std::string(word, std::strcspn(word, "("));
}

void AppendWord(std::string& text, const std::string& word)
{
    text += (text.empty() ? "" : " ") + word;
}

// The result a word starting at `seconds` belongs to: pauses are cut in the middle.
size_t ResultAt(const std::vector<Hypothesis>& results, double seconds)
{
    size_t i = 0;
    while (i + 1 < results.size() && seconds >= (results[i].end + results[i + 1].words.front().start) / 2)
        ++i;
    return i;
}

// Digital silence has no spectrum to take the logarithm of, and every frame is
// decoded: it would come out as words. pocketsphinx's -dither draws from one global
// generator, so a recording would not decode the same twice; this adds the same
// noise, a step of one in a quarter of the samples, from a generator of its own.
std::vector<int16_t> Dithered(const std::vector<int16_t>& samples)
{
    std::vector<int16_t> out(samples);
    std::minstd_rand noise(1);
    for (int16_t& sample : out)
        if (noise() % 4 == 0 && sample < INT16_MAX)
            ++sample;
    return out;
}

// Adds `text` to the result's alternatives if it is a new one and there is room;
// whether the result has all it wants.
bool AddAlternative(Hypothesis& result, const std::string& text, int maxAlternatives)
{
    std::vector<std::string>& others = result.alternatives;
    if (static_cast<int>(others.size()) + 1 < maxAlternatives && !text.empty() && text != result.transcript &&
        std::find(others.begin(), others.end(), text) == others.end())
        others.push_back(text);
    return static_cast<int>(others.size()) + 1 >= maxAlternatives;
}

} // namespace

Recognizer::~Recognizer()
{
    Release();
}

void Recognizer::Release()
{
    m_pLm = nullptr; // the decoder's, freed with it
    if (m_pDecoder)
        ps_free(m_pDecoder);
    m_pDecoder = nullptr;
    if (m_pConfig)
        cmd_ln_free_r(m_pConfig);
    m_pConfig = nullptr;
}

bool Recognizer::Load(const ModelPaths& paths)
{
    // pocketsphinx logs every step of loading and decoding; the emulator's own
    // trace is the one line per request. Its log stream is one global: turned off
    // once here, not per decoder with -logfn, whose workers would race to reopen it.
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });
    // The transcript is the tree search's own: over the librivox recordings
    // (emulator/measure-wer) it misses 15 words where the flat and lattice passes
    // that would rescore it miss 20.
    // Every frame is decoded: pocketsphinx's voice detector would drop those of a
    // pause, and frame numbers after it would no longer be times in the recording.
    m_pConfig = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", paths.hmm.c_str(), "-lm", paths.lm.c_str(), "-dict",
                            paths.dict.c_str(), "-fwdflat", "no", "-bestpath", "no", "-remove_silence", "no", nullptr);
    if (!m_pConfig)
    {
        Complain("bad pocketsphinx model settings");
        return false;
    }
    m_pDecoder = ps_init(m_pConfig);
    if (!m_pDecoder)
    {
        Complain("cannot load the pocketsphinx model (--hmm %s --lm %s --dict %s)", paths.hmm.c_str(), paths.lm.c_str(),
                 paths.dict.c_str());
        return false;
    }
    // The language model of the decoder's one search, for the lattice's posteriors.
    // Named through an iterator freed here: ps_get_search leaks its own.
    if (ps_search_iter_t* search = ps_search_iter(m_pDecoder))
    {
        m_pLm = ps_get_lm(m_pDecoder, ps_search_iter_val(search));
        ps_search_iter_free(search);
    }
    return true;
}

bool Recognizer::Recognize(const std::vector<int16_t>& samples, int maxAlternatives, std::vector<Hypothesis>& out,
                           const std::function<void()>& decoded)
{
    out.clear();
    // A new stream resets what the decoder learnt of the channel (its cepstral mean
    // and noise level), so the same recording decodes the same on any worker.
    if (ps_start_stream(m_pDecoder) < 0 || ps_start_utt(m_pDecoder) < 0)
        return false;
    // One call over the whole recording: pocketsphinx then normalises the
    // cepstrum over all of it, which recognises a little better than streaming.
    const std::vector<int16_t> input = Dithered(samples);
    const int rc = ps_process_raw(m_pDecoder, input.data(), input.size(), FALSE, TRUE);
    if (ps_end_utt(m_pDecoder) < 0 || rc < 0)
        return false;
    decoded();
    int32 score = 0;
    const char* hyp = ps_get_hyp(m_pDecoder, &score);
    if (hyp && *hyp)
    {
        out = SplitAtPauses(ReadWords(), kPauseSeconds);
        ReadAlternatives(maxAlternatives, out);
    }
    return true;
}

// The recognised words with their times and posterior probabilities.
std::vector<Word> Recognizer::ReadWords()
{
    const std::map<std::pair<int, std::string>, double> posteriors = Posteriors();
    std::vector<Word> words;
    for (ps_seg_t* seg = ps_seg_iter(m_pDecoder); seg; seg = ps_seg_next(seg))
    {
        const char* word = ps_seg_word(seg);
        if (IsFiller(word))
            continue;
        int startFrame = 0, endFrame = 0;
        ps_seg_frames(seg, &startFrame, &endFrame);
        Word w;
        w.word = BaseWord(word);
        w.start = startFrame * FrameSeconds();
        w.end = (endFrame + 1) * FrameSeconds();
        const auto found = posteriors.find({startFrame, w.word});
        w.confidence = found == posteriors.end() ? 0.0 : found->second;
        words.push_back(w);
    }
    return words;
}

namespace
{

// A word of the language model: the sentence's start and end are, silence and noise not.
bool IsLmWord(const char* word)
{
    return !IsFiller(word) || std::strcmp(word, "<s>") == 0 || std::strcmp(word, "</s>") == 0;
}

// ln(e^a + e^b), exact where either is -infinity.
double LogAdd(double a, double b)
{
    if (a < b)
        std::swap(a, b);
    return std::isinf(b) ? a : a + std::log1p(std::exp(b - a));
}

// A word of the lattice: its node, and the links to the words that may follow it with
// each link's score, the word's acoustic score (scaled) and the next word's language
// model probability, in natural logarithms.
struct LatticeWord
{
    int start = 0;
    std::string word;
    std::vector<std::pair<size_t, double>> next;
    double alpha = -INFINITY; // all paths from the start to it
    double beta = -INFINITY;  // from it to the end
};

// The lattice's words, silence and noise among them, in order of their start.
std::vector<LatticeWord> LatticeWords(ps_decoder_t* decoder, ngram_model_t* lm, double ascale)
{
    ps_lattice_t* dag = ps_get_lattice(decoder);
    if (!dag || !lm)
        return {};
    logmath_t* lmath = ps_get_logmath(decoder);
    std::vector<std::pair<int, ps_latnode_t*>> nodes;
    for (ps_latnode_iter_t* it = ps_latnode_iter(dag); it; it = ps_latnode_iter_next(it))
    {
        ps_latnode_t* node = ps_latnode_iter_node(it);
        int16 firstEnd = 0, lastEnd = 0;
        nodes.emplace_back(ps_latnode_times(node, &firstEnd, &lastEnd), node);
    }
    std::stable_sort(nodes.begin(), nodes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::map<ps_latnode_t*, size_t> index;
    std::vector<LatticeWord> words(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        index[nodes[i].second] = i;
        words[i].start = nodes[i].first;
        words[i].word = ps_latnode_baseword(dag, nodes[i].second);
    }
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        int32 history = ngram_wid(lm, words[i].word.c_str());
        for (ps_latlink_iter_t* it = ps_latnode_exits(nodes[i].second); it; it = ps_latlink_iter_next(it))
        {
            ps_latlink_t* link = ps_latlink_iter_link(it);
            const size_t to = index.at(ps_latlink_nodes(link, nullptr));
            int32 ascr = 0, used = 0;
            ps_latlink_prob(dag, link, &ascr);
            // A filler is no event of the language model: the word after one is scored on its own.
            const char* next = words[to].word.c_str();
            const int32 lscr = IsLmWord(next) ? ngram_ng_prob(lm, ngram_wid(lm, next), &history,
                                                              IsLmWord(words[i].word.c_str()) ? 1 : 0, &used)
                                              : 0;
            words[i].next.emplace_back(to, ascale * logmath_log_to_ln(lmath, ascr) + logmath_log_to_ln(lmath, lscr));
        }
    }
    return words;
}

} // namespace

// The posterior probability of each word of the lattice, by start frame and base word
// (the best of its pronunciations): the share of all paths through the lattice, weighed
// by their acoustic and language model scores, that go through it. pocketsphinx's own
// (ps_lattice_posterior) sums in 32-bit integers, and over a recording of some length
// it overflows to certainty for every word; this sums in doubles.
std::map<std::pair<int, std::string>, double> Recognizer::Posteriors()
{
    std::vector<LatticeWord> words = LatticeWords(m_pDecoder, m_pLm, 1.0 / cmd_ln_float32_r(m_pConfig, "-ascale"));
    double total = -INFINITY;
    for (LatticeWord& w : words) // in time order: every link goes forward
    {
        if (w.word == "<s>" && w.start == 0)
            w.alpha = 0;
        for (const auto& [next, score] : w.next)
            words[next].alpha = LogAdd(words[next].alpha, w.alpha + score);
        if (w.word == "</s>")
            total = LogAdd(total, w.alpha);
    }
    std::map<std::pair<int, std::string>, double> posteriors;
    for (auto w = words.rbegin(); w != words.rend(); ++w)
    {
        if (w->word == "</s>")
            w->beta = 0;
        for (const auto& [next, score] : w->next)
            w->beta = LogAdd(w->beta, score + words[next].beta);
        double& best = posteriors[{w->start, w->word}];
        if (!std::isinf(total))
            best = std::max(best, std::min(1.0, std::exp(w->alpha + w->beta - total)));
    }
    return posteriors;
}

// Up to maxAlternatives - 1 further transcripts for each result from the lattice's
// n-best list, each hypothesis cut into results where the best one is cut.
void Recognizer::ReadAlternatives(int maxAlternatives, std::vector<Hypothesis>& results)
{
    if (maxAlternatives <= 1)
        return;
    int looked = 0;
    for (ps_nbest_t* nbest = ps_nbest(m_pDecoder); nbest; nbest = ps_nbest_next(nbest))
    {
        std::vector<std::string> texts(results.size());
        for (ps_seg_t* seg = ps_nbest_seg(nbest); seg; seg = ps_seg_next(seg))
        {
            const char* word = ps_seg_word(seg);
            int startFrame = 0, endFrame = 0;
            ps_seg_frames(seg, &startFrame, &endFrame);
            if (!IsFiller(word))
                AppendWord(texts[ResultAt(results, startFrame * FrameSeconds())], BaseWord(word));
        }
        bool full = true;
        for (size_t i = 0; i < results.size(); ++i)
            full = AddAlternative(results[i], texts[i], maxAlternatives) && full;
        if (full || ++looked >= 200)
        {
            ps_nbest_free(nbest);
            break;
        }
    }
}

double Recognizer::FrameSeconds() const
{
    return 1.0 / cmd_ln_int32_r(m_pConfig, "-frate");
}

std::vector<Hypothesis> SplitAtPauses(const std::vector<Word>& words, double pause)
{
    std::vector<Hypothesis> results;
    for (size_t i = 0; i < words.size(); ++i)
    {
        if (i == 0 || words[i].start - words[i - 1].end >= pause)
            results.emplace_back();
        Hypothesis& result = results.back();
        AppendWord(result.transcript, words[i].word);
        result.confidence += words[i].confidence;
        result.end = words[i].end;
        result.words.push_back(words[i]);
    }
    for (Hypothesis& result : results)
        result.confidence /= static_cast<double>(result.words.size());
    return results;
}
