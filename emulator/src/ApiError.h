#pragma once
// An error reply in the shape Google's REST front end uses:
// {"error":{"code":400,"message":"...","status":"INVALID_ARGUMENT"}}.
#include <string>

struct ApiError {
    int httpCode = 0;
    std::string status;
    std::string message;
    // Google adds an ErrorInfo detail to some errors (a bad API key); empty means none.
    std::string reason;
    std::string service;

    bool isSet() const { return httpCode != 0; }
    std::string toJson() const;
};

ApiError invalidArgument(const std::string& message);
ApiError notFound(const std::string& message);
ApiError methodNotAllowed(const std::string& message);
ApiError invalidApiKey(const std::string& service);
ApiError missingApiKey();
