// The transcription chain against cloud calls the test answers by hand: each step
// and what comes after it, every outcome and its reply, and the end at a stop.
#include <gtest/gtest.h>

#include <event2/buffer.h>
#include <event2/event.h>
#include <openssl/evp.h>

#include "base/Trace.h"
#include "cloud/Storage.h"
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
        bool MakeRequest(const Request& request) override
        {
            std::string body(request.pBody != nullptr ? evbuffer_get_length(request.pBody) : 0, '\0');
            if (request.pBody != nullptr)
                evbuffer_copyout(request.pBody, &body[0], body.size());
            const char* method = request.method == EVHTTP_REQ_GET      ? "GET "
                                 : request.method == EVHTTP_REQ_DELETE ? "DELETE "
                                                                       : "POST ";
            cloud.calls.push_back(method + uri + " " + std::to_string(request.timeoutSeconds) + " " + body);
            return true;
        }
        void Release() override { ++cloud.released; }

        FakeCloud& cloud;
        Owner& owner;
        std::string uri;
    };

    std::unique_ptr<CloudExchange> NewExchange(CloudExchange::Owner& owner, const std::string&) override
    {
        auto exchange = std::make_unique<Exchange>(*this, owner);
        pLatest = exchange.get();
        return exchange;
    }
    void OnTranscriptionDone(Transcription&, const Transcription::Result& result) override
    {
        results.push_back(std::to_string(result.status) + " " + result.reason + " [" + result.body + "]" +
                          (result.json ? " json" : "") + (result.close ? " close" : ""));
    }
    // Answers the chain's call, or with `latest` the call made last (an object's delete).
    void Answer(Outcome outcome, int status = 0, const std::string& body = "", const std::string& reason = "OK",
                bool latest = false)
    {
        (latest ? pLatest : pChain)->owner.OnComplete(outcome, CloudExchange::Reply{status, reason, body});
    }

    Exchange* pChain = nullptr;
    Exchange* pLatest = nullptr;
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

// A WAV file of 70 bytes of audio at one byte a second: too long to go inline.
const std::string kLongRecordingBytes = std::string("RIFF\x6A\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x01\0\0\0\x01\0\0\0"
                                                    "\x01\0\x08\0data\x46\0\0\0",
                                                    44) +
                                        std::string(70, '\x80');
const std::string kLongRecording = Base64(kLongRecordingBytes);
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
        const std::string rest = testing::internal::GetCapturedStdout();
        if (HasFailure()) // what the test said of its failures is among it
            fprintf(stderr, "%s%s", traced.c_str(), rest.c_str());
        pTranscription.reset();
        event_base_free(pBase);
    }

    Transcription& Start(const std::string& audio = "QQ==")
    {
        pTranscription = std::make_unique<Transcription>(
            Transcription::Context{settings, cloud, storage, budget, metrics, pBase, cloud}, 7,
            Transcription::Parameters{audio, "en-US", {"de-DE"}});
        cloud.pChain = cloud.pLatest;
        pTranscription->Start();
        return *pTranscription;
    }
    // Cloud Storage's answer to the upload just made.
    void Uploaded()
    {
        const std::string& upload = cloud.calls.back();
        const size_t name = upload.find("name=") + 5;
        cloud.Answer(Outcome::Answered, 200,
                     "{\"name\":\"" + upload.substr(name, upload.find_first_of("& ", name) - name) + "\"}");
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
    Storage storage{settings, cloud, metrics, [] {}};
    Budget budget{1 << 20};
    std::unique_ptr<Transcription> pTranscription;
    std::string traced;
};

// The calls' bodies and the reply are tests/test_cloud.py's; the recognition options
// configured go into the recognition.
TEST_F(Chain, RecognisesWithTheConfiguredOptionsThenAnswersWithTheSentimentReply)
{
    settings.recognition = R"("enableAutomaticPunctuation":true)";
    Transcription& t = Start();
    cloud.Answer(Outcome::Answered, 200, kRecognized);
    cloud.Answer(Outcome::Answered, 200, "{\"score\":1}", "Fine\r\nX: y");
    EXPECT_NE(cloud.calls.at(0).find(R"(["de-DE"],"enableAutomaticPunctuation":true},"audio")"), std::string::npos);
    // The reason phrase cannot carry headers of its own into the caller's reply.
    EXPECT_EQ(cloud.results, std::vector<std::string>{"200 Fine  X: y [{\"score\":1}] json"});
    t.Abandon(); // ended already: nothing more
    EXPECT_EQ(cloud.results.size(), 1u);
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

    // Google takes three alternative languages, and needs a language: the default stands in.
    settings.defaultLanguage = "de-DE";
    cloud = FakeCloud();
    pTranscription =
        std::make_unique<Transcription>(Transcription::Context{settings, cloud, storage, budget, metrics, pBase, cloud},
                                        8, Transcription::Parameters{"QQ==", "", {"a", "b", "c", "d", "e"}});
    pTranscription->Start();
    EXPECT_NE(cloud.calls.back().find(R"({"languageCode":"de-DE","alternativeLanguageCodes":["a","b","c"]})"),
              std::string::npos);
    EXPECT_NE(Traced().find("Alternative languages after the first [3] of [5] dropped for <8>\n"), std::string::npos);

    cloud = FakeCloud();
    Transcription& t = Start();
    const int released = cloud.released;
    t.Abandon();
    EXPECT_EQ(cloud.results, std::vector<std::string>{"503 Service Unavailable [] close"});
    EXPECT_GT(cloud.released, released);
    EXPECT_EQ(t.GetState(), Transcription::State_Done);
}

// The calls on the wire are tests/test_cloud.py's; here, what the chain holds meanwhile.
TEST_F(Chain, HoldsALongRecordingOnlyWhileItIsUploadedAndItsObjectUntilDeleted)
{
    settings.storageBucket = "bucket";
    Start(kLongRecording);
    EXPECT_EQ(budget.Used(), 114u); // the decoded recording, while it is uploaded
    Uploaded();
    EXPECT_EQ(budget.Used(), 0u);
    cloud.Answer(Outcome::Answered, 200, R"({"name":"42"})");
    for (const std::string& poll : {std::string(R"({"name":"42","done":false})"),
                                    R"({"name":"42","done":true,"response":)" + std::string(kRecognized) + "}"})
    {
        pTranscription->OnWaitOver();
        cloud.Answer(Outcome::Answered, 200, poll);
    }
    cloud.Answer(Outcome::Answered, 200, "{}");
    EXPECT_EQ(cloud.results, std::vector<std::string>{"200 OK [{}] json"});
    EXPECT_EQ(cloud.calls.back().substr(0, 7), "DELETE ");
    EXPECT_EQ(storage.DeletesPending(), 1u);
    cloud.Answer(Outcome::Answered, 204, "", "No Content", true);
    EXPECT_EQ(storage.DeletesPending(), 0u);
}

// The object goes whatever the end: a failure, an operation that failed, a time-out, a stop.
TEST_F(Chain, DeletesTheObjectWhateverTheEndAndCountsOneThatStays)
{
    settings.storageBucket = "bucket";
    const struct
    {
        int answered; // calls answered as they should be first
        std::string reply;
        Outcome outcome;
        std::string result;
    } cases[] = {
        {0, "", Outcome::TimedOut, "408 Request Timeout []"},
        {0, R"({"name":"another"})", Outcome::Answered, "401 Method Failed []"},
        {1, "", Outcome::Failed, "401 Method Failed []"},
        {1, R"({"name":"42","done":true,"error":{"code":3}})", Outcome::Answered, "401 Method Failed []"},
        {1, "{}", Outcome::Answered, "401 Method Failed []"},
        {1, R"({"name":"../x?"})", Outcome::Answered, "401 Method Failed []"},
        {2, "", Outcome::TimedOut, "503 Service Unavailable [] close"}, // abandoned while it polls
    };
    for (const auto& c : cases)
    {
        cloud = FakeCloud();
        Transcription& t = Start(kLongRecording);
        if (c.answered > 0)
            Uploaded();
        if (c.answered > 1)
            cloud.Answer(Outcome::Answered, 200, R"({"name":"42"})");
        c.answered > 1 ? t.Abandon() : cloud.Answer(c.outcome, 200, c.reply);
        EXPECT_EQ(cloud.results, std::vector<std::string>{c.result}) << c.reply;
        EXPECT_EQ(cloud.calls.back().substr(0, 7), "DELETE ") << c.reply;
        cloud.Answer(Outcome::Answered, 204, "", "No Content", true);
    }
    EXPECT_EQ(storage.DeletesPending(), 0u);
    // A delete that fails leaves the object, perhaps: traced, and counted.
    cloud = FakeCloud();
    Start(kLongRecording);
    cloud.Answer(Outcome::Failed);
    cloud.Answer(Outcome::Answered, 403, "{}", "Forbidden", true);
    EXPECT_NE(Traced().find("not deleted for <7>: it may be left in the bucket\n"), std::string::npos);
    EXPECT_NE(metrics.Render({}, "").find("s2t_storage_objects_left_total 1\n"), std::string::npos);
}

// Google would refuse a long recording inline: without a bucket, no call is made.
TEST_F(Chain, RefusesALongRecordingWithoutABucketAndOneThatDoesNotFitTheBudget)
{
    Start(kLongRecording);
    EXPECT_EQ(cloud.results, std::vector<std::string>{"401 Method Failed []"});
    EXPECT_TRUE(cloud.calls.empty());
    EXPECT_NE(Traced().find("No storage-bucket to put the recording in for <7>\n"), std::string::npos);

    settings.storageBucket = "bucket";
    budget.Reserve((1 << 20) - 100);
    cloud = FakeCloud();
    Start(kLongRecording);
    EXPECT_EQ(cloud.results, std::vector<std::string>{"503 Service Unavailable []"});
    EXPECT_TRUE(cloud.calls.empty());
}

} // namespace
