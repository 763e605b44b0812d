#include "ServiceAccount.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace
{

const char* const kScope = "https://www.googleapis.com/auth/cloud-platform";
const int64_t kLifetimeSeconds = 3600;

bool TakeString(const rapidjson::Document& document, const char* name, std::string& out, std::string& why)
{
    const auto member = document.FindMember(name);
    if (member == document.MemberEnd() || !member->value.IsString() || member->value.GetStringLength() == 0)
    {
        why = std::string("no \"") + name + "\"";
        return false;
    }
    out.assign(member->value.GetString(), member->value.GetStringLength());
    return true;
}

std::string Json(const std::pair<const char*, std::string>* strings, size_t count, int64_t iat = -1)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    for (size_t i = 0; i < count; ++i)
    {
        writer.Key(strings[i].first);
        writer.String(strings[i].second.c_str(), static_cast<rapidjson::SizeType>(strings[i].second.size()));
    }
    if (iat >= 0)
    {
        writer.Key("iat");
        writer.Int64(iat);
        writer.Key("exp");
        writer.Int64(iat + kLifetimeSeconds);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

ServiceAccount::~ServiceAccount()
{
    EVP_PKEY_free(m_pKey);
}

bool ServiceAccount::Load(const std::string& path, std::string& why)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
    {
        why = strerror(errno);
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError() || !document.IsObject())
    {
        why = document.HasParseError() ? rapidjson::GetParseError_En(document.GetParseError()) : "not a JSON object";
        return false;
    }
    std::string type;
    std::string pem;
    if (!TakeString(document, "type", type, why) || !TakeString(document, "client_email", m_ClientEmail, why) ||
        !TakeString(document, "private_key_id", m_PrivateKeyId, why) ||
        !TakeString(document, "private_key", pem, why) || !TakeString(document, "token_uri", m_TokenUri, why))
        return false;
    if (type != "service_account")
    {
        why = "\"type\" is not \"service_account\"";
        return false;
    }
    BIO* pBio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    m_pKey = pBio != nullptr ? PEM_read_bio_PrivateKey(pBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(pBio);
    if (m_pKey == nullptr || EVP_PKEY_get_base_id(m_pKey) != EVP_PKEY_RSA)
    {
        why = "\"private_key\" is not an RSA private key in PEM";
        return false;
    }
    return true;
}

std::string ServiceAccount::Base64Url(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    for (char& c : text)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return text;
}

std::string ServiceAccount::Assertion(int64_t now) const
{
    const std::pair<const char*, std::string> header[] = {{"alg", "RS256"}, {"typ", "JWT"}, {"kid", m_PrivateKeyId}};
    const std::pair<const char*, std::string> claims[] = {
        {"iss", m_ClientEmail}, {"scope", kScope}, {"aud", m_TokenUri}};
    const std::string signedPart = Base64Url(Json(header, 3)) + "." + Base64Url(Json(claims, 3, now));
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    const unsigned char* pData = reinterpret_cast<const unsigned char*>(signedPart.data());
    size_t length = 0;
    std::string signature;
    bool signedOk = pContext != nullptr && m_pKey != nullptr &&
                    EVP_DigestSignInit(pContext, nullptr, EVP_sha256(), nullptr, m_pKey) == 1 &&
                    EVP_DigestSign(pContext, nullptr, &length, pData, signedPart.size()) == 1;
    if (signedOk)
    {
        signature.resize(length);
        signedOk = EVP_DigestSign(pContext, reinterpret_cast<unsigned char*>(&signature[0]), &length, pData,
                                  signedPart.size()) == 1;
        signature.resize(length);
    }
    EVP_MD_CTX_free(pContext);
    return signedOk ? signedPart + "." + Base64Url(signature) : std::string();
}
