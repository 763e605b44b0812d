#pragma once

#include <string>

// What a recording says about itself in its first bytes: its storage format and,
// where the header or the frame size tells it cheaply, how long it lasts. Only the
// head of the base64 text is decoded, never the whole audio.
struct Recording
{
    enum class Format
    {
        Unknown,
        Wav,
        Flac,
        Amr,   // AMR-NB storage format, "#!AMR\n"
        AmrWb, // AMR-WB storage format, "#!AMR-WB\n"
    };

    Format format = Format::Unknown;
    double seconds = -1; // negative: not known

    static Recording Inspect(const std::string& base64);
};
