// Writes 16 kHz mono 16-bit PCM as AMR-WB at 23.85 kbit/s in its storage format,
// for the tests: Debian's sox reads AMR-WB but cannot write it.
#include <vo-amrwbenc/enc_if.h>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    FILE* in = argc == 3 ? std::fopen(argv[1], "rb") : nullptr;
    FILE* out = in ? std::fopen(argv[2], "wb") : nullptr;
    void* encoder = out ? E_IF_init() : nullptr;
    if (!encoder)
    {
        std::fprintf(stderr, "usage: amrwb-encode IN.raw OUT.awb\n");
        return 2;
    }
    std::fputs("#!AMR-WB\n", out);
    short pcm[320];
    unsigned char frame[64];
    for (size_t got; (got = std::fread(pcm, sizeof pcm[0], 320, in)) > 0;)
    {
        std::fill(pcm + got, pcm + 320, short{0});
        std::fwrite(frame, 1, static_cast<size_t>(E_IF_encode(encoder, 8, pcm, frame, 0)), out);
    }
    E_IF_exit(encoder);
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
