#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <event2/http.h>

struct evbuffer;

// One HTTP exchange at a time with a cloud endpoint, as a chain of calls sees it:
// prepared for a URI, sent, and then reported exactly once, unless released first.
// CloudCall is the real one; tests bring their own.
class CloudExchange
{
public:
    enum class Outcome
    {
        Answered, // a reply came, of any status
        Failed,   // the exchange broke off without a reply
        TimedOut, // the clock ran out first
    };

    struct Reply
    {
        int status = 0;
        std::string reason;
        std::string body;
    };

    class Owner
    {
    public:
        // The exchange holds nothing any more: the owner may start the next one on
        // it, or delete it.
        virtual void OnComplete(Outcome outcome, const Reply& reply) = 0;

    protected:
        ~Owner() = default;
    };

    // Makes the exchanges of one chain; trace lines name the chain by `id`, which
    // must outlive the exchange.
    class Maker
    {
    public:
        virtual std::unique_ptr<CloudExchange> NewExchange(Owner& owner, const uint64_t& id) = 0;

    protected:
        ~Maker() = default;
    };

    virtual ~CloudExchange() = default;

    // Prepares the exchange with `uri`; false, traced, when it cannot be called.
    virtual bool CreateConnection(const std::string& uri) = 0;
    // Sends the request, with `pBody` (JSON, or null for none), bounded by
    // `timeoutSeconds`; false when it could not be sent, and nothing will be reported.
    // The body is referenced, not taken: it must stay unchanged until the report.
    virtual bool MakeRequest(evhttp_cmd_type method, evbuffer* pBody, int timeoutSeconds) = 0;
    // Frees every handle of the exchange; nothing is reported for it afterwards.
    virtual void Release() = 0;
};
