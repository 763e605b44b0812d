#include "RequestClocks.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include <algorithm>

namespace
{

bufferevent* OnNewConnection(event_base* base, void* clocks)
{
    return clocks ? static_cast<RequestClocks*>(clocks)->Open(base) : nullptr;
}

void OnAdopt(evutil_socket_t, short, void* clocks)
{
    if (clocks)
        static_cast<RequestClocks*>(clocks)->AdoptNew();
}

void OnBytes(evbuffer*, const evbuffer_cb_info* info, void* clock)
{
    if (clock && info->n_added > 0)
        static_cast<RequestClocks::Clock*>(clock)->owner->Read(*static_cast<RequestClocks::Clock*>(clock),
                                                               info->n_added);
}

void OnClosed(evhttp_connection*, void* clock)
{
    if (clock)
        static_cast<RequestClocks::Clock*>(clock)->owner->Close(*static_cast<RequestClocks::Clock*>(clock));
}

} // namespace

RequestClocks::~RequestClocks()
{
    Release();
}

bool RequestClocks::Start(event_base* base, evhttp* http, int seconds)
{
    m_Timeout = {seconds, 0};
    m_pAdopt = event_new(base, -1, 0, OnAdopt, this);
    if (!m_pAdopt)
        return false;
    evhttp_set_bevcb(http, OnNewConnection, this);
    return true;
}

void RequestClocks::Release()
{
    m_Unadopted.clear();
    m_Clocks.clear();
    if (m_pAdopt)
        event_free(m_pAdopt);
    m_pAdopt = nullptr;
}

// evhttp makes its connection object for the stream only once this returns: the
// record is tied to it by AdoptNew, on the same pass of the loop, before anything
// can be read.
bufferevent* RequestClocks::Open(event_base* base)
{
    // Without BEV_OPT_CLOSE_ON_FREE, as evhttp makes its own: it closes the socket itself.
    bufferevent* stream = bufferevent_socket_new(base, -1, 0);
    if (!stream)
        return nullptr;
    auto clock = std::make_unique<Clock>();
    clock->owner = this;
    clock->stream = stream;
    clock->reading = evbuffer_add_cb(bufferevent_get_input(stream), OnBytes, clock.get());
    m_Unadopted.push_back(clock.get());
    m_Clocks.emplace(stream, std::move(clock));
    event_active(m_pAdopt, EV_TIMEOUT, 1);
    return stream;
}

// evhttp passes its connection object to the stream's callbacks. A stream it
// dropped at once has none: libevent frees a bufferevent only after the callbacks
// already due, this one among them, have run.
void RequestClocks::AdoptNew()
{
    for (Clock* clock : m_Unadopted)
    {
        void* connection = nullptr;
        bufferevent_getcb(clock->stream, nullptr, nullptr, nullptr, &connection);
        if (connection)
            evhttp_connection_set_closecb(static_cast<evhttp_connection*>(connection), OnClosed, clock);
        else
            m_Clocks.erase(clock->stream);
    }
    m_Unadopted.clear();
}

void RequestClocks::Read(Clock& clock, size_t bytes)
{
    using namespace std::chrono;
    if (!clock.running)
        clock.request.Start(seconds(m_Timeout.tv_sec));
    clock.running = true;
    clock.request.Add(bytes);
    const auto left = duration_cast<microseconds>(clock.request.Deadline() - SteadyClock::now());
    // Past due: at once, as a zero time-out would mean none at all.
    const timeval readTimeout = ToTimeval(std::max(left, microseconds(1)));
    bufferevent_set_timeouts(clock.stream, &readTimeout, &m_Timeout);
}

void RequestClocks::Replied(evhttp_request* request)
{
    evhttp_connection* connection = evhttp_request_get_connection(request);
    auto it = connection ? m_Clocks.find(evhttp_connection_get_bufferevent(connection)) : m_Clocks.end();
    if (it == m_Clocks.end())
        return;
    it->second->running = false;
    bufferevent_set_timeouts(it->second->stream, &m_Timeout, &m_Timeout);
}

void RequestClocks::Close(Clock& clock)
{
    evbuffer_remove_cb_entry(bufferevent_get_input(clock.stream), clock.reading);
    m_Clocks.erase(clock.stream);
}
