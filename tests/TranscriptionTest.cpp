// The transcription chain against cloud calls the test answers by hand: each step
// and what comes after it, every outcome and its reply, and the end at a stop.
#include <gtest/gtest.h>

#include <event2/buffer.h>
#include <event2/event.h>
#include <openssl/evp.h>

#include "base/Trace.h"
#include "cloud/Transcription.h"

namespace
{

using Outcome = CloudExchange::Outcome;

// Stands in for the cloud: records each call as "METHOD uri timeout body", and answers
// it when the test says so.
struct FakeCloud : CloudExchange::Maker, Transcription::Owner
{
    struct Exchange : CloudExchange
    {
        Exchange(FakeCloud& cloud, Owner& owner)
            : cloud(cloud)
            , owner(owner)
        {
        }
        bool CreateConnection(const std::string& uri) override
        {
            this->uri = uri;
            return uri.find("unreachable") == std::string::npos;
        }
        bool MakeRequest(evhttp_cmd_type method, evbuffer* pBody, int timeoutSeconds) override
        {
            std::string body(pBody != nullptr ? evbuffer_get_length(pBody) : 0, '\0');
            if (pBody != nullptr)
                evbuffer_copyout(pBody, &body[0], body.size());
            cloud.calls.push_back((method == EVHTTP_REQ_GET ? "GET " : "POST ") + uri + " " +
                                  std::to_string(timeoutSeconds) + " " + body);
            return true;
        }
        void Release() override { ++cloud.released; }

        FakeCloud& cloud;
        Owner& owner;
        std::string uri;
    };

    std::unique_ptr<CloudExchange> NewExchange(CloudExchange::Owner& owner, const uint64_t&) override
    {
        auto exchange = std::make_unique<Exchange>(*this, owner);
        pExchange = exchange.get();
        return exchange;
    }
    void OnTranscriptionDone(Transcription&, const Transcription::Result& result) override
    {
        results.push_back(std::to_string(result.status) + " " + result.reason + " [" + result.body + "]" +
                          (result.json ? " json" : "") + (result.close ? " close" : ""));
    }
    void Answer(Outcome outcome, int status = 0, const std::string& body = "", const std::string& reason = "OK")
    {
        pExchange->owner.OnComplete(outcome, CloudExchange::Reply{status, reason, body});
    }

    Exchange* pExchange = nullptr;
    std::vector<std::string> calls;
    std::vector<std::string> results;
    int released = 0;
};

std::string Base64(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    return text;
}

// A WAV file of 70 bytes of audio at one byte a second: long enough for long-running recognition.
const std::string kLongRecording = Base64(std::string("RIFF\x6A\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x01\0\0\0\x01\0\0\0"
                                                      "\x01\0\x08\0data\x46\0\0\0",
                                                      44) +
                                          std::string(70, '\x80'));
const char* const kRecognized = R"({"results":[{"alternatives":[{"transcript":"hi there"}],"languageCode":"en-us"}]})";

// What the chain traces is kept for the test to read.
struct Chain : testing::Test
{
    Chain()
    {
        settings.accessKey = "k";
        Trace::Flush();
        testing::internal::CaptureStdout();
    }
    ~Chain() override
    {
        Trace::Flush();
        testing::internal::GetCapturedStdout();
        pTranscription.reset();
        event_base_free(pBase);
    }

    Transcription& Start(const std::string& audio = "QQ==")
    {
        pTranscription = std::make_unique<Transcription>(Transcription::Context{settings, cloud, metrics, pBase, cloud},
                                                         7, Transcription::Parameters{audio, "en-US", {"de-DE"}});
        pTranscription->Start();
        return *pTranscription;
    }
    const std::string& Traced()
    {
        Trace::Flush();
        traced += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return traced;
    }

    CloudSettings settings = [] {
        CloudSettings s;
        s.speechServiceEndpoint = "http://speech/v1";
        s.languageServiceEndpoint = "http://language/v1";
        return s;
    }();
    event_base* pBase = event_base_new();
    Metrics metrics;
    FakeCloud cloud;
    std::unique_ptr<Transcription> pTranscription;
    std::string traced;
};

TEST_F(Chain, RecognisesThenAnalysesAndAnswersWithTheSentimentReply)
{
    Transcription& t = Start();
    EXPECT_EQ(t.GetState(), Transcription::State_PerformingTranscription);
    cloud.Answer(Outcome::Answered, 200, kRecognized);
    EXPECT_EQ(t.GetState(), Transcription::State_PerformingSentimentAnalysis);
    cloud.Answer(Outcome::Answered, 200, "{\"score\":1}", "Fine\r\nX: y");
    EXPECT_EQ(t.GetState(), Transcription::State_Done);
    const std::vector<std::string> calls = {
        R"(POST http://speech/v1/speech:recognize?key=k 5 {"config":{"languageCode":"en-US",)"
        R"("alternativeLanguageCodes":["de-DE"]},"audio":{"content":"QQ=="}})",
        R"(POST http://language/v1/documents:analyzeSentiment?key=k 5 )"
        R"({"document":{"type":"PLAIN_TEXT","language":"en-us","content":"hi there"}})"};
    EXPECT_EQ(cloud.calls, calls);
    // The reason phrase cannot carry headers of its own into the caller's reply.
    EXPECT_EQ(cloud.results, std::vector<std::string>{"200 Fine  X: y [{\"score\":1}] json"});
    t.Abandon(); // ended already: nothing more
    EXPECT_EQ(cloud.results.size(), 1u);
}

// Each way a step can end, and the caller's reply; the chain goes no further.
TEST_F(Chain, EndsEachFailedStepWithItsOwnReply)
{
    const std::string failed = "401 Method Failed []";
    const struct
    {
        int steps; // answered 200 before the one that fails
        Outcome outcome;
        int status;
        std::string body;
        std::string reply;
    } cases[] = {
        {0, Outcome::Failed, 0, "", failed},
        {0, Outcome::Answered, 403, kRecognized, failed},
        {0, Outcome::Answered, 200, "<html>", failed},
        {0, Outcome::TimedOut, 0, "", "408 Request Timeout []"},
        {1, Outcome::Failed, 0, "", failed},
        {1, Outcome::Answered, 201, "{}", failed},
        {1, Outcome::TimedOut, 0, "", "408 Request Timeout []"},
        {1, Outcome::Answered, 200, "", "200 OK []"},
    };
    for (const auto& c : cases)
    {
        cloud = FakeCloud();
        Start();
        if (c.steps > 0)
            cloud.Answer(Outcome::Answered, 200, kRecognized);
        cloud.Answer(c.outcome, c.status, c.body);
        EXPECT_EQ(cloud.results, std::vector<std::string>{c.reply}) << c.steps << " " << c.status << c.body;
        EXPECT_EQ(cloud.calls.size(), static_cast<size_t>(c.steps + 1));
    }
    EXPECT_NE(Traced().find("Recognition reply is not a JSON object for <7>\n"), std::string::npos);
}

TEST_F(Chain, RefusesWhatCannotStartAndAnswers503AtAStop)
{
    settings.speechServiceEndpoint = "http://unreachable";
    Start();
    EXPECT_EQ(cloud.results, std::vector<std::string>{"403 Error []"});
    EXPECT_NE(Traced().find("Request failed\n"), std::string::npos);

    settings.speechServiceEndpoint = "http://speech/v1";
    settings.languageServiceEndpoint = "http://unreachable";
    cloud = FakeCloud();
    Start();
    cloud.Answer(Outcome::Answered, 200, kRecognized);
    EXPECT_EQ(cloud.results, std::vector<std::string>{"401 Method Failed []"});

    cloud = FakeCloud();
    Transcription& t = Start();
    const int released = cloud.released;
    t.Abandon();
    EXPECT_EQ(cloud.results, std::vector<std::string>{"503 Service Unavailable [] close"});
    EXPECT_GT(cloud.released, released);
    EXPECT_EQ(t.GetState(), Transcription::State_Done);
}

TEST_F(Chain, PollsALongRunningRecognitionUntilItIsDone)
{
    Transcription& t = Start(kLongRecording);
    EXPECT_EQ(t.GetState(), Transcription::State_StartingLongRunningTranscription);
    cloud.Answer(Outcome::Answered, 200, R"({"name":"42"})");
    EXPECT_EQ(t.GetState(), Transcription::State_WaitingForOperation);
    t.OnWaitOver();
    EXPECT_EQ(t.GetState(), Transcription::State_PollingOperation);
    cloud.Answer(Outcome::Answered, 200, R"({"name":"42","done":false})");
    t.OnWaitOver();
    cloud.Answer(Outcome::Answered, 200, R"({"name":"42","done":true,"response":)" + std::string(kRecognized) + "}");
    EXPECT_EQ(t.GetState(), Transcription::State_PerformingSentimentAnalysis);
    ASSERT_EQ(cloud.calls.size(), 4u);
    EXPECT_EQ(cloud.calls[0].substr(0, 56), "POST http://speech/v1/speech:longrunningrecognize?key=k ");
    EXPECT_EQ(cloud.calls[1], "GET http://speech/v1/operations/42?key=k 5 ");
    EXPECT_EQ(cloud.calls[2], cloud.calls[1]);
    EXPECT_NE(cloud.calls[3].find("\"content\":\"hi there\""), std::string::npos);
    EXPECT_NE(Traced().find("Operation [42] not done: next poll in [1] sec for <7>\n"), std::string::npos);

    // An operation that failed, a reply that is none, a name that cannot go into a path.
    for (const char* reply : {R"({"name":"42","done":true,"error":{"code":3}})", "{}", R"({"name":"../x?"})"})
    {
        cloud = FakeCloud();
        Start(kLongRecording);
        cloud.Answer(Outcome::Answered, 200, reply);
        EXPECT_EQ(cloud.results, std::vector<std::string>{"401 Method Failed []"}) << reply;
    }
}

// A recording whose length the head does not tell goes to the synchronous method first.
TEST_F(Chain, SendsARecordingRefusedAsTooLongAgainAsALongRunningOne)
{
    Transcription& t = Start();
    cloud.Answer(Outcome::Answered, 400, R"({"error":{"message":"Sync input too long. Use a uri."}})");
    EXPECT_EQ(t.GetState(), Transcription::State_StartingLongRunningTranscription);
    ASSERT_EQ(cloud.calls.size(), 2u);
    EXPECT_EQ(cloud.calls[1].substr(cloud.calls[1].find(' ', 5)), cloud.calls[0].substr(cloud.calls[0].find(' ', 5)));
    EXPECT_NE(Traced().find("Recognition refused as too long: long-running recognition for <7>\n"), std::string::npos);
}

} // namespace
