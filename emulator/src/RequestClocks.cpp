#include "RequestClocks.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

namespace
{

constexpr size_t kMinRequestRate = 64 << 10; // bytes per second

bufferevent* onNewConnection(event_base* base, void* clocks)
{
    return clocks ? static_cast<RequestClocks*>(clocks)->open(base) : nullptr;
}

void onAdopt(evutil_socket_t, short, void* clocks)
{
    if (clocks)
        static_cast<RequestClocks*>(clocks)->adoptNew();
}

void onBytes(evbuffer*, const evbuffer_cb_info* info, void* clock)
{
    if (clock && info->n_added > 0)
        static_cast<RequestClocks::Clock*>(clock)->owner->read(*static_cast<RequestClocks::Clock*>(clock),
                                                               info->n_added);
}

void onClosed(evhttp_connection*, void* clock)
{
    if (clock)
        static_cast<RequestClocks::Clock*>(clock)->owner->close(*static_cast<RequestClocks::Clock*>(clock));
}

} // namespace

RequestClocks::~RequestClocks()
{
    release();
}

bool RequestClocks::start(event_base* base, evhttp* http, int seconds)
{
    timeout_ = {seconds, 0};
    adopt_ = event_new(base, -1, 0, onAdopt, this);
    if (!adopt_)
        return false;
    evhttp_set_bevcb(http, onNewConnection, this);
    return true;
}

void RequestClocks::release()
{
    unadopted_.clear();
    clocks_.clear();
    if (adopt_)
        event_free(adopt_);
    adopt_ = nullptr;
}

// evhttp makes its connection object for the stream only once this returns: the
// record is tied to it by adoptNew, on the same pass of the loop, before anything
// can be read.
bufferevent* RequestClocks::open(event_base* base)
{
    // Without BEV_OPT_CLOSE_ON_FREE, as evhttp makes its own: it closes the socket itself.
    bufferevent* stream = bufferevent_socket_new(base, -1, 0);
    if (!stream)
        return nullptr;
    auto clock = std::make_unique<Clock>();
    clock->owner = this;
    clock->stream = stream;
    clock->reading = evbuffer_add_cb(bufferevent_get_input(stream), onBytes, clock.get());
    unadopted_.push_back(clock.get());
    clocks_.emplace(stream, std::move(clock));
    event_active(adopt_, EV_TIMEOUT, 1);
    return stream;
}

// evhttp passes its connection object to the stream's callbacks. A stream it
// dropped at once has none: libevent frees a bufferevent only after the callbacks
// already due, this one among them, have run.
void RequestClocks::adoptNew()
{
    for (Clock* clock : unadopted_)
    {
        void* connection = nullptr;
        bufferevent_getcb(clock->stream, nullptr, nullptr, nullptr, &connection);
        if (connection)
            evhttp_connection_set_closecb(static_cast<evhttp_connection*>(connection), onClosed, clock);
        else
            clocks_.erase(clock->stream);
    }
    unadopted_.clear();
}

void RequestClocks::read(Clock& clock, size_t bytes)
{
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    if (!clock.running)
        clock.deadline = now + seconds(timeout_.tv_sec);
    clock.running = true;
    clock.deadline += microseconds(bytes * 1000000 / kMinRequestRate);
    const auto left = duration_cast<microseconds>(clock.deadline - now).count();
    // Past due: at once, as a zero time-out would mean none at all.
    const timeval readTimeout =
        left > 0 ? timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)}
                 : timeval{0, 1};
    bufferevent_set_timeouts(clock.stream, &readTimeout, &timeout_);
}

void RequestClocks::replied(evhttp_request* request)
{
    evhttp_connection* connection = evhttp_request_get_connection(request);
    auto it = connection ? clocks_.find(evhttp_connection_get_bufferevent(connection)) : clocks_.end();
    if (it == clocks_.end())
        return;
    it->second->running = false;
    bufferevent_set_timeouts(it->second->stream, &timeout_, &timeout_);
}

void RequestClocks::close(Clock& clock)
{
    evbuffer_remove_cb_entry(bufferevent_get_input(clock.stream), clock.reading);
    clocks_.erase(clock.stream);
}
