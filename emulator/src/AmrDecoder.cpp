#include "AmrDecoder.h"

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrwb/dec_if.h>

#include <cstring>
#include <memory>

namespace
{

// Speech frames by mode, then the comfort-noise frame; the legacy and reserved
// types are refused (RFC 4867 says to discard them), "no data" (15, and 14,
// "speech lost", in AMR-WB) has no bytes and decodes as a concealed frame.
const AmrFormat kFormats[] = {
    {"#!AMR\n",
     "AMR-NB",
     "AMR",
     8000,
     160,
     {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0},
     Decoder_Interface_init,
     Decoder_Interface_Decode,
     Decoder_Interface_exit},
    {"#!AMR-WB\n",
     "AMR-WB",
     "AMR_WB",
     16000,
     320,
     {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, 0, 0},
     D_IF_init,
     D_IF_decode,
     D_IF_exit},
};

// Each frame starts with its table-of-contents byte: P FT(4) Q P P.
int FrameType(unsigned char toc)
{
    return (toc >> 3) & 0x0f;
}

// Calls onFrame with each frame after the header, its table-of-contents byte
// first; false, with the reason, at the first frame that is not whole.
template <typename OnFrame>
bool WalkFrames(const AmrFormat& format, std::string_view bytes, std::string& error, OnFrame onFrame)
{
    size_t count = 0;
    for (size_t at = std::strlen(format.magic); at < bytes.size(); ++count)
    {
        const int type = FrameType(static_cast<unsigned char>(bytes[at]));
        const int length = format.frameBytes[type];
        if (length < 0)
        {
            error = std::string("Invalid value at 'audio.content': ") + format.name + " frame " +
                    std::to_string(count + 1) + " at byte " + std::to_string(at) + " has frame type " +
                    std::to_string(type) + ", which the format does not allow.";
            return false;
        }
        if (bytes.size() - at - 1 < static_cast<size_t>(length))
        {
            error = std::string("Invalid value at 'audio.content': the ") + format.name + " audio ends inside frame " +
                    std::to_string(count + 1) + " (" + std::to_string(bytes.size() - at) + " of its " +
                    std::to_string(length + 1) + " bytes).";
            return false;
        }
        onFrame(bytes.substr(at, 1 + static_cast<size_t>(length)));
        at += 1 + static_cast<size_t>(length);
    }
    return true;
}

} // namespace

const AmrFormat* AmrFormatOf(std::string_view bytes)
{
    for (const AmrFormat& format : kFormats)
        if (bytes.substr(0, std::strlen(format.magic)) == format.magic)
            return &format;
    return nullptr;
}

bool CountAmrFrames(const AmrFormat& format, std::string_view bytes, size_t& frames, std::string& error)
{
    frames = 0;
    return WalkFrames(format, bytes, error, [&frames](std::string_view) { ++frames; });
}

bool DecodeAmr(const AmrFormat& format, std::string_view bytes, std::vector<float>& samples, std::string& error)
{
    const std::unique_ptr<void, void (*)(void*)> state(format.init(), format.exit);
    if (!state)
    {
        error = std::string("The ") + format.name + " decoder could not be set up.";
        return false;
    }
    std::vector<short> decoded(static_cast<size_t>(format.samplesPerFrame));
    samples.clear();
    return WalkFrames(format, bytes, error, [&](std::string_view frame) {
        // The decoder is handed a zeroed copy: it never reads past one frame of ours.
        unsigned char packed[64] = {};
        std::memcpy(packed, frame.data(), frame.size());
        format.decode(state.get(), packed, decoded.data(), 0);
        for (short s : decoded)
            samples.push_back(static_cast<float>(s) / 32768.0f);
    });
}
