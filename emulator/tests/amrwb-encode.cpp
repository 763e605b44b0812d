// Writes 16 kHz mono 16-bit PCM as AMR-WB in its storage format, for the tests:
// Debian's sox reads AMR-WB but cannot write it.
// usage: amrwb-encode IN.raw OUT.awb [MODE]   (MODE 0-8, default 8: 23.85 kbit/s)
#include <vo-amrwbenc/enc_if.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4)
    {
        std::fprintf(stderr, "usage: amrwb-encode IN.raw OUT.awb [MODE]\n");
        return 2;
    }
    FILE* in = std::fopen(argv[1], "rb");
    FILE* out = std::fopen(argv[2], "wb");
    void* encoder = E_IF_init();
    if (!in || !out || !encoder)
    {
        std::perror("amrwb-encode");
        return 1;
    }
    const int mode = argc == 4 ? std::atoi(argv[3]) : 8;
    std::fputs("#!AMR-WB\n", out);
    short pcm[320];
    unsigned char frame[64];
    for (size_t got; (got = std::fread(pcm, sizeof pcm[0], 320, in)) > 0;)
    {
        std::fill(pcm + got, pcm + 320, short{0});
        std::fwrite(frame, 1, static_cast<size_t>(E_IF_encode(encoder, mode, pcm, frame, 0)), out);
    }
    E_IF_exit(encoder);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    return std::fclose(out) == 0 && !failed ? 0 : 1;
}
