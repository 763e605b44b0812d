#include "Stop.h"

#include <csignal>

#include <event2/event.h>

#include "S2tServer.h"
#include "Trace.h"

namespace
{

Stop* StopOf(void* pArg, const char* complaint)
{
    if (pArg == nullptr)
        Trace::Print("%s\n", complaint);
    return static_cast<Stop*>(pArg);
}

void SignalCb(evutil_socket_t signal, short, void* pArg)
{
    if (Stop* pStop = StopOf(pArg, "NULL context in signal callback"))
        pStop->OnSignal(static_cast<int>(signal));
}

void BoundCb(evutil_socket_t, short, void* pArg)
{
    if (Stop* pStop = StopOf(pArg, "NULL context in timer callback"))
        pStop->OnBound();
}

} // namespace

Stop::Stop(S2tServer& server)
    : m_Server(server)
    , m_State(State::Running)
    , m_DrainTimeoutSeconds(30)
    , m_pSigTerm(nullptr)
    , m_pSigInt(nullptr)
    , m_pSigHup(nullptr)
    , m_pBound(nullptr)
{
}

Stop::~Stop()
{
    Release();
}

bool Stop::LoadConfig(const rapidjson::Value& config)
{
    CopyUintMember(config, "drain-timeout", m_DrainTimeoutSeconds, 0, 24 * 3600);
    return true;
}

bool Stop::WatchSignals(event_base* pEventBase)
{
    m_pSigTerm = evsignal_new(pEventBase, SIGTERM, SignalCb, this);
    m_pSigInt = evsignal_new(pEventBase, SIGINT, SignalCb, this);
    m_pSigHup = evsignal_new(pEventBase, SIGHUP, SignalCb, this);
    m_pBound = evtimer_new(pEventBase, BoundCb, this);
    if (m_pSigTerm == nullptr || m_pSigInt == nullptr || m_pSigHup == nullptr || m_pBound == nullptr ||
        event_add(m_pSigTerm, nullptr) != 0 || event_add(m_pSigInt, nullptr) != 0 || event_add(m_pSigHup, nullptr) != 0)
    {
        Trace::Print("Couldn't watch for stop signals\n");
        return false;
    }
    return true;
}

void Stop::Release()
{
    for (event** ppEvent : {&m_pBound, &m_pSigHup, &m_pSigInt, &m_pSigTerm})
    {
        if (*ppEvent != nullptr)
            event_free(*ppEvent);
        *ppEvent = nullptr;
    }
}

void Stop::OnSignal(int signal)
{
    if (signal == SIGHUP)
    {
        Trace::Print("Received signal %d: ignored, there is no configuration to reload\n", signal);
        return;
    }
    if (m_State != State::Running)
    {
        Trace::Print("Received signal %d again: stopping at once\n", signal);
        End();
        return;
    }
    Trace::Print("Received signal %d: no new requests, %zu in flight to finish\n", signal, m_Server.RequestsInFlight());
    SetState(State::Draining);
    m_Server.GetInbound().StopAccepting();
    Bound(m_DrainTimeoutSeconds);
    OnProgress();
}

void Stop::OnExit()
{
    if (m_State == State::Running || m_State == State::Draining)
        BeginEnding();
    OnProgress();
}

void Stop::OnProgress()
{
    if (m_State == State::Draining && m_Server.RequestsInFlight() == 0 &&
        m_Server.GetInbound().UploadsInProgress() == 0)
    {
        Trace::Print("Drained: no request in flight\n");
        // Requests begun since the stop would be cut off with the loop: they are refused.
        m_Server.GetInbound().RefuseUploads();
        BeginEnding();
    }
    if (m_State == State::Ending && m_Server.GetInbound().RepliesInWriting() == 0)
        End();
}

void Stop::OnBound()
{
    if (m_State != State::Draining)
    {
        End();
        return;
    }
    Trace::Print("Drain time-out: %zu in flight answered 503\n",
                 m_Server.RequestsInFlight() + m_Server.GetInbound().UploadsInProgress());
    m_Server.AbandonRequests();
    m_Server.GetInbound().RefuseUploads();
    OnProgress();
}

void Stop::Bound(uint64_t seconds)
{
    const timeval bound = {static_cast<time_t>(seconds), 0};
    if (m_pBound != nullptr)
        event_add(m_pBound, &bound);
}

void Stop::BeginEnding()
{
    SetState(State::Ending);
    // A time-out of 0 means none; the second signal still ends it.
    const uint64_t seconds = m_Server.GetInbound().GetTimeoutSeconds();
    if (seconds > 0)
        Bound(seconds);
    else if (m_pBound != nullptr)
        event_del(m_pBound);
}

void Stop::End()
{
    if (m_State == State::Ended)
        return;
    SetState(State::Ended);
    m_Server.EndEventLoop();
}
