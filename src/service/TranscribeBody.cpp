#include "TranscribeBody.h"

#include <cstring>
#include <vector>

#include <event2/buffer.h>
#include <rapidjson/reader.h>

namespace
{

// RapidJSON's SIMD string scan reads whole 16-byte blocks, past the closing quote
// of the last string: the body keeps that much room after its end.
const size_t kParsePadding = 16;

// The length of what a length-based RapidJSON parse passes over as a UTF-8 byte
// order mark: EF BB BF, or the leading part of it that is there.
size_t ByteOrderMarkLength(const char* text)
{
    const char* mark = "\xEF\xBB\xBF";
    size_t length = 0;
    while (length < 3 && text[length] == mark[length])
        ++length;
    return length;
}

// Takes the three members from the root object as the parse goes: a member counts
// by its first occurrence, and only with its own type; strings end at a NUL.
class Reader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Reader>
{
public:
    explicit Reader(Transcription::Parameters& parameters)
        : m_Parameters(parameters)
    {
    }

    bool Default() { return Count(false); }

    bool String(const char* text, rapidjson::SizeType length, bool)
    {
        if (!Count(false))
            return false;
        // Copied once, straight to where it is kept: the audio may be megabytes.
        const size_t size = strnlen(text, length);
        if (m_Depth == 1 && m_Member == Member::Audio)
            m_Parameters.m_AudioData.assign(text, size);
        else if (m_Depth == 1 && m_Member == Member::Language)
            m_Parameters.m_Language.assign(text, size);
        else if (m_Depth == 2 && m_Member == Member::Alternatives)
            m_Parameters.m_LanguageAlternatives.emplace_back(text, size);
        return true;
    }

    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        if (m_Depth != 1)
            return true;
        const std::string name(text, length);
        m_Member = Member::Other;
        for (auto [key, member] : {std::pair{"audio", Member::Audio}, std::pair{"language", Member::Language},
                                   std::pair{"language-alternatives", Member::Alternatives}})
            if (name == key && (m_Seen & Bit(member)) == 0)
            {
                m_Member = member;
                m_Seen |= Bit(member);
            }
        return true;
    }

    bool StartObject()
    {
        // Alternatives come in an array, never in an object.
        if (m_Depth == 1 && m_Member == Member::Alternatives)
            m_Member = Member::Other;
        return Count(true) && ++m_Depth <= TranscribeBody::kMaxDepth;
    }

    bool StartArray() { return Count(false) && ++m_Depth <= TranscribeBody::kMaxDepth; }
    bool EndObject(rapidjson::SizeType) { return --m_Depth >= 0; }
    bool EndArray(rapidjson::SizeType) { return --m_Depth >= 0; }

private:
    enum class Member
    {
        Other,
        Audio,
        Language,
        Alternatives,
    };

    static unsigned Bit(Member member) { return 1u << static_cast<unsigned>(member); }

    // Every value counts, the root must be an object, and alternatives are few.
    bool Count(bool object)
    {
        if (m_Depth == 0 && !object)
            return false;
        if (m_Depth == 2 && m_Member == Member::Alternatives && ++m_Alternatives > TranscribeBody::kMaxAlternatives)
            return false;
        return ++m_Values <= TranscribeBody::kMaxValues;
    }

    Transcription::Parameters& m_Parameters;
    int m_Depth = 0;
    size_t m_Values = 0;
    size_t m_Alternatives = 0;
    Member m_Member = Member::Other;
    unsigned m_Seen = 0;
};

} // namespace

namespace TranscribeBody
{

// Moves the body out of the input buffer chain by chain: one copy, and no
// zero-filling of the string before it.
void Take(evbuffer* pInput, std::string& body)
{
    const size_t length = evbuffer_get_length(pInput);
    const int count = evbuffer_peek(pInput, -1, nullptr, nullptr, 0);
    std::vector<evbuffer_iovec> chains(count > 0 ? static_cast<size_t>(count) : 0);
    evbuffer_peek(pInput, -1, nullptr, chains.data(), count);
    body.reserve(length + kParsePadding);
    for (const evbuffer_iovec& chain : chains)
        body.append(static_cast<const char*>(chain.iov_base), chain.iov_len);
    evbuffer_drain(pInput, length);
}

bool Read(std::string& data, Transcription::Parameters& parameters)
{
    // In place, so the audio is not copied on its way; iterative, so that nesting
    // never reaches the stack.
    data.reserve(data.size() + kParsePadding);
    rapidjson::InsituStringStream stream(&data[0] + ByteOrderMarkLength(data.c_str()));
    Reader reader(parameters);
    rapidjson::Reader parser;
    return !parser.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag>(stream, reader).IsError();
}

} // namespace TranscribeBody
