#include "StorageMethod.h"

#include "Api.h"

#include <rapidjson/document.h>

#include <cctype>
#include <strings.h>

namespace
{

const std::string kObjectsPath = "/storage/v1/b/";
const std::string kUploadPath = "/upload/storage/v1/b/";
constexpr const char* kDefaultContentType = "application/octet-stream";

StorageError BadRequest(const char* reason, const std::string& message)
{
    return StorageError{400, reason, message, false};
}

// A parameter of a header value such as `multipart/related; boundary="x"`.
std::string HeaderParameter(const std::string& value, const std::string& name)
{
    size_t at = 0;
    while ((at = value.find(';', at)) != std::string::npos)
    {
        size_t start = value.find_first_not_of(' ', at + 1);
        if (start != std::string::npos &&
            strncasecmp(value.c_str() + start, (name + "=").c_str(), name.size() + 1) == 0)
        {
            start += name.size() + 1;
            std::string found = value.substr(start, value.find(';', start) - start);
            if (found.size() >= 2 && found.front() == '"' && found.back() == '"')
                found = found.substr(1, found.size() - 2);
            return found;
        }
        ++at;
    }
    return "";
}

// The Content-Type line among a part's header lines.
std::string PartContentType(const std::string& headers)
{
    size_t start = 0;
    while (start < headers.size())
    {
        size_t end = headers.find("\r\n", start);
        end = end == std::string::npos ? headers.size() : end;
        const std::string line = headers.substr(start, end - start);
        const size_t value = line.find_first_not_of(' ', 13);
        if (strncasecmp(line.c_str(), "content-type:", 13) == 0)
            return value == std::string::npos ? "" : line.substr(value);
        start = end + 2;
    }
    return "";
}

struct Upload
{
    std::string name;
    std::string contentType;
    std::string bytes;
};

StorageError ReadMultipart(const StorageCall& call, Upload& upload)
{
    std::vector<std::pair<std::string, std::string>> parts;
    if (!SplitMultipart(call.body, HeaderParameter(call.contentType, "boundary"), parts) || parts.size() != 2)
        return BadRequest("invalid", "Invalid multipart request with " + std::to_string(parts.size()) + " mime parts.");
    rapidjson::Document metadata;
    metadata.Parse(parts[0].second.c_str(), parts[0].second.size());
    if (metadata.HasParseError() || !metadata.IsObject())
        return BadRequest("parseError", "Parse Error");
    const rapidjson::Value* name = FindField(metadata, "name");
    if (upload.name.empty() && name && name->IsString())
        upload.name = name->GetString();
    const rapidjson::Value* type = FindField(metadata, "contentType");
    upload.contentType = type && type->IsString() ? type->GetString() : PartContentType(parts[1].first);
    upload.bytes = std::move(parts[1].second);
    return StorageError{};
}

StorageError ReadUpload(const StorageCall& call, Upload& upload)
{
    std::string uploadType;
    FormValue(call.query, "uploadType", uploadType);
    FormValue(call.query, "name", upload.name);
    StorageError error;
    if (uploadType == "media")
    {
        upload.contentType = call.contentType;
        upload.bytes = call.body;
    }
    else if (uploadType == "multipart")
        error = ReadMultipart(call, upload);
    else if (uploadType.empty())
        error = BadRequest("wrongUrlForUpload", "Upload requests must include an uploadType URL parameter and a URL "
                                                "path beginning with /upload/");
    else
        error = BadRequest("invalid", "Invalid upload type: " + uploadType +
                                          " (this emulator takes uploadType=media and multipart).");
    if (!error.IsSet() && upload.name.empty())
        error = BadRequest("required", "Required");
    if (upload.contentType.empty())
        upload.contentType = kDefaultContentType;
    return error;
}

StorageAnswer AnswerUpload(Storage& storage, const std::string& bucket, const StorageCall& call)
{
    Upload upload;
    StorageError error = ReadUpload(call, upload);
    if (!error.IsSet())
        error = storage.Put(bucket, upload.name, std::move(upload.bytes), upload.contentType);
    const StoredObject* object = nullptr;
    if (!error.IsSet())
        error = storage.Find(bucket, upload.name, object);
    if (error.IsSet())
        return StorageMethod::Refusal(error);
    StorageAnswer answer;
    answer.body = Storage::Resource(bucket, upload.name, *object);
    answer.message = upload.name + " (" + std::to_string(object->bytes.size()) + " bytes)";
    return answer;
}

StorageAnswer AnswerObject(Storage& storage, const std::string& bucket, const std::string& name,
                           const StorageCall& call)
{
    if (call.method == "DELETE")
    {
        const StorageError error = storage.Erase(bucket, name);
        StorageAnswer answer;
        answer.code = 204;
        answer.contentType.clear();
        return error.IsSet() ? StorageMethod::Refusal(error) : answer;
    }
    const StoredObject* object = nullptr;
    const StorageError error = storage.Find(bucket, name, object);
    if (error.IsSet())
        return StorageMethod::Refusal(error);
    StorageAnswer answer;
    std::string alt;
    if (!FormValue(call.query, "alt", alt) || alt != "media")
    {
        answer.body = Storage::Resource(bucket, name, *object);
        return answer;
    }
    // What Google's clients check a download against.
    answer.contentType = object->contentType;
    answer.body = object->bytes;
    answer.headers = {{"X-Goog-Hash", "crc32c=" + object->crc32c + ",md5=" + object->md5},
                      {"X-Goog-Generation", std::to_string(object->generation)},
                      {"X-Goog-Stored-Content-Length", std::to_string(object->bytes.size())}};
    return answer;
}

} // namespace

bool SplitMultipart(const std::string& body, const std::string& boundary,
                    std::vector<std::pair<std::string, std::string>>& parts)
{
    const std::string delimiter = "--" + boundary;
    size_t at = body.find(delimiter);
    if (boundary.empty() || at == std::string::npos)
        return false;
    for (;;)
    {
        at += delimiter.size();
        if (body.compare(at, 2, "--") == 0)
            return true;
        const size_t headersEnd = body.find("\r\n\r\n", at);
        const size_t next = body.find("\r\n" + delimiter, at);
        if (body.compare(at, 2, "\r\n") != 0 || headersEnd == std::string::npos || next == std::string::npos ||
            headersEnd > next)
            return false;
        parts.emplace_back(body.substr(at + 2, headersEnd - at), body.substr(headersEnd + 4, next - headersEnd - 4));
        at = next + 2;
    }
}

bool StorageMethod::Owns(const std::string& path)
{
    return path.compare(0, kObjectsPath.size(), kObjectsPath) == 0 ||
           path.compare(0, kUploadPath.size(), kUploadPath) == 0;
}

StorageAnswer StorageMethod::Refusal(const StorageError& error)
{
    StorageAnswer answer;
    answer.code = error.code;
    answer.body = error.ToJson();
    answer.message = error.message;
    return answer;
}

StorageError StorageMethod::Unauthorised(const std::string& method, bool tokenGiven)
{
    if (tokenGiven)
        return StorageError{401, "authError", "Invalid Credentials", true};
    const std::string permission = std::string("storage.objects.") + (method == "POST"     ? "create"
                                                                      : method == "DELETE" ? "delete"
                                                                                           : "get");
    return StorageError{401, "required",
                        "Anonymous caller does not have " + permission +
                            " access to the Google Cloud Storage object. Permission '" + permission +
                            "' denied on resource (or it may not exist).",
                        true};
}

StorageAnswer StorageMethod::Answer(Storage& storage, const StorageCall& call)
{
    const bool upload = call.path.compare(0, kUploadPath.size(), kUploadPath) == 0;
    const std::string rest = call.path.substr(upload ? kUploadPath.size() : kObjectsPath.size());
    const size_t slash = rest.find('/');
    const std::string bucket = PercentDecoded(rest.substr(0, slash), false);
    const std::string objects = slash == std::string::npos ? "" : rest.substr(slash);
    if (upload && objects == "/o" && call.method == "POST")
        return AnswerUpload(storage, bucket, call);
    if (!upload && objects.size() > 3 && objects.compare(0, 3, "/o/") == 0 &&
        (call.method == "GET" || call.method == "DELETE"))
        return AnswerObject(storage, bucket, PercentDecoded(objects.substr(3), false), call);
    return StorageMethod::Refusal(StorageError{404, "notFound", "Not Found", false});
}
