#pragma once
// Cloud Storage's JSON API for objects over the in-memory Storage: upload
// (uploadType=media, and multipart as Google's client libraries send small files),
// metadata, media (alt=media) and delete. Plain strings in and out: the loop hands
// the call over and sends the answer.
#include "Storage.h"

#include <string>
#include <utility>
#include <vector>

struct StorageCall
{
    std::string method; // "GET", "POST", "DELETE", ...
    std::string path;   // as sent, still percent-encoded: an object's name holds '/' as %2F
    std::string query;  // as sent
    std::string contentType;
    std::string body;
};

struct StorageAnswer
{
    int code = 200;
    std::string contentType = "application/json; charset=UTF-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string message; // for the trace: a refusal's, or the object uploaded
};

namespace StorageMethod
{
// Whether the path is Cloud Storage's: /storage/v1/... or /upload/storage/v1/....
bool Owns(const std::string& path);
// Google's refusal of a caller without a token (`tokenGiven` false), or with one
// that is not valid, for the permission `method` needs on an object.
StorageError Unauthorised(const std::string& method, bool tokenGiven);
StorageAnswer Answer(Storage& storage, const StorageCall& call);
StorageAnswer Refusal(const StorageError& error);
} // namespace StorageMethod

// The parts of a multipart/related body as (headers, content); false when the body
// is not one.
bool SplitMultipart(const std::string& body, const std::string& boundary,
                    std::vector<std::pair<std::string, std::string>>& parts);
