#include "RequestPolicy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstring>
#include <tuple>

#include <event2/http.h>
#include <event2/http_struct.h>
#include <event2/keyvalq_struct.h>
#include <openssl/crypto.h>

#include "base/HttpMethod.h"
#include "base/Trace.h"

namespace
{

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    const size_t end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

bool IsPlainDecimal(const std::string& value)
{
    return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
           (value.size() == 1 || value[0] != '0');
}

const Decision kServed;
const Decision kUnauthorized = {401, "Unauthorized", false, "", Metrics::Reason::Unauthorized};

} // namespace

std::string RequestHead::Path() const
{
    std::string path = target;
    const size_t scheme = path.find("://");
    if (!path.empty() && path[0] != '/' && scheme != std::string::npos)
    {
        const size_t slash = path.find('/', scheme + 3);
        path = slash != std::string::npos ? path.substr(slash) : "/";
    }
    path = path.substr(0, path.find_first_of("?#"));
    char* decoded = evhttp_uridecode(path.c_str(), 0, nullptr);
    if (decoded != nullptr)
        path = decoded;
    free(decoded);
    return path;
}

int64_t RequestHead::ContentLength() const
{
    int64_t length = 0;
    for (const std::string& value : contentLengths)
        if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos && value.size() < 19)
            length = std::stoll(value);
    return length;
}

bool RequestHead::TakeLine(const std::string& line)
{
    if (line.find('\0') != std::string::npos)
        fault = "a NUL in its head";
    if (method.empty())
    {
        // The request line; an empty line before it is passed over.
        const size_t space = line.find(' ');
        const size_t last = line.rfind(' ');
        method = line.substr(0, space);
        if (space != std::string::npos)
            target = line.substr(space + 1, last - space - 1);
        if (last != space)
            version = line.substr(last + 1);
        return false;
    }
    if (line.empty())
        return true;
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon);
    const std::string value = colon != std::string::npos ? Trimmed(line.substr(colon + 1)) : std::string();
    if (colon == std::string::npos || name.empty())
        fault = fault != nullptr ? fault : "a header line without a name and a colon";
    else if (name.back() == ' ' || name.back() == '\t')
        fault = fault != nullptr ? fault : "white space before a header's colon";
    TakeHeader(name.c_str(), value);
    return false;
}

// Names in any case, as HTTP has them (proxies and HTTP/2 hops send them in lower case).
void RequestHead::TakeHeader(const char* name, const std::string& value)
{
    if (strcasecmp(name, "Authorization") == 0)
        authorization = value;
    else if (strcasecmp(name, "Content-Length") == 0)
        contentLengths.push_back(value);
    else if (strcasecmp(name, "Transfer-Encoding") == 0)
        transferEncodings.push_back(value);
    else if (strcasecmp(name, "Host") == 0)
        ++hosts;
}

RequestHead RequestHead::Of(evhttp_request* pRequest)
{
    RequestHead head;
    head.method = HttpMethodName(evhttp_request_get_command(pRequest));
    head.target = evhttp_request_get_uri(pRequest);
    head.version = "HTTP/" + std::to_string(pRequest->major) + "." + std::to_string(pRequest->minor);
    const evkeyvalq* pHeaders = evhttp_request_get_input_headers(pRequest);
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
        head.TakeHeader(header->key, header->value);
    return head;
}

RequestPolicy::RequestPolicy(const PolicySettings& settings, uint64_t maxBodySize)
    : m_Settings(settings)
    , m_MaxBodySize(maxBodySize)
{
}

Decision RequestPolicy::BeforeBody(const RequestHead& head) const
{
    if (const char* fault = FramingFault(head))
        return {400, "Bad Request", true, fault, Metrics::Reason::BadRequest};
    // libevent reads only chunked bodies: it would take another's for the next request.
    for (const std::string& coding : head.transferEncodings)
        if (strcasecmp(coding.c_str(), "chunked") != 0)
            return {501, "Not Implemented", true, "a transfer coding other than chunked", Metrics::Reason::BadRequest};
    const bool bodied = head.Chunked() || head.ContentLength() > 0;
    const bool transcription = head.Path() == "/transcribe";
    if (bodied && !transcription)
        return {413, "Payload Too Large", true, "a body where none is taken", Metrics::Reason::TooLarge};
    if (static_cast<uint64_t>(head.ContentLength()) > m_MaxBodySize)
        return {413, "Payload Too Large", true, "a body over max-body-size", Metrics::Reason::TooLarge};
    if (transcription && !Authorized(head, m_Settings.clientAuthToken))
        return {401, "Unauthorized", true, "", Metrics::Reason::Unauthorized};
    return kServed;
}

Decision RequestPolicy::Decide(const RequestHead& head, Metrics::Endpoint endpoint, const Situation& situation) const
{
    using Endpoint = Metrics::Endpoint;
    // Any other path gets the not-found page, whatever it sends.
    if (endpoint == Endpoint::Other)
        return kServed;
    if (const char* fault = FramingFault(head))
        return {400, "Bad Request", true, fault, Metrics::Reason::BadRequest};
    // A request that began before the stop is still served; /readiness tells the
    // balancer the service is going, or cannot call the cloud yet. The scrape goes on.
    if ((endpoint == Endpoint::Readiness && situation.draining) ||
        (endpoint == Endpoint::Transcribe && situation.draining && !situation.begunBeforeStop))
        return {503, "Service Unavailable", false, "", Metrics::Reason::Draining};
    if (endpoint == Endpoint::Readiness && !situation.cloudReady)
        return {503, "Service Unavailable", false, "", Metrics::Reason::NotReady};
    const std::string* pToken = endpoint == Endpoint::Transcribe ? &m_Settings.clientAuthToken
                                : endpoint == Endpoint::Exit     ? &m_Settings.adminAuthToken
                                : endpoint == Endpoint::Metrics  ? &m_Settings.metricsAuthToken
                                                                 : nullptr;
    if (pToken != nullptr && !Authorized(head, *pToken))
        return kUnauthorized;
    return kServed;
}

const char* RequestPolicy::FramingFault(const RequestHead& head)
{
    if (head.fault != nullptr)
        return head.fault;
    bool bodied = head.Chunked();
    for (const std::string& value : head.contentLengths)
    {
        if (!IsPlainDecimal(value) || value.size() > 18)
            return "a Content-Length that is not a plain decimal number";
        bodied = bodied || value != "0";
    }
    if (head.contentLengths.size() > 1)
        return "more than one Content-Length";
    if (!head.contentLengths.empty() && head.Chunked())
        return "both Content-Length and Transfer-Encoding";
    if (head.hosts > 1 || (head.hosts == 0 && head.version == "HTTP/1.1"))
        return "no Host, or more than one";
    // libevent reads no body for these, and would take one for the next request.
    if (bodied && head.method != "POST" && head.method != "PUT" && head.method != "PATCH")
        return "a body on a method that carries none";
    return nullptr;
}

size_t RequestPolicy::OpenEndpoints(const PolicySettings& settings, const std::string& address)
{
    in_addr v4{};
    in6_addr v6{};
    const bool loopback = address == "localhost" ||
                          (evutil_inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) ||
                          (evutil_inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6));
    size_t open = 0;
    for (const auto& [path, token, name] : {std::tuple{"/transcribe", &settings.clientAuthToken, "client-auth-token"},
                                            std::tuple{"/exit", &settings.adminAuthToken, "admin-auth-token"}})
        if (!loopback && token->empty())
        {
            Trace::Print("Warning: %s answers anyone who reaches [%s]: %s is empty\n", path,
                         address.empty() ? "0.0.0.0" : address.c_str(), name);
            ++open;
        }
    return open;
}

bool RequestPolicy::TokenMatches(const std::string& expected, const std::string& received)
{
    return expected.size() == received.size() && CRYPTO_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

bool RequestPolicy::Authorized(const RequestHead& head, const std::string& token)
{
    return token.empty() || TokenMatches(token, head.authorization);
}
