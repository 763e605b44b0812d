#pragma once
// AMR-NB and AMR-WB recordings in the single-channel storage format of
// RFC 4867 (a "#!AMR\n" or "#!AMR-WB\n" header, then one frame after another,
// each led by its table-of-contents byte), decoded with opencore-amr.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct AmrFormat
{
    const char* magic;
    const char* name;     // "AMR-NB", "AMR-WB"
    const char* encoding; // Google's name: "AMR", "AMR_WB"
    int sampleRate;
    int samplesPerFrame;
    int frameBytes[16]; // after the table-of-contents byte, by frame type; -1: not allowed
    void* (*init)();
    void (*decode)(void* state, const unsigned char* frame, short* samples, int badFrame);
    void (*exit)(void* state);
};

// The format whose header `bytes` start with; null for none.
const AmrFormat* AmrFormatOf(std::string_view bytes);

// Walks the frames after the header; false, with the reason, when one has a
// frame type the format does not allow or runs past the end.
bool CountAmrFrames(const AmrFormat& format, std::string_view bytes, size_t& frames, std::string& error);

// Decodes the frames into samples from -1 to 1; false as CountAmrFrames.
bool DecodeAmr(const AmrFormat& format, std::string_view bytes, std::vector<float>& samples, std::string& error);
