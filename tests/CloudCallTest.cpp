// One cloud call against an HTTP server in the test's own loop, on loopback: what it
// tries again, what it refuses to call, and that it reports nothing once released.
// Each way an exchange ends, and its trace, are tests/test_cloud.py's.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include "base/Trace.h"
#include "cloud/CloudCall.h"
#include "cloud/OutboundTls.h"

namespace
{

struct Loopback : testing::Test, CloudExchange::Owner
{
    Loopback()
    {
        evhttp_set_gencb(pHttp, ServeCb, this);
        evhttp_bound_socket* pSocket = evhttp_bind_socket_with_handle(pHttp, "127.0.0.1", 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(evhttp_bound_socket_get_fd(pSocket), reinterpret_cast<sockaddr*>(&address), &length);
        base = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Loopback() override
    {
        call.Release();
        evhttp_free(pHttp);
        event_base_free(pBase);
    }

    // The server's side: each path its own behaviour.
    static void ServeCb(evhttp_request* req, void* pArg)
    {
        Loopback& test = *static_cast<Loopback*>(pArg);
        const std::string path = evhttp_request_get_uri(req);
        test.served.push_back(path);
        evbuffer* pBody = evbuffer_new();
        evkeyvalq* pHeaders = evhttp_request_get_output_headers(req);
        const bool busy = path.rfind("/busy", 0) == 0 && test.served.size() <= 2;
        if (path.rfind("/cut", 0) == 0)
        {
            // Part of a reply, then the end of the connection.
            evhttp_add_header(pHeaders, "Content-Length", "10");
            evhttp_add_header(pHeaders, "Connection", "close");
            evhttp_send_reply_start(req, 200, "OK");
            evbuffer_add(pBody, "hel", 3);
            evhttp_send_reply_chunk(req, pBody);
            evhttp_send_reply_end(req);
        }
        else if (busy || path.rfind("/throttled", 0) == 0 || path.rfind("/bad", 0) == 0)
        {
            if (path.rfind("/throttled", 0) == 0)
                evhttp_add_header(pHeaders, "Retry-After", "60");
            evbuffer_add_printf(pBody, R"({"error":{"code":0,"message":"wait\nthere","status":"UNAVAILABLE"}})");
            evhttp_send_reply(req, path.rfind("/bad", 0) == 0 ? 400 : busy ? 503 : 429, "No", pBody);
        }
        else if (path.rfind("/silent", 0) != 0)
        {
            evbuffer_add_printf(pBody, "hello");
            evhttp_send_reply(req, 200, "Fine", pBody);
        }
        evbuffer_free(pBody);
    }

    void OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply) override
    {
        const char* names[] = {"Answered", "Failed", "TimedOut"};
        reports.push_back(std::string(names[static_cast<int>(outcome)]) + " " + std::to_string(reply.status) + " " +
                          reply.reason + " " + reply.body);
        event_base_loopbreak(pBase);
    }

    // Calls `uri`, runs the loop until the call reports, and gives the report; what
    // the call traced goes to `traced`.
    std::string Call(const std::string& uri, int timeoutSeconds = 5)
    {
        Trace::Flush();
        testing::internal::CaptureStdout();
        CloudExchange::Request request;
        request.method = EVHTTP_REQ_GET;
        request.timeoutSeconds = timeoutSeconds;
        const bool sent = call.CreateConnection(uri) && call.MakeRequest(request);
        if (sent)
            event_base_dispatch(pBase);
        call.Release();
        Trace::Flush();
        traced = testing::internal::GetCapturedStdout();
        return !sent ? "not sent" : reports.empty() ? "no report" : reports.back();
    }

    event_base* pBase = event_base_new();
    evhttp* pHttp = evhttp_new(pBase);
    std::string base;
    OutboundTls tls;
    Metrics metrics;
    CloudCall::Context context{
        pBase, nullptr, tls, 1024, "secret", nullptr, nullptr, metrics, 0, std::chrono::seconds(1), nullptr};
    CloudCall call{*this, context, "3"};
    std::vector<std::string> reports;
    std::vector<std::string> served;
    std::string traced;
};

TEST_F(Loopback, FailsARefusedConnectionAtOnceAndReportsNothingOnceReleased)
{
    evutil_socket_t probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    evutil_closesocket(probe); // nothing listens there now
    context.retries = 1;
    EXPECT_EQ(Call("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", 30), "Failed 0  ");
    EXPECT_NE(traced.find("Try [1] of [1] again in ["), std::string::npos);
    context.retries = 0;

    ASSERT_TRUE(call.CreateConnection(base + "/silent"));
    CloudExchange::Request request;
    request.timeoutSeconds = 30;
    ASSERT_TRUE(call.MakeRequest(request));
    event_base_loop(pBase, EVLOOP_NONBLOCK);
    call.Release();
    const timeval guard = {1, 0};
    event_base_loopexit(pBase, &guard);
    event_base_dispatch(pBase);
    EXPECT_EQ(reports.size(), 1u);
}

// A busy cloud, or a connection that fails before any reply, is tried again within the
// call's clock; a refusal, a reply cut off, or a wait longer than the clock is not.
TEST_F(Loopback, TriesABusyCloudAgainWithinItsClockAndNoOtherFailure)
{
    context.retries = 2;
    EXPECT_EQ(Call(base + "/busy"), "Answered 200 Fine hello");
    EXPECT_EQ(served, (std::vector<std::string>{"/busy", "/busy", "/busy"}));
    EXPECT_NE(traced.find("Try [2] of [2] again in ["), std::string::npos);
    EXPECT_NE(traced.find("ms for <3>: 503 No\n"), std::string::npos);
    context.retries = 1;
    served.clear();
    EXPECT_EQ(Call(base + "/busy"), "Answered 503 No {\"error\":{\"code\":0,\"message\":\"wait\\nthere\","
                                    "\"status\":\"UNAVAILABLE\"}}");
    EXPECT_EQ(served.size(), 2u);
    EXPECT_NE(traced.find("Google's reason [UNAVAILABLE]: wait\\x0Athere for <3>\n"), std::string::npos);
    for (const char* path : {"/bad", "/throttled", "/cut"})
    {
        served.clear();
        Call(base + path);
        EXPECT_EQ(served.size(), 1u) << path;
    }
    EXPECT_EQ(reports.back(), "Failed 0  ");
    const std::string scrape = metrics.Render({}, "");
    EXPECT_NE(scrape.find(R"(s2t_cloud_retries_total{method="recognize",reason="503"} 3)"), std::string::npos);
}

// Each is refused before anything is sent; the trace says why.
TEST_F(Loopback, RefusesAddressesItCannotCall)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/speech:recognize?key=secret", "Malformed URI scheme [/speech:recognize?key=secret] for <3>\n"},
        {"http://[oops/v1", "Malformed HTTP URI [http://[oops/v1] provided for <3>\n"},
        {"ftp://127.0.0.1/v1", "Unknown URI scheme [ftp] for <3>: must be either http or https\n"},
        {"http:///v1", "Failed to get host for HTTP <3>\n"},
    };
    for (const auto& [uri, line] : cases)
    {
        EXPECT_EQ(Call(uri), "not sent");
        EXPECT_EQ(traced.substr(0, line.size()), line);
    }
    EXPECT_TRUE(served.empty());
}

} // namespace
