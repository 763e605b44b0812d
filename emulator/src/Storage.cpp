#include "Storage.h"

#include "Api.h"

#include <openssl/evp.h>
#include <rapidjson/document.h>

#include <cctype>

namespace
{

std::string Base64(const unsigned char* data, size_t size)
{
    std::string out(4 * ((size + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    return out;
}

std::string Md5Base64(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    return Base64(digest, size);
}

std::string Crc32cBase64(const std::string& bytes)
{
    const uint32_t crc = Crc32c(bytes);
    const unsigned char bigEndian[4] = {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
                                        static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
    return Base64(bigEndian, sizeof bigEndian);
}

bool IsBucketEnd(char c)
{
    return std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c));
}

} // namespace

uint32_t Crc32c(const std::string& bytes)
{
    static const auto kTable = [] {
        std::vector<uint32_t> table(256);
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ ((crc & 1) ? 0x82F63B78u : 0);
            table[i] = crc;
        }
        return table;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes)
        crc = (crc >> 8) ^ kTable[(crc ^ byte) & 0xFF];
    return crc ^ 0xFFFFFFFFu;
}

bool IsBucketName(const std::string& name)
{
    if (name.size() < 3 || name.size() > 63 || !IsBucketEnd(name.front()) || !IsBucketEnd(name.back()))
        return false;
    for (char c : name)
        if (!IsBucketEnd(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

std::string StorageError::ToJson() const
{
    rapidjson::Document doc(rapidjson::kObjectType);
    auto& a = doc.GetAllocator();
    rapidjson::Value detail(rapidjson::kObjectType);
    detail.AddMember("message", rapidjson::StringRef(message.c_str()), a);
    detail.AddMember("domain", "global", a);
    detail.AddMember("reason", rapidjson::StringRef(reason.c_str()), a);
    if (inHeader)
    {
        detail.AddMember("locationType", "header", a);
        detail.AddMember("location", "Authorization", a);
    }
    rapidjson::Value errors(rapidjson::kArrayType);
    errors.PushBack(detail, a);
    rapidjson::Value error(rapidjson::kObjectType);
    error.AddMember("code", code, a);
    error.AddMember("message", rapidjson::StringRef(message.c_str()), a);
    error.AddMember("errors", errors, a);
    doc.AddMember("error", error, a);
    return JsonText(doc);
}

Storage::Storage(const std::vector<std::string>& buckets, size_t capacity)
    : m_Capacity(capacity)
{
    for (const std::string& bucket : buckets)
        m_Buckets[bucket];
}

StorageError Storage::Missing(const std::string& bucket, const std::string& name) const
{
    if (!m_Buckets.count(bucket))
        return StorageError{404, "notFound", "The specified bucket does not exist.", false};
    return StorageError{404, "notFound", "No such object: " + bucket + "/" + name, false};
}

StorageError Storage::Put(const std::string& bucket, const std::string& name, std::string bytes,
                          const std::string& contentType)
{
    auto it = m_Buckets.find(bucket);
    if (it == m_Buckets.end())
        return Missing(bucket, name);
    auto old = it->second.find(name);
    const size_t replaced = old == it->second.end() ? 0 : old->second.bytes.size();
    if (m_Held - replaced + bytes.size() > m_Capacity)
        return StorageError{503, "backendError",
                            "The emulator's storage is full: " + std::to_string(m_Held) + " of " +
                                std::to_string(m_Capacity) +
                                " bytes (--storage-bytes) are held; delete objects "
                                "and try again.",
                            false};
    StoredObject& object = it->second[name];
    m_Held = m_Held - replaced + bytes.size();
    object.created = std::chrono::system_clock::now();
    // Google's generations are microseconds since the epoch; each write gets a new one.
    const int64_t now =
        std::chrono::duration_cast<std::chrono::microseconds>(object.created.time_since_epoch()).count();
    m_LastGeneration = now > m_LastGeneration ? now : m_LastGeneration + 1;
    object.generation = m_LastGeneration;
    object.contentType = contentType;
    object.md5 = Md5Base64(bytes);
    object.crc32c = Crc32cBase64(bytes);
    object.bytes = std::move(bytes);
    return StorageError{};
}

StorageError Storage::Find(const std::string& bucket, const std::string& name, const StoredObject*& found) const
{
    auto it = m_Buckets.find(bucket);
    if (it == m_Buckets.end())
        return Missing(bucket, name);
    auto object = it->second.find(name);
    if (object == it->second.end())
        return Missing(bucket, name);
    found = &object->second;
    return StorageError{};
}

StorageError Storage::Erase(const std::string& bucket, const std::string& name)
{
    const StoredObject* object = nullptr;
    StorageError error = Find(bucket, name, object);
    if (error.IsSet())
        return error;
    m_Held -= object->bytes.size();
    m_Buckets[bucket].erase(name);
    return StorageError{};
}

std::string Storage::Resource(const std::string& bucket, const std::string& name, const StoredObject& object)
{
    rapidjson::Document doc(rapidjson::kObjectType);
    auto& a = doc.GetAllocator();
    const std::string generation = std::to_string(object.generation);
    const std::string created = FormatTimestamp(object.created);
    auto text = [&a](const std::string& value) { return rapidjson::Value(value.c_str(), a); };
    doc.AddMember("kind", "storage#object", a);
    doc.AddMember("id", text(bucket + "/" + name + "/" + generation), a);
    doc.AddMember("name", text(name), a);
    doc.AddMember("bucket", text(bucket), a);
    doc.AddMember("generation", text(generation), a);
    doc.AddMember("metageneration", "1", a);
    doc.AddMember("contentType", text(object.contentType), a);
    doc.AddMember("storageClass", "STANDARD", a);
    doc.AddMember("size", text(std::to_string(object.bytes.size())), a);
    doc.AddMember("md5Hash", text(object.md5), a);
    doc.AddMember("crc32c", text(object.crc32c), a);
    doc.AddMember("timeCreated", text(created), a);
    doc.AddMember("updated", text(created), a);
    return JsonText(doc);
}
