#pragma once

#include <cstdint>
#include <string>

#include <rapidjson/fwd.h>

// Reading the configuration file's values, and naming what went wrong with files.

// Copies the string member `name` of `object`, up to its first NUL. Leaves `out`
// unchanged when the member is absent or not a string. `object` must be an object.
void CopyStringMember(const rapidjson::Value& object, const char* name, std::string& out);
// The same for an unsigned integer member, which counts only from `low` to `high`.
void CopyUintMember(const rapidjson::Value& object, const char* name, uint64_t& out, uint64_t low = 0,
                    uint64_t high = UINT64_MAX);
// The same for a boolean member.
void CopyBoolMember(const rapidjson::Value& object, const char* name, bool& out);

// OpenSSL's reason for its last failure, or the system's own words for a file it
// could not read ("Permission denied"); the error queue is emptied.
std::string OpenSslReason();
