#include "SentimentMethod.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstring>
#include <strings.h>

namespace
{

const size_t kMaxContentBytes = 1000000;

enum class Encoding
{
    None,
    Utf8,
    Utf16,
    Utf32
};

struct SentimentRequest
{
    bool html = false;
    std::string content;
    std::string language; // as given, or "en" when left to detection
    Encoding encoding = Encoding::None;
};

ApiError ReadEncoding(const rapidjson::Value& request, Encoding& encoding)
{
    const rapidjson::Value* v = FindField(request, "encodingType", "encoding_type");
    if (!v)
        return ApiError{};
    static const char* const names[] = {"NONE", "UTF8", "UTF16", "UTF32"};
    static const Encoding encodings[] = {Encoding::None, Encoding::Utf8, Encoding::Utf16, Encoding::Utf32};
    const int index = EnumIndex(*v, names, 4);
    if (index < 0)
        return InvalidArgument("Invalid value at 'encoding_type' "
                               "(type.googleapis.com/google.cloud.language.v1.EncodingType).");
    encoding = encodings[index];
    return ApiError{};
}

ApiError ReadType(const rapidjson::Value& document, bool& html)
{
    static const char* const names[] = {"TYPE_UNSPECIFIED", "PLAIN_TEXT", "HTML"};
    const rapidjson::Value* type = FindField(document, "type");
    const int index = type ? EnumIndex(*type, names, 3) : 0;
    if (index > 0)
    {
        html = index == 2;
        return ApiError{};
    }
    if (index == 0)
        return InvalidArgument("The document type is missing; use PLAIN_TEXT or HTML.");
    const std::string name = type->IsString() ? type->GetString() : type->IsInt() ? std::to_string(type->GetInt()) : "";
    return InvalidArgument(std::string("Invalid value at 'document.type' "
                                       "(type.googleapis.com/google.cloud.language.v1.Document.Type), \"") +
                           name + "\"");
}

ApiError ReadLanguage(const rapidjson::Value& document, std::string& language)
{
    const rapidjson::Value* v = FindField(document, "language");
    if (!v || (v->IsString() && v->GetStringLength() == 0))
    {
        language = "en";
        return ApiError{};
    }
    language = v->IsString() ? v->GetString() : "";
    const bool english = strncasecmp(language.c_str(), "en", 2) == 0 &&
                         (language.size() == 2 || language[2] == '-' || language[2] == '_');
    if (!english)
        return InvalidArgument("The language " + language + " is not supported for document_sentiment analysis.");
    return ApiError{};
}

ApiError ReadDocument(const rapidjson::Value& request, SentimentRequest& out)
{
    const rapidjson::Value* document = FindField(request, "document");
    if (!document || !document->IsObject())
        return InvalidArgument("Invalid request: 'document' is required.");
    ApiError error = RefuseUnknownFields(*document, {"type", "content", "gcsContentUri", "language"}, "document");
    if (!error.IsSet())
        error = ReadType(*document, out.html);
    if (error.IsSet())
        return error;
    const rapidjson::Value* content = FindField(*document, "content");
    if (!content && FindField(*document, "gcsContentUri", "gcs_content_uri"))
        return InvalidArgument("This emulator reads inline 'content' only; 'gcsContentUri' is not supported.");
    if (!content || !content->IsString() || content->GetStringLength() == 0)
        return InvalidArgument("One of content, or gcs_content_uri must be set.");
    // Google's limit; scoring more would hold up the loop thread.
    if (content->GetStringLength() > kMaxContentBytes)
        return InvalidArgument("The document content is larger than the limit of 1000000 bytes.");
    out.content.assign(content->GetString(), content->GetStringLength());
    return ReadLanguage(*document, out.language);
}

ApiError ReadRequest(const std::string& body, SentimentRequest& out)
{
    rapidjson::Document doc;
    ApiError error = ParseRequestObject(body, doc, {"document", "encodingType"});
    if (!error.IsSet())
        error = ReadEncoding(doc, out.encoding);
    if (error.IsSet())
        return error;
    return ReadDocument(doc, out);
}

// Turns byte offsets into the units the caller asked for; offsets must come
// in increasing order, so the text is walked once.
class OffsetCounter
{
public:
    OffsetCounter(const std::string& text, Encoding encoding)
        : m_Text(text)
        , m_Encoding(encoding)
    {
    }

    long long At(size_t byte)
    {
        if (m_Encoding == Encoding::None)
            return -1; // Google's answer when no encoding was named
        if (m_Encoding == Encoding::Utf8)
            return static_cast<long long>(byte);
        for (; m_Byte < byte; ++m_Byte)
        {
            const auto c = static_cast<unsigned char>(m_Text[m_Byte]);
            if ((c & 0xC0) == 0x80)
                continue; // continuation byte
            m_Units += (m_Encoding == Encoding::Utf16 && c >= 0xF0) ? 2 : 1;
        }
        return m_Units;
    }

private:
    const std::string& m_Text;
    Encoding m_Encoding;
    size_t m_Byte = 0;
    long long m_Units = 0;
};

// Three decimals, as the Writer would otherwise print 0.6 as 0.599.
double Rounded(double value)
{
    return std::round(value * 1000) / 1000;
}

// Tags blanked out of HTML leave runs of spaces inside sentences.
std::string CollapseSpaces(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (!space)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

void WriteSentiment(rapidjson::Writer<rapidjson::StringBuffer>& w, const Sentiment& s)
{
    w.StartObject();
    w.Key("magnitude");
    w.Double(Rounded(s.magnitude));
    w.Key("score");
    w.Double(Rounded(s.score));
    w.EndObject();
}

std::string WriteReply(const TextSentiment& result, const SentimentRequest& request)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("documentSentiment");
    WriteSentiment(w, result.document);
    w.Key("language");
    w.String(request.language.c_str());
    w.Key("sentences");
    w.StartArray();
    OffsetCounter offsets(request.content, request.encoding);
    for (const SentenceSentiment& s : result.sentences)
    {
        w.StartObject();
        w.Key("text");
        w.StartObject();
        const std::string content = request.html ? CollapseSpaces(s.text) : s.text;
        w.Key("content");
        w.String(content.c_str(), static_cast<rapidjson::SizeType>(content.size()));
        w.Key("beginOffset");
        w.Int64(offsets.At(s.begin));
        w.EndObject();
        w.Key("sentiment");
        WriteSentiment(w, s.sentiment);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

std::string BlankMarkup(const std::string& html)
{
    std::string text = html;
    bool inTag = false;
    for (char& c : text)
    {
        if (c == '<')
            inTag = true;
        const bool blank = inTag;
        if (c == '>')
            inTag = false;
        if (blank)
            c = ' ';
    }
    return text;
}

ApiError SentimentMethod::Answer(const std::string& body, std::string& reply) const
{
    SentimentRequest request;
    ApiError error = ReadRequest(body, request);
    if (error.IsSet())
        return error;
    const std::string text = request.html ? BlankMarkup(request.content) : request.content;
    reply = WriteReply(m_Analyzer.Analyze(text), request);
    return ApiError{};
}
