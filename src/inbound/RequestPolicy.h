#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Config.h"
#include "base/Metrics.h"

struct evhttp_request;

// What the service knows of a request from its head: enough to decide whether it is
// served, before its body is read or once it has come whole.
struct RequestHead
{
    std::string method;
    std::string target;        // as sent, with its query
    std::string version;       // "HTTP/1.1"
    std::string authorization; // the last "Authorization", its name in any case
    std::vector<std::string> contentLengths;
    std::vector<std::string> transferEncodings;
    size_t hosts = 0;
    const char* fault = nullptr; // a line no proxy would read as this service does

    // The path the request is for, as libevent routes it: from an absolute target
    // too, without query or fragment, percent-decoded.
    std::string Path() const;
    // The length the body is declared to have; 0 when none can be read.
    int64_t ContentLength() const;
    bool Chunked() const { return !transferEncodings.empty(); }
    // Takes one line of the head as it arrives; true once the empty line that ends it has come.
    bool TakeLine(const std::string& line);
    void TakeHeader(const char* name, const std::string& value);
    // The head of a request libevent has read whole.
    static RequestHead Of(evhttp_request* pRequest);
};

// What the service is doing as a request comes.
struct Situation
{
    bool draining = false;
    bool begunBeforeStop = true; // the request began to arrive before the stop
    bool cloudReady = true;      // calls can go out: no credentials, or a valid token
};

// How a request is answered when it is not served.
struct Decision
{
    int status = 0; // 0: served
    const char* reason = "";
    bool close = false;     // nothing that follows on the connection is served
    const char* fault = ""; // a malformed request's fault, for the trace
    Metrics::Reason why = Metrics::Reason::Ok;

    bool Served() const { return status == 0; }
};

// The one place that decides, from a request's head, whether the service serves it:
// its framing, the stop, and the tokens, one header rule for every endpoint.
class RequestPolicy
{
public:
    RequestPolicy(const PolicySettings& settings, uint64_t maxBodySize);

    // Before the body is read, for every head, a pipelined one too: framing a proxy in
    // front could read otherwise, a coding libevent does not know, a body where none
    // is taken or over max-body-size, a transcription without the client token.
    Decision BeforeBody(const RequestHead& head) const;
    // Once the request has come whole (a request pipelined behind another included).
    Decision Decide(const RequestHead& head, Metrics::Endpoint endpoint, const Situation& situation) const;

    // Why a request's framing could be read otherwise by a proxy in front, or null: a
    // malformed line, two lengths, a length that is not plain decimal, a length and a
    // transfer coding, no Host in HTTP/1.1 or two, or a body on a method that carries none.
    static const char* FramingFault(const RequestHead& head);
    // The endpoints anyone who reaches `address` may call: those without a token, when
    // the address is not a loopback one. Each is traced as a warning.
    static size_t OpenEndpoints(const PolicySettings& settings, const std::string& address);
    // Constant time over the contents, so a caller cannot find the token byte by byte.
    static bool TokenMatches(const std::string& expected, const std::string& received);

private:
    static bool Authorized(const RequestHead& head, const std::string& token);

    PolicySettings m_Settings;
    uint64_t m_MaxBodySize;
};
