#pragma once
// One pocketsphinx decoder. A decoder is not safe to share between threads,
// so each worker owns one, loaded once when the emulator starts.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ModelPaths
{
    std::string hmm;  // acoustic model folder
    std::string lm;   // language model
    std::string dict; // pronunciation dictionary
};

// What a request asks of the decoder's output beyond the best transcript.
struct RecognitionOptions
{
    int maxAlternatives = 1;
    bool profanityFilter = false;
    bool wordTimeOffsets = false;
    bool wordConfidence = false;
    bool punctuation = false; // enableAutomaticPunctuation
};

struct Word
{
    std::string word;
    double start = 0; // seconds
    double end = 0;
    double confidence = 0;
};

// One stretch of speech between pauses: a result of Google's reply.
struct Hypothesis
{
    std::string transcript;
    double confidence = 0;
    std::vector<Word> words;
    std::vector<std::string> alternatives; // further distinct transcripts, best first
    double end = 0;                        // seconds from the start of the recording
};

// A silence this long between two words ends a result, as Google's endpointer does.
constexpr double kPauseSeconds = 1.0;

// The words as results, a new one wherever a pause of `pause` seconds or more comes
// between two of them; each with its transcript, mean confidence and end.
std::vector<Hypothesis> SplitAtPauses(const std::vector<Word>& words, double pause);

struct cmd_ln_s;
struct ps_decoder_s;
struct ngram_model_s;

class Recognizer
{
public:
    Recognizer() = default;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;
    ~Recognizer();

    bool Load(const ModelPaths& paths);
    // `samples` are 16 kHz mono; `out` gets one result per stretch of speech, none
    // when there is no speech. Each call starts from a clean state: nothing of an
    // earlier recording counts. `decoded` is called once the search has been through
    // all of the recording, before its words and alternatives are read.
    bool Recognize(const std::vector<int16_t>& samples, int maxAlternatives, std::vector<Hypothesis>& out,
                   const std::function<void()>& decoded);

private:
    std::vector<Word> ReadWords();
    std::map<std::pair<int, std::string>, double> Posteriors();
    void ReadAlternatives(int maxAlternatives, std::vector<Hypothesis>& results);
    double FrameSeconds() const;
    void Release();

    cmd_ln_s* m_pConfig = nullptr;
    ps_decoder_s* m_pDecoder = nullptr;
    ngram_model_s* m_pLm = nullptr; // owned by m_pDecoder
};
