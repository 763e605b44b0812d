#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <event2/http.h>

#include "base/Metrics.h"

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

    // What one exchange sends.
    struct Request
    {
        evhttp_cmd_type method = EVHTTP_REQ_POST;
        // Referenced, not taken: it must stay unchanged until the report. Null: none.
        evbuffer* pBody = nullptr;
        const char* contentType = "application/json";
        std::vector<std::pair<std::string, std::string>> headers; // after Host and Content-type
        int timeoutSeconds = 5;
        // Credentials go both ways: no body of the exchange is ever traced.
        bool secret = false;
        // What it is, for the metrics.
        Metrics::CloudMethod kind = Metrics::CloudMethod::Recognize;
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

    // Makes exchanges; their trace lines name them by `label`, as "<label>".
    class Maker
    {
    public:
        virtual std::unique_ptr<CloudExchange> NewExchange(Owner& owner, const std::string& label) = 0;

    protected:
        ~Maker() = default;
    };

    virtual ~CloudExchange() = default;

    // Prepares the exchange with `uri`; false, traced, when it cannot be called.
    virtual bool CreateConnection(const std::string& uri) = 0;
    // Sends the request, bounded by its time-out; false when it could not be sent,
    // and nothing will be reported.
    virtual bool MakeRequest(const Request& request) = 0;
    // Frees every handle of the exchange; nothing is reported for it afterwards.
    virtual void Release() = 0;
};
