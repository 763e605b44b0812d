// The pieces of tokens and storage that the HTTP tests reach only at their middle:
// the bounds of an assertion's times, form and URI decoding, CRC-32C and multipart.
#include "Api.h"
#include "SpeechMethod.h"
#include "StorageMethod.h"
#include "Tokens.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace
{

std::string Base64Url(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    for (char& c : out)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out.substr(0, out.find('='));
}

class Account
{
public:
    Account()
        : m_pKey(EVP_RSA_gen(2048), EVP_PKEY_free)
    {
        std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
        PEM_write_bio_PrivateKey(bio.get(), m_pKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        char* pem = nullptr;
        const long size = BIO_get_mem_data(bio.get(), &pem);
        std::string escaped;
        for (char c : std::string(pem, static_cast<size_t>(size)))
            escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
        std::ofstream(m_Path) << R"({"type":"service_account","client_email":"a@p.iam.gserviceaccount.com",)"
                              << R"("private_key_id":"k1","token_uri":"http://127.0.0.1:1/token","private_key":")"
                              << escaped << "\"}";
    }
    ~Account() { std::remove(m_Path.c_str()); }
    const std::string& Path() const { return m_Path; }

    // A form for the token endpoint, its assertion signed with the account's key.
    std::string Form(const std::string& header, const std::string& claims) const
    {
        const std::string signedPart = Base64Url(header) + "." + Base64Url(claims);
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        size_t size = 512;
        std::string signature(size, '\0');
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, m_pKey.get());
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size());
        signature.resize(size);
        return "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" + signedPart + "." +
               Base64Url(signature);
    }

private:
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> m_pKey;
    std::string m_Path = testing::TempDir() + "access-test-key.json";
};

std::string Claims(long long iat, long long exp, const char* scope = "https://www.googleapis.com/auth/cloud-platform")
{
    return R"({"iss":"a@p.iam.gserviceaccount.com","aud":"http://127.0.0.1:1/token","scope":")" + std::string(scope) +
           R"(","iat":)" + std::to_string(iat) + R"(,"exp":)" + std::to_string(exp) + "}";
}

} // namespace

TEST(Tokens, TakeAssertionsWithinGooglesBoundsOnly)
{
    const Account account;
    Tokens tokens(60);
    ASSERT_TRUE(tokens.Load(account.Path()));
    const long long now = 1700000000;
    const std::string header = R"({"alg":"RS256","typ":"JWT","kid":"k1"})";
    // A header and claims, and the refusal's description (nullptr: a token).
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {header, Claims(now - 3599, now + 1), nullptr},
        {header, Claims(now + 300, now + 3900), nullptr}, // a clock a little ahead
        {R"({"alg":"RS256"})", Claims(now, now + 3600), nullptr},
        {header, Claims(now - 3600, now), "short-lived"},
        {header, Claims(now + 301, now + 3901), "short-lived"},
        {header, Claims(now, now + 3601), "short-lived"},
        {header, Claims(now + 10, now + 10), "short-lived"},
        {header, Claims(now, now + 60, ""), "Empty or missing scope not allowed."},
        {R"({"alg":"none","kid":"k1"})", Claims(now, now + 60), "Invalid JWT Signature."},
        {R"({"alg":"RS256","kid":"k2"})", Claims(now, now + 60), "Invalid JWT Signature."},
        {"[]", Claims(now, now + 60), "three base64url parts"},
    };
    for (const auto& [head, claims, refusal] : cases)
    {
        std::string reply;
        const Tokens::Refusal result = tokens.Grant(account.Form(head, claims), reply, now);
        EXPECT_EQ(result.description.find(refusal ? refusal : "\1") != std::string::npos, refusal != nullptr)
            << claims << ": " << result.description;
        EXPECT_EQ(reply.empty(), refusal != nullptr) << claims;
    }
    std::string reply;
    EXPECT_EQ(tokens.Grant("grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer", reply, now).description,
              "Missing required parameter: assertion");
    EXPECT_EQ(tokens.Grant(account.Form(header, Claims(now, now + 60)) + "x", reply, now).description,
              "Invalid JWT Signature.");
    const std::string issued = tokens.Issue();
    EXPECT_TRUE(tokens.Valid(issued.substr(17, issued.find('"', 17) - 17))) << issued;
    EXPECT_FALSE(tokens.Valid("ya29.guess"));
    EXPECT_EQ(Tokens::Refusal({"invalid_grant", "a \"b\""}).ToJson(),
              R"({"error":"invalid_grant","error_description":"a \"b\""})");
}

TEST(Access, FormsUrisAndMultipartBodiesAreReadAsGoogleSendsThem)
{
    std::string value = "unset";
    EXPECT_TRUE(FormValue("a=1&grant_type=x%3Ay+z%2b&b", "grant_type", value));
    EXPECT_EQ(value, "x:y z+");
    EXPECT_TRUE(FormValue("a=1&b", "b", value));
    EXPECT_EQ(value, "");
    EXPECT_FALSE(FormValue("ab=1&a%=2", "a", value));
    EXPECT_EQ(PercentDecoded("a%2Fb+c%zz%4", false), "a/b+c%zz%4");
    std::string bucket, object;
    EXPECT_TRUE(SplitGsUri("gs://b/calls/x.wav", bucket, object));
    EXPECT_EQ(bucket + "|" + object, "b|calls/x.wav");
    for (const char* uri : {"gs://b/", "gs:///x", "gs://b", "s3://b/x", "gs:/b/x"})
        EXPECT_FALSE(SplitGsUri(uri, bucket, object)) << uri;
    EXPECT_EQ(Crc32c("123456789"), 0xE3069283u);
    EXPECT_EQ(Crc32c(""), 0u);

    std::vector<std::pair<std::string, std::string>> parts;
    ASSERT_TRUE(SplitMultipart("--b\r\nA: 1\r\n\r\n{}\r\n--b\r\n\r\nx--b\r\n--b--", "b", parts));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], std::make_pair(std::string("A: 1\r\n"), std::string("{}")));
    EXPECT_EQ(parts[1], std::make_pair(std::string(), std::string("x--b")));
    for (const char* body : {"--b\r\n\r\nx", "--b\r\nA: 1\r\n\r\nx\r\n--c--", "--bx\r\n\r\n\r\n--b--", "x"})
        EXPECT_FALSE(SplitMultipart(body, "b", parts)) << body;
    EXPECT_FALSE(SplitMultipart("--\r\n\r\n\r\n----", "", parts));
}

TEST(Storage, CountsWhatItHoldsAndDescribesObjectsAsGoogle)
{
    Storage storage({"audio"}, 10);
    EXPECT_FALSE(storage.Put("audio", "a", "123456", "audio/wav").IsSet());
    EXPECT_FALSE(storage.Put("audio", "a", "1234567890", "audio/wav").IsSet()); // replaced, not added
    EXPECT_EQ(storage.Put("audio", "b", "1", "").code, 503);
    EXPECT_EQ(storage.Put("other", "b", "1", "").message, "The specified bucket does not exist.");
    const StoredObject* object = nullptr;
    ASSERT_FALSE(storage.Find("audio", "a", object).IsSet());
    const std::string resource = Storage::Resource("audio", "a", *object);
    EXPECT_NE(resource.find(R"("size":"10","md5Hash":"6Afx/PgtEy+bsBjKZzihnw==","crc32c":"89vU/g==")"),
              std::string::npos)
        << resource;
    EXPECT_FALSE(storage.Erase("audio", "a").IsSet());
    EXPECT_EQ(storage.Held(), 0u);
    EXPECT_EQ(storage.Erase("audio", "a").message, "No such object: audio/a");
    EXPECT_TRUE(IsBucketName("s2t-audio.x_1"));
    for (const std::string& name : {std::string("ab"), std::string("-ab"), std::string("abc-"), std::string("aBc"),
                                    std::string("a/bc"), std::string(64, 'a')})
        EXPECT_FALSE(IsBucketName(name)) << name;
}
