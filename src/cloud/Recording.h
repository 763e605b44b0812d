#pragma once

#include <string>

// What a recording says about itself: its storage format and, where its header or
// its frames tell it cheaply, how long it lasts. Only the head of the base64 text is
// decoded for the format and a WAV or FLAC header; AMR frames are walked through a
// decode a block at a time, the audio never decoded whole.
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
