#pragma once
// OAuth 2.0 access tokens as Google's token endpoint and the metadata server hand
// them out: a service account's signed assertion (RFC 7523, RS256) traded for a
// random bearer token of a set lifetime, which every call then carries. The account
// is the one of a key file given at start; its private key's public half checks the
// signatures. Used on the loop thread only.
#include <chrono>
#include <cstddef>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

struct evp_pkey_st;

class Tokens
{
public:
    // A refusal as Google's OAuth endpoint words it: 400 {"error":..., "error_description":...}.
    struct Refusal
    {
        std::string error; // empty: none
        std::string description;
        std::string ToJson() const;
    };

    static constexpr const char* kScope = "https://www.googleapis.com/auth/cloud-platform";
    // Live tokens kept; past it the oldest is forgotten.
    static constexpr size_t kMaxTokens = 10000;

    explicit Tokens(int lifetimeSeconds);
    ~Tokens();
    Tokens(const Tokens&) = delete;
    Tokens& operator=(const Tokens&) = delete;

    // Reads the service account's key file; complains and returns false when it cannot be used.
    bool Load(const std::string& path);
    const std::string& TokenUri() const { return m_TokenUri; }

    // The token endpoint: a form body in; the refusal, or `reply` filled with a new token.
    Refusal Grant(const std::string& form, std::string& reply, std::time_t now);
    // The metadata server's answer: a new token, no assertion asked.
    std::string Issue();
    // Whether `token` was issued here and has not expired.
    bool Valid(const std::string& token);

private:
    Refusal CheckAssertion(const std::string& assertion, std::time_t now) const;
    bool SignatureHolds(const std::string& signedPart, const std::string& signature) const;
    void ForgetExpired();

    int m_Lifetime;
    std::string m_TokenUri;
    std::string m_ClientEmail;
    std::string m_KeyId;
    std::unique_ptr<evp_pkey_st, void (*)(evp_pkey_st*)> m_pKey;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_Expiry;
    // Issue order, which with one lifetime is expiry order too.
    std::deque<std::string> m_Issued;
};
