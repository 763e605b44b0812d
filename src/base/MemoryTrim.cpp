#include "MemoryTrim.h"

#include <malloc.h>

#include <event2/event.h>

#include "Trace.h"

namespace
{

const size_t kTrimAfterBytes = 1 << 20;
const timeval kTrimDelay = {1, 0};

void TimerCb(evutil_socket_t, short, void* pArg)
{
    if (pArg == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<MemoryTrim*>(pArg)->OnTimer();
}

} // namespace

MemoryTrim::~MemoryTrim()
{
    Release();
}

bool MemoryTrim::Watch(event_base* pBase)
{
    m_pTimer = evtimer_new(pBase, TimerCb, this);
    return m_pTimer != nullptr;
}

void MemoryTrim::Release()
{
    if (m_pTimer != nullptr)
        event_free(m_pTimer);
    m_pTimer = nullptr;
}

void MemoryTrim::Note(size_t bytes)
{
    m_Released += bytes;
    if (m_Released >= kTrimAfterBytes && m_pTimer != nullptr)
        event_add(m_pTimer, &kTrimDelay);
}

void MemoryTrim::OnTimer()
{
    m_Released = 0;
    malloc_trim(0);
}
