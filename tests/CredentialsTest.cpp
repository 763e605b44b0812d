// Google credentials: the token's fetches against calls the test answers. The key file
// and the assertion it signs are tests/test_credentials.py's.
#include <gtest/gtest.h>

#include <event2/buffer.h>
#include <event2/event.h>

#include "base/Trace.h"
#include "cloud/Credentials.h"

namespace
{

// The token's calls, answered by the test.
struct TokenCloud : CloudExchange::Maker, CloudExchange, Credentials::Waiter
{
    std::unique_ptr<CloudExchange> NewExchange(Owner& owner, const std::string&) override
    {
        pOwner = &owner;
        return std::unique_ptr<CloudExchange>(new Forward{*this});
    }
    bool CreateConnection(const std::string& uri) override
    {
        calls.push_back(uri);
        return true;
    }
    bool MakeRequest(const Request& request) override
    {
        std::string body(request.pBody != nullptr ? evbuffer_get_length(request.pBody) : 0, '\0');
        if (request.pBody != nullptr)
            evbuffer_copyout(request.pBody, &body[0], body.size());
        calls.back() += std::string(request.secret ? " secret " : " ") + request.contentType + " " + body;
        for (const auto& header : request.headers)
            calls.back() += " " + header.first + ": " + header.second;
        return true;
    }
    void Release() override {}
    void OnToken(bool ok) override { told.push_back(ok); }
    void Answer(int status, const std::string& body) { pOwner->OnComplete(Outcome::Answered, {status, "", body}); }

    // One per fetch, handing every call to the test.
    struct Forward : CloudExchange
    {
        explicit Forward(TokenCloud& cloud)
            : cloud(cloud)
        {
        }
        bool CreateConnection(const std::string& uri) override { return cloud.CreateConnection(uri); }
        bool MakeRequest(const Request& request) override { return cloud.MakeRequest(request); }
        void Release() override {}
        TokenCloud& cloud;
    };

    Owner* pOwner = nullptr;
    std::vector<std::string> calls;
    std::vector<bool> told;
};

TEST(Credentials, FetchOneTokenAtATimeForEveryoneWaitingAndFailFastAfterAFailure)
{
    event_base* pBase = event_base_new();
    Metrics metrics;
    TokenCloud cloud;
    CloudSettings settings;
    settings.credentials = "metadata";
    settings.metadataEndpoint = "http://169.254.169.254";
    Credentials credentials(settings, cloud, pBase, metrics);
    Trace::Flush();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(credentials.Load());
    credentials.Start();
    credentials.Wait(cloud);
    credentials.Wait(cloud);
    EXPECT_FALSE(credentials.Valid());
    ASSERT_EQ(cloud.calls, std::vector<std::string>{"http://169.254.169.254/computeMetadata/v1/instance/"
                                                    "service-accounts/default/token secret application/json  "
                                                    "Metadata-Flavor: Google"});
    cloud.Answer(200, R"({"access_token":"ya29.t","expires_in":3599,"token_type":"Bearer"})");
    EXPECT_EQ(cloud.told, (std::vector<bool>{true, true}));
    EXPECT_TRUE(credentials.Valid());
    EXPECT_EQ(credentials.Token(), "ya29.t");

    size_t fetches = 1;
    for (const char* reply : {R"({"access_token":"","expires_in":3599})", R"({"access_token":"x"})",
                              R"({"access_token":"x","expires_in":9,"token_type":"MAC"})", "<html>"})
    {
        credentials.OnTimer(); // the next fetch is due
        cloud.Answer(200, reply);
        credentials.Wait(cloud); // within the wait after a failure: told at once, nothing asked
        EXPECT_EQ(cloud.told.back(), false) << reply;
        EXPECT_EQ(cloud.calls.size(), ++fetches) << reply;
    }
    credentials.Release();
    event_base_free(pBase);
    Trace::Flush();
    const std::string traced = testing::internal::GetCapturedStdout();
    EXPECT_NE(traced.find("Access token fetched: valid for [3599] sec\n"), std::string::npos);
    EXPECT_NE(traced.find("Access token not fetched: next try in [1] sec\n"), std::string::npos);
    EXPECT_EQ(traced.find("ya29"), std::string::npos);
}

} // namespace
