#include "RequestPolicy.h"

#include <strings.h>

#include <cstring>

#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <openssl/crypto.h>

#include "base/HttpMethod.h"

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
const Decision kUnauthorized = {401, "Unauthorized"};

} // namespace

std::string RequestHead::Path() const
{
    std::string path = target.substr(0, target.find('?'));
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
    if (method.empty())
    {
        // The request line; an empty line before it is passed over.
        const size_t space = line.find(' ');
        method = line.substr(0, space);
        if (space != std::string::npos)
            target = line.substr(space + 1, line.rfind(' ') - space - 1);
        return false;
    }
    if (line.empty())
        return true;
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon);
    const std::string value = colon != std::string::npos ? Trimmed(line.substr(colon + 1)) : std::string();
    if (name == "Authorization")
        authorization = value;
    else if (strcasecmp(name.c_str(), "Content-Length") == 0)
        contentLengths.push_back(value);
    else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0)
        chunked = true;
    return false;
}

RequestHead RequestHead::Of(evhttp_request* pRequest)
{
    RequestHead head;
    head.method = HttpMethodName(evhttp_request_get_command(pRequest));
    head.target = evhttp_request_get_uri(pRequest);
    const evkeyvalq* pHeaders = evhttp_request_get_input_headers(pRequest);
    for (const evkeyval* header = pHeaders->tqh_first; header != nullptr; header = header->next.tqe_next)
    {
        if (strcmp(header->key, "Authorization") == 0)
            head.authorization = header->value;
        else if (strcasecmp(header->key, "Content-Length") == 0)
            head.contentLengths.push_back(header->value);
        else if (strcasecmp(header->key, "Transfer-Encoding") == 0)
            head.chunked = true;
    }
    return head;
}

RequestPolicy::RequestPolicy(const PolicySettings& settings)
    : m_Settings(settings)
{
}

Decision RequestPolicy::BeforeBody(const RequestHead& head) const
{
    if (head.Path() == "/transcribe" && !Authorized(head, m_Settings.clientAuthToken))
        return kUnauthorized;
    return kServed;
}

Decision RequestPolicy::Decide(const RequestHead& head, Metrics::Endpoint endpoint, const Situation& situation) const
{
    using Endpoint = Metrics::Endpoint;
    // Any other path gets the not-found page, whatever it sends.
    if (endpoint == Endpoint::Other)
        return kServed;
    if (const char* fault = FramingFault(head))
        return {400, "Bad Request", true, fault};
    // A request that began before the stop is still served; /readiness tells the
    // balancer the service is going, or cannot call the cloud yet. The scrape goes on.
    const bool unready = situation.draining || !situation.cloudReady;
    if ((endpoint == Endpoint::Readiness && unready) ||
        (endpoint == Endpoint::Transcribe && situation.draining && !situation.begunBeforeStop))
        return {503, "Service Unavailable"};
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
    bool bodied = head.chunked;
    for (const std::string& value : head.contentLengths)
    {
        if (!IsPlainDecimal(value))
            return "a Content-Length that is not a plain decimal number";
        bodied = bodied || value != "0";
    }
    if (head.contentLengths.size() > 1)
        return "more than one Content-Length";
    if (!head.contentLengths.empty() && head.chunked)
        return "both Content-Length and Transfer-Encoding";
    // libevent reads no body for these, and would take one for the next request.
    if (bodied && head.method != "POST" && head.method != "PUT" && head.method != "PATCH")
        return "a body on a method that carries none";
    return nullptr;
}

bool RequestPolicy::TokenMatches(const std::string& expected, const std::string& received)
{
    return expected.size() == received.size() && CRYPTO_memcmp(expected.data(), received.data(), expected.size()) == 0;
}

bool RequestPolicy::Authorized(const RequestHead& head, const std::string& token)
{
    return token.empty() || TokenMatches(token, head.authorization);
}
