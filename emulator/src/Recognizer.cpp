#include "Recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <cstdio>
#include <mutex>

Recognizer::~Recognizer()
{
    release();
}

void Recognizer::release()
{
    if (decoder_)
        ps_free(decoder_);
    decoder_ = nullptr;
    if (config_)
        cmd_ln_free_r(config_);
    config_ = nullptr;
}

bool Recognizer::load(const ModelPaths& paths)
{
    // pocketsphinx logs every step of loading and decoding; the emulator's own
    // trace is the one line per request. Its log stream is one global: turned off
    // once here, not per decoder with -logfn, whose workers would race to reopen it.
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });
    config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", paths.hmm.c_str(), "-lm", paths.lm.c_str(), "-dict",
                          paths.dict.c_str(), nullptr);
    if (!config_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: bad pocketsphinx model settings\n");
        return false;
    }
    decoder_ = ps_init(config_);
    if (!decoder_)
    {
        std::fprintf(stderr, "s2t-cloud-emulator: cannot load the pocketsphinx model (--hmm %s --lm %s --dict %s)\n",
                     paths.hmm.c_str(), paths.lm.c_str(), paths.dict.c_str());
        return false;
    }
    return true;
}

bool Recognizer::recognize(const std::vector<int16_t>& samples, Hypothesis& out)
{
    out = Hypothesis{};
    if (ps_start_utt(decoder_) < 0)
        return false;
    // One call over the whole recording: pocketsphinx then normalises the
    // cepstrum over all of it, which recognises a little better than streaming.
    const int rc = ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, TRUE);
    if (ps_end_utt(decoder_) < 0 || rc < 0)
        return false;
    int32 score = 0;
    const char* hyp = ps_get_hyp(decoder_, &score);
    if (hyp && *hyp)
    {
        out.transcript = hyp;
        out.confidence = wordConfidence();
    }
    return true;
}

// Mean posterior probability of the recognised words, skipping silence and
// noise fillers, which pocketsphinx marks with <...> and [...].
double Recognizer::wordConfidence()
{
    logmath_t* lmath = ps_get_logmath(decoder_);
    double sum = 0;
    int words = 0;
    for (ps_seg_t* seg = ps_seg_iter(decoder_); seg; seg = ps_seg_next(seg))
    {
        const char* word = ps_seg_word(seg);
        if (word[0] == '<' || word[0] == '[')
            continue;
        int32 ascr = 0, lscr = 0, lback = 0;
        const double p = logmath_exp(lmath, ps_seg_prob(seg, &ascr, &lscr, &lback));
        sum += p > 1.0 ? 1.0 : p;
        ++words;
    }
    return words > 0 ? sum / words : 0.0;
}
