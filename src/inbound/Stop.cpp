#include "Stop.h"

#include <csignal>

#include <event2/event.h>

#include "base/Trace.h"

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

void CheckCb(evutil_socket_t, short, void* pArg)
{
    if (Stop* pStop = StopOf(pArg, "NULL context in timer callback"))
        pStop->OnCheck();
}

void DrainClockCb(evutil_socket_t, short, void* pArg)
{
    if (Stop* pStop = StopOf(pArg, "NULL context in timer callback"))
        pStop->OnDrainClock();
}

void EndClockCb(evutil_socket_t, short, void* pArg)
{
    if (Stop* pStop = StopOf(pArg, "NULL context in timer callback"))
        pStop->OnEndClock();
}

timeval Seconds(uint64_t seconds)
{
    return {static_cast<time_t>(seconds), 0};
}

} // namespace

Stop::Stop(Host& host, uint64_t drainTimeoutSeconds, uint64_t writeTimeoutSeconds)
    : m_Host(host)
    , m_State(State::Running)
    , m_DrainTimeoutSeconds(drainTimeoutSeconds)
    , m_WriteTimeoutSeconds(writeTimeoutSeconds)
    , m_pSigTerm(nullptr)
    , m_pSigInt(nullptr)
    , m_pSigHup(nullptr)
    , m_pCheck(nullptr)
    , m_pDrainClock(nullptr)
    , m_pEndClock(nullptr)
{
}

Stop::~Stop()
{
    Release();
}

bool Stop::Watch(event_base* pEventBase)
{
    m_pSigTerm = evsignal_new(pEventBase, SIGTERM, SignalCb, this);
    m_pSigInt = evsignal_new(pEventBase, SIGINT, SignalCb, this);
    m_pSigHup = evsignal_new(pEventBase, SIGHUP, SignalCb, this);
    m_pCheck = event_new(pEventBase, -1, 0, CheckCb, this);
    m_pDrainClock = evtimer_new(pEventBase, DrainClockCb, this);
    m_pEndClock = evtimer_new(pEventBase, EndClockCb, this);
    for (event* pEvent : {m_pCheck, m_pDrainClock, m_pEndClock})
        if (pEvent == nullptr)
            return false;
    if (m_pSigTerm == nullptr || m_pSigInt == nullptr || m_pSigHup == nullptr || event_add(m_pSigTerm, nullptr) != 0 ||
        event_add(m_pSigInt, nullptr) != 0 || event_add(m_pSigHup, nullptr) != 0)
    {
        Trace::Print("Couldn't watch for stop signals\n");
        return false;
    }
    return true;
}

void Stop::Release()
{
    for (event** ppEvent : {&m_pEndClock, &m_pDrainClock, &m_pCheck, &m_pSigHup, &m_pSigInt, &m_pSigTerm})
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
    Trace::Print("Received signal %d: no new requests, %zu in flight to finish\n", signal, m_Host.RequestsInFlight());
    SetState(State::Draining);
    m_Host.StopAccepting();
    const timeval drain = Seconds(m_DrainTimeoutSeconds);
    event_add(m_pDrainClock, &drain);
    Wake();
}

void Stop::OnExit()
{
    if (m_State == State::Running || m_State == State::Draining)
        BeginEnding();
    Wake();
}

void Stop::Wake()
{
    if (m_State != State::Running && m_pCheck != nullptr)
        event_active(m_pCheck, EV_TIMEOUT, 1);
}

// The one place that judges whether the stop may go on.
void Stop::OnCheck()
{
    switch (m_State)
    {
    case State::Draining:
        if (m_Host.RequestsInFlight() > 0 || m_Host.UploadsInProgress() > 0 || m_Host.ObjectsBeingDeleted() > 0)
            break;
        Trace::Print("Drained: no request in flight\n");
        // Requests begun since the stop would be cut off with the loop: they are refused.
        m_Host.RefuseUploads();
        BeginEnding();
        [[fallthrough]];
    case State::Ending:
        if (m_Host.RepliesInWriting() == 0 && m_Host.ObjectsBeingDeleted() == 0)
            End();
        break;
    case State::Running:
    case State::Ended:
        break;
    }
}

void Stop::OnDrainClock()
{
    if (m_State != State::Draining)
        return;
    Trace::Print("Drain time-out: %zu in flight answered 503\n",
                 m_Host.RequestsInFlight() + m_Host.UploadsInProgress());
    m_Host.AbandonRequests();
    m_Host.RefuseUploads();
    Wake();
}

void Stop::OnEndClock()
{
    End();
}

void Stop::BeginEnding()
{
    SetState(State::Ending);
    event_del(m_pDrainClock);
    // A time-out of 0 means none; the second signal still ends it.
    const timeval bound = Seconds(m_WriteTimeoutSeconds);
    if (m_WriteTimeoutSeconds > 0)
        event_add(m_pEndClock, &bound);
}

void Stop::End()
{
    if (m_State == State::Ended)
        return;
    SetState(State::Ended);
    m_Host.EndLoop();
}
