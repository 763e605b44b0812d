// The stop's progress against a service the test plays: what each signal, /exit and
// clock does, and that it goes on only once nothing it waits for is left.
#include <gtest/gtest.h>

#include <csignal>

#include <event2/event.h>

#include "base/Trace.h"
#include "inbound/Stop.h"

namespace
{

struct FakeService : Stop::Host
{
    size_t RequestsInFlight() const override { return requests; }
    size_t UploadsInProgress() const override { return uploads; }
    size_t RepliesInWriting() const override { return writing; }
    size_t ObjectsBeingDeleted() const override { return deleting; }
    void StopAccepting() override { done += "stop-accepting "; }
    void RefuseUploads() override
    {
        done += "refuse-uploads ";
        uploads = 0;
    }
    void AbandonRequests() override
    {
        done += "abandon ";
        writing += requests;
        requests = 0;
    }
    void EndLoop() override { done += "end-loop "; }

    size_t requests = 0;
    size_t uploads = 0;
    size_t writing = 0;
    size_t deleting = 0;
    std::string done;
};

struct Stopping : testing::Test
{
    Stopping()
    {
        stop.Watch(pBase);
        Trace::Flush();
        testing::internal::CaptureStdout();
    }
    ~Stopping() override
    {
        stop.Release();
        event_base_free(pBase);
    }
    // Runs what the loop has due, as the next pass would.
    Stop::State Pass()
    {
        event_base_loop(pBase, EVLOOP_NONBLOCK);
        return stop.GetState();
    }
    std::string Traced()
    {
        Trace::Flush();
        return testing::internal::GetCapturedStdout();
    }

    event_base* pBase = event_base_new();
    FakeService service;
    Stop stop{service, 30, 30};
};

TEST_F(Stopping, DrainsWhatIsInFlightThenWaitsForTheRepliesThenEnds)
{
    service.requests = 2;
    service.uploads = 1;
    stop.OnSignal(SIGHUP);
    EXPECT_EQ(Pass(), Stop::State::Running);
    stop.OnSignal(SIGTERM);
    EXPECT_TRUE(stop.Draining());
    EXPECT_EQ(Pass(), Stop::State::Draining);
    service.requests = 0;
    stop.Wake();
    EXPECT_EQ(Pass(), Stop::State::Draining); // an upload begun before the signal still counts
    service.uploads = 0;
    service.writing = 1;
    stop.Wake();
    EXPECT_EQ(Pass(), Stop::State::Ending);
    service.writing = 0;
    stop.Wake();
    EXPECT_EQ(Pass(), Stop::State::Ended);
    EXPECT_EQ(service.done, "stop-accepting refuse-uploads end-loop ");
    EXPECT_EQ(Traced(), "Received signal 1: ignored, there is no configuration to reload\n"
                        "Received signal 15: no new requests, 2 in flight to finish\n"
                        "Drained: no request in flight\n");
}

TEST_F(Stopping, AnswersWhatIsLeftAtTheDrainTimeOutAndEndsAtASecondSignal)
{
    service.requests = 1;
    stop.OnSignal(SIGINT);
    stop.OnDrainClock();
    EXPECT_EQ(Pass(), Stop::State::Ending); // the 503 is being written
    service.writing = 0;
    stop.OnEndClock(); // the replies took too long: it ends anyway
    EXPECT_EQ(stop.GetState(), Stop::State::Ended);
    EXPECT_EQ(service.done, "stop-accepting abandon refuse-uploads refuse-uploads end-loop ");
    EXPECT_NE(Traced().find("Drain time-out: 1 in flight answered 503\n"), std::string::npos);

    Stop again{service, 30, 0};
    again.Watch(pBase);
    service.requests = 1;
    again.OnSignal(SIGTERM);
    again.OnSignal(SIGTERM);
    EXPECT_EQ(again.GetState(), Stop::State::Ended);
    again.Release();
}

TEST_F(Stopping, EndsAtExitOnceTheRepliesAreOutWithoutWaitingForRequests)
{
    service.requests = 3;
    service.writing = 1;
    stop.OnExit();
    EXPECT_EQ(Pass(), Stop::State::Ending);
    service.writing = 0;
    stop.Wake();
    EXPECT_EQ(Pass(), Stop::State::Ended);
    EXPECT_EQ(service.done, "end-loop ");
    Traced();
}

} // namespace
