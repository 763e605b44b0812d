#include "AcceptPause.h"

#include <sys/socket.h>
#include <unistd.h>

#include <unordered_map>

#include <event2/event.h>
#include <event2/listener.h>

#include "Trace.h"

namespace
{

const timeval kCheckInterval = {0, 250000};

// The listener's callbacks get the HTTP server's context, so the pause is found here.
std::unordered_map<const evconnlistener*, AcceptPause*>& Pauses()
{
    static std::unordered_map<const evconnlistener*, AcceptPause*> pauses;
    return pauses;
}

void ErrorCb(evconnlistener* pListener, void*)
{
    const int error = EVUTIL_SOCKET_ERROR();
    auto pause = Pauses().find(pListener);
    if (pause != Pauses().end())
        pause->second->OnError(error);
}

void CheckCb(evutil_socket_t, short, void* pArg)
{
    if (pArg == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<AcceptPause*>(pArg)->OnCheck();
}

// Whether a descriptor could be had now: the probe is closed again at once.
bool DescriptorFree()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

} // namespace

AcceptPause::~AcceptPause()
{
    Release();
}

bool AcceptPause::Watch(event_base* pBase, evconnlistener* pListener, OnPause onPause)
{
    m_pCheck = event_new(pBase, -1, EV_PERSIST, CheckCb, this);
    if (m_pCheck == nullptr)
        return false;
    m_pListener = pListener;
    m_OnPause = std::move(onPause);
    evconnlistener_set_error_cb(pListener, ErrorCb);
    Pauses()[pListener] = this;
    return true;
}

void AcceptPause::Release()
{
    if (m_pListener != nullptr)
        Pauses().erase(m_pListener);
    m_pListener = nullptr;
    if (m_pCheck != nullptr)
        event_free(m_pCheck);
    m_pCheck = nullptr;
    m_Paused = false;
}

void AcceptPause::OnError(int error)
{
    evconnlistener_disable(m_pListener);
    m_Paused = true;
    m_OnPause(error);
    event_add(m_pCheck, &kCheckInterval);
}

void AcceptPause::OnCheck()
{
    if (!DescriptorFree())
        return;
    evconnlistener_enable(m_pListener);
    event_del(m_pCheck);
    m_Paused = false;
}
