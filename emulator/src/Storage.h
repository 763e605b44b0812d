#pragma once
// Cloud Storage objects held in memory, in the buckets named at start, with the
// bytes held bounded, and described as the JSON API's object resource. Used on
// the loop thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// A refusal in the Cloud Storage JSON API's own shape, which is older than the
// other APIs': {"error":{"code":404,"message":"...","errors":[{"message":"...",
// "domain":"global","reason":"notFound"}]}}; an authorisation refusal names the
// Authorization header as its location.
struct StorageError
{
    int code = 0;
    std::string reason;
    std::string message;
    bool inHeader = false;

    bool IsSet() const { return code != 0; }
    std::string ToJson() const;
};

struct StoredObject
{
    std::string bytes;
    std::string contentType;
    int64_t generation = 0;
    std::chrono::system_clock::time_point created;
    std::string md5;    // base64, as the resource's md5Hash
    std::string crc32c; // base64 of the big-endian CRC-32C
};

class Storage
{
public:
    Storage(const std::vector<std::string>& buckets, size_t capacity);

    // Stores or replaces the object; refused for an unknown bucket or when the bytes
    // would pass the capacity.
    StorageError Put(const std::string& bucket, const std::string& name, std::string bytes,
                     const std::string& contentType);
    StorageError Find(const std::string& bucket, const std::string& name, const StoredObject*& found) const;
    StorageError Erase(const std::string& bucket, const std::string& name);
    // The object resource: kind, name, bucket, size, hashes, times.
    static std::string Resource(const std::string& bucket, const std::string& name, const StoredObject& object);
    size_t Held() const { return m_Held; }

private:
    StorageError Missing(const std::string& bucket, const std::string& name) const;

    std::map<std::string, std::map<std::string, StoredObject>> m_Buckets;
    size_t m_Capacity;
    size_t m_Held = 0;
    int64_t m_LastGeneration = 0;
};

// CRC-32C (Castagnoli), which Cloud Storage keeps of every object.
uint32_t Crc32c(const std::string& bytes);

// Whether `name` can name a bucket: 3 to 63 of a-z, 0-9, '-', '_' and '.', starting
// and ending with a letter or digit.
bool IsBucketName(const std::string& name);
