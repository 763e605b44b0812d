#pragma once

#include <cstdint>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

// A Google service account's key file, and the assertion that trades it for an
// access token: a JSON Web Token signed with the account's key (RS256), as OAuth
// 2.0's JWT bearer grant wants it.
class ServiceAccount
{
public:
    ServiceAccount() = default;
    ~ServiceAccount();

    ServiceAccount(const ServiceAccount&) = delete;
    ServiceAccount& operator=(const ServiceAccount&) = delete;

    // Reads the key file at `path`. False, with `why` (no secret in it), when it
    // cannot be used: unreadable, not JSON, a member missing, a key OpenSSL cannot read.
    bool Load(const std::string& path, std::string& why);
    const std::string& TokenUri() const { return m_TokenUri; }
    // header.claims.signature, each base64url: issued at `now` (seconds since the
    // epoch), valid for an hour, for the cloud platform's scope, to the token URI.
    // Empty when it cannot be signed.
    std::string Assertion(int64_t now) const;

    static std::string Base64Url(const std::string& bytes);

private:
    std::string m_ClientEmail;
    std::string m_PrivateKeyId;
    std::string m_TokenUri;
    EVP_PKEY* m_pKey = nullptr;
};
