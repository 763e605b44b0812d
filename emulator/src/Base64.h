#pragma once
#include <string>
#include <string_view>

// Decodes base64 as a proto3 JSON "bytes" field accepts it: standard or
// URL-safe alphabet, padding optional, whitespace ignored. False on bad input.
bool decodeBase64(std::string_view text, std::string& out);
