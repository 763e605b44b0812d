#include "Tokens.h"

#include "Api.h"
#include "Complain.h"
#include "SpeechMethod.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <rapidjson/document.h>

#include <sstream>

namespace
{

constexpr const char* kJwtBearer = "urn:ietf:params:oauth:grant-type:jwt-bearer";
// Google takes assertions of at most an hour, and allows clocks a few minutes apart.
constexpr long long kMaxAssertionSeconds = 3600;
constexpr long long kClockSkewSeconds = 300;

const char* StringMember(const rapidjson::Value& object, const char* name)
{
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : nullptr;
}

bool HasScope(const std::string& scopes, const std::string& wanted)
{
    std::istringstream words(scopes);
    std::string scope;
    while (words >> scope)
        if (scope == wanted)
            return true;
    return false;
}

Tokens::Refusal Refuse(const char* error, const std::string& description)
{
    return Tokens::Refusal{error, description};
}

// A JSON object in one base64url part of the assertion.
bool DecodePart(const std::string& part, rapidjson::Document& doc)
{
    std::string json;
    if (!DecodeBase64(part, json))
        return false;
    doc.Parse(json.c_str(), json.size());
    return !doc.HasParseError() && doc.IsObject();
}

} // namespace

std::string Tokens::Refusal::ToJson() const
{
    rapidjson::Document doc(rapidjson::kObjectType);
    doc.AddMember("error", rapidjson::StringRef(error.c_str()), doc.GetAllocator());
    doc.AddMember("error_description", rapidjson::StringRef(description.c_str()), doc.GetAllocator());
    return JsonText(doc);
}

Tokens::Tokens(int lifetimeSeconds)
    : m_Lifetime(lifetimeSeconds)
    , m_pKey(nullptr, EVP_PKEY_free)
{
}

Tokens::~Tokens() = default;

bool Tokens::Load(const std::string& path)
{
    std::string text;
    if (!ReadFile(path, text))
    {
        Complain("cannot read the key file %s", path.c_str());
        return false;
    }
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    const char* type = doc.IsObject() ? StringMember(doc, "type") : nullptr;
    const char* email = type ? StringMember(doc, "client_email") : nullptr;
    const char* keyId = type ? StringMember(doc, "private_key_id") : nullptr;
    const char* pem = type ? StringMember(doc, "private_key") : nullptr;
    const char* uri = type ? StringMember(doc, "token_uri") : nullptr;
    if (!type || std::string(type) != "service_account" || !email || !keyId || !pem || !uri)
    {
        Complain("%s is not a service account's key file (type service_account, client_email, private_key_id, "
                 "private_key, token_uri)",
                 path.c_str());
        return false;
    }
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem, -1), BIO_free);
    m_pKey.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!m_pKey || EVP_PKEY_get_base_id(m_pKey.get()) != EVP_PKEY_RSA)
    {
        Complain("the private_key of %s is not an RSA key in PEM", path.c_str());
        return false;
    }
    m_ClientEmail = email;
    m_KeyId = keyId;
    m_TokenUri = uri;
    return true;
}

bool Tokens::SignatureHolds(const std::string& signedPart, const std::string& signature) const
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, m_pKey.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size()) == 1;
}

Tokens::Refusal Tokens::CheckAssertion(const std::string& assertion, std::time_t now) const
{
    const size_t first = assertion.find('.');
    const size_t second = first == std::string::npos ? first : assertion.find('.', first + 1);
    rapidjson::Document header;
    rapidjson::Document claims;
    std::string signature;
    if (second == std::string::npos || !DecodePart(assertion.substr(0, first), header) ||
        !DecodePart(assertion.substr(first + 1, second - first - 1), claims) ||
        !DecodeBase64(assertion.substr(second + 1), signature))
        return Refuse("invalid_grant", "Invalid JWT: the assertion is not three base64url parts of JSON.");
    const char* alg = StringMember(header, "alg");
    const char* kid = StringMember(header, "kid");
    if (!alg || std::string(alg) != "RS256" || (kid && kid != m_KeyId) ||
        !SignatureHolds(assertion.substr(0, second), signature))
        return Refuse("invalid_grant", "Invalid JWT Signature.");
    const char* iss = StringMember(claims, "iss");
    if (!iss || iss != m_ClientEmail)
        return Refuse("invalid_grant", "Invalid grant: account not found");
    const char* aud = StringMember(claims, "aud");
    if (!aud || aud != m_TokenUri)
        return Refuse("invalid_grant", "Invalid JWT: Failed audience check.");
    const auto iat = claims.FindMember("iat");
    const auto exp = claims.FindMember("exp");
    if (iat == claims.MemberEnd() || exp == claims.MemberEnd() || !iat->value.IsInt64() || !exp->value.IsInt64() ||
        exp->value.GetInt64() <= now || iat->value.GetInt64() > now + kClockSkewSeconds ||
        exp->value.GetInt64() <= iat->value.GetInt64() ||
        exp->value.GetInt64() - iat->value.GetInt64() > kMaxAssertionSeconds)
        return Refuse("invalid_grant", "Invalid JWT: Token must be a short-lived token (60 minutes) and in a "
                                       "reasonable timeframe. Check your iat and exp values in the JWT claim.");
    const char* scope = StringMember(claims, "scope");
    if (!scope || !*scope)
        return Refuse("invalid_scope", "Empty or missing scope not allowed.");
    if (!HasScope(scope, kScope))
        return Refuse("invalid_scope", "Invalid OAuth scope or ID token audience provided.");
    return Refusal{};
}

Tokens::Refusal Tokens::Grant(const std::string& form, std::string& reply, std::time_t now)
{
    std::string grantType;
    std::string assertion;
    FormValue(form, "grant_type", grantType);
    if (grantType != kJwtBearer)
        return Refuse("unsupported_grant_type", "Invalid grant_type: " + grantType);
    if (!FormValue(form, "assertion", assertion) || assertion.empty())
        return Refuse("invalid_request", "Missing required parameter: assertion");
    const Refusal refusal = CheckAssertion(assertion, now);
    if (refusal.error.empty())
        reply = Issue();
    return refusal;
}

std::string Tokens::Issue()
{
    ForgetExpired();
    if (m_Issued.size() >= kMaxTokens)
    {
        m_Expiry.erase(m_Issued.front());
        m_Issued.pop_front();
    }
    unsigned char random[32];
    RAND_bytes(random, sizeof random);
    static const char kHex[] = "0123456789abcdef";
    std::string token = "ya29.";
    for (unsigned char byte : random)
        token += {kHex[byte >> 4], kHex[byte & 15]};
    m_Expiry[token] = std::chrono::steady_clock::now() + std::chrono::seconds(m_Lifetime);
    m_Issued.push_back(token);
    return R"({"access_token":")" + token + R"(","expires_in":)" + std::to_string(m_Lifetime) +
           R"(,"token_type":"Bearer"})";
}

bool Tokens::Valid(const std::string& token)
{
    ForgetExpired();
    return m_Expiry.count(token) > 0;
}

void Tokens::ForgetExpired()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_Issued.empty() && m_Expiry[m_Issued.front()] <= now)
    {
        m_Expiry.erase(m_Issued.front());
        m_Issued.pop_front();
    }
}
