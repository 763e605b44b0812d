#pragma once
// One pocketsphinx decoder. A decoder is not safe to share between threads,
// so each worker owns one, loaded once when the emulator starts.
#include <cstdint>
#include <string>
#include <vector>

struct ModelPaths
{
    std::string hmm;  // acoustic model folder
    std::string lm;   // language model
    std::string dict; // pronunciation dictionary
};

struct Hypothesis
{
    std::string transcript; // empty when no speech was found
    double confidence = 0;
};

struct cmd_ln_s;
struct ps_decoder_s;

class Recognizer
{
public:
    Recognizer() = default;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;
    ~Recognizer();

    bool load(const ModelPaths& paths);
    // `samples` are 16 kHz mono.
    bool recognize(const std::vector<int16_t>& samples, Hypothesis& out);

private:
    double wordConfidence();
    void release();

    cmd_ln_s* config_ = nullptr;
    ps_decoder_s* decoder_ = nullptr;
};
