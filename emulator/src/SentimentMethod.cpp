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

ApiError readEncoding(const rapidjson::Value& request, Encoding& encoding)
{
    const rapidjson::Value* v = findField(request, "encodingType", "encoding_type");
    if (!v)
        return ApiError{};
    static const char* const names[] = {"NONE", "UTF8", "UTF16", "UTF32"};
    static const Encoding encodings[] = {Encoding::None, Encoding::Utf8, Encoding::Utf16, Encoding::Utf32};
    const int index = enumIndex(*v, names, 4);
    if (index < 0)
        return invalidArgument("Invalid value at 'encoding_type' "
                               "(type.googleapis.com/google.cloud.language.v1.EncodingType).");
    encoding = encodings[index];
    return ApiError{};
}

ApiError readType(const rapidjson::Value& document, bool& html)
{
    static const char* const names[] = {"TYPE_UNSPECIFIED", "PLAIN_TEXT", "HTML"};
    const rapidjson::Value* type = findField(document, "type");
    const int index = type ? enumIndex(*type, names, 3) : 0;
    if (index > 0)
    {
        html = index == 2;
        return ApiError{};
    }
    if (index == 0)
        return invalidArgument("The document type is missing; use PLAIN_TEXT or HTML.");
    const std::string name = type->IsString() ? type->GetString() : type->IsInt() ? std::to_string(type->GetInt()) : "";
    return invalidArgument(std::string("Invalid value at 'document.type' "
                                       "(type.googleapis.com/google.cloud.language.v1.Document.Type), \"") +
                           name + "\"");
}

ApiError readLanguage(const rapidjson::Value& document, std::string& language)
{
    const rapidjson::Value* v = findField(document, "language");
    if (!v || (v->IsString() && v->GetStringLength() == 0))
    {
        language = "en";
        return ApiError{};
    }
    language = v->IsString() ? v->GetString() : "";
    const bool english = strncasecmp(language.c_str(), "en", 2) == 0 &&
                         (language.size() == 2 || language[2] == '-' || language[2] == '_');
    if (!english)
        return invalidArgument("The language " + language + " is not supported for document_sentiment analysis.");
    return ApiError{};
}

ApiError readDocument(const rapidjson::Value& request, SentimentRequest& out)
{
    const rapidjson::Value* document = findField(request, "document");
    if (!document || !document->IsObject())
        return invalidArgument("Invalid request: 'document' is required.");
    ApiError error = refuseUnknownFields(*document, {"type", "content", "gcsContentUri", "language"}, "document");
    if (!error.isSet())
        error = readType(*document, out.html);
    if (error.isSet())
        return error;
    const rapidjson::Value* content = findField(*document, "content");
    if (!content && findField(*document, "gcsContentUri", "gcs_content_uri"))
        return invalidArgument("This emulator reads inline 'content' only; 'gcsContentUri' is not supported.");
    if (!content || !content->IsString() || content->GetStringLength() == 0)
        return invalidArgument("One of content, or gcs_content_uri must be set.");
    // Google's limit; scoring more would hold up the loop thread.
    if (content->GetStringLength() > kMaxContentBytes)
        return invalidArgument("The document content is larger than the limit of 1000000 bytes.");
    out.content.assign(content->GetString(), content->GetStringLength());
    return readLanguage(*document, out.language);
}

ApiError readRequest(const std::string& body, SentimentRequest& out)
{
    rapidjson::Document doc;
    ApiError error = parseRequestObject(body, doc, {"document", "encodingType"});
    if (!error.isSet())
        error = readEncoding(doc, out.encoding);
    if (error.isSet())
        return error;
    return readDocument(doc, out);
}

// Turns byte offsets into the units the caller asked for; offsets must come
// in increasing order, so the text is walked once.
class OffsetCounter
{
public:
    OffsetCounter(const std::string& text, Encoding encoding)
        : text_(text)
        , encoding_(encoding)
    {
    }

    long long at(size_t byte)
    {
        if (encoding_ == Encoding::None)
            return -1; // Google's answer when no encoding was named
        if (encoding_ == Encoding::Utf8)
            return static_cast<long long>(byte);
        for (; byte_ < byte; ++byte_)
        {
            const auto c = static_cast<unsigned char>(text_[byte_]);
            if ((c & 0xC0) == 0x80)
                continue; // continuation byte
            units_ += (encoding_ == Encoding::Utf16 && c >= 0xF0) ? 2 : 1;
        }
        return units_;
    }

private:
    const std::string& text_;
    Encoding encoding_;
    size_t byte_ = 0;
    long long units_ = 0;
};

// Three decimals, as the Writer would otherwise print 0.6 as 0.599.
double rounded(double value)
{
    return std::round(value * 1000) / 1000;
}

// Tags blanked out of HTML leave runs of spaces inside sentences.
std::string collapseSpaces(const std::string& text)
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

void writeSentiment(rapidjson::Writer<rapidjson::StringBuffer>& w, const Sentiment& s)
{
    w.StartObject();
    w.Key("magnitude");
    w.Double(rounded(s.magnitude));
    w.Key("score");
    w.Double(rounded(s.score));
    w.EndObject();
}

std::string writeReply(const TextSentiment& result, const SentimentRequest& request)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("documentSentiment");
    writeSentiment(w, result.document);
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
        const std::string content = request.html ? collapseSpaces(s.text) : s.text;
        w.Key("content");
        w.String(content.c_str(), static_cast<rapidjson::SizeType>(content.size()));
        w.Key("beginOffset");
        w.Int64(offsets.at(s.begin));
        w.EndObject();
        w.Key("sentiment");
        writeSentiment(w, s.sentiment);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

std::string blankMarkup(const std::string& html)
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

ApiError SentimentMethod::answer(const std::string& body, std::string& reply) const
{
    SentimentRequest request;
    ApiError error = readRequest(body, request);
    if (error.isSet())
        return error;
    const std::string text = request.html ? blankMarkup(request.content) : request.content;
    reply = writeReply(analyzer_.analyze(text), request);
    return ApiError{};
}
