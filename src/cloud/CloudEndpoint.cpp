#include "CloudEndpoint.h"

#include <strings.h>

#include <cstdlib>

#include <event2/http.h>
#include <event2/util.h>

namespace CloudEndpoint
{

bool IsSecure(const evhttp_uri* pUri)
{
    const char* scheme = pUri != nullptr ? evhttp_uri_get_scheme(pUri) : nullptr;
    return scheme != nullptr && strcasecmp(scheme, "https") == 0;
}

std::string HostName(const evhttp_uri* pUri)
{
    const char* host = pUri != nullptr ? evhttp_uri_get_host(pUri) : nullptr;
    std::string name = host != nullptr ? host : "";
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return name;
}

uint16_t Port(const evhttp_uri* pUri)
{
    const int port = evhttp_uri_get_port(pUri);
    if (port != -1)
        return static_cast<uint16_t>(port);
    return IsSecure(pUri) ? 443 : 80;
}

std::string HostHeader(const evhttp_uri* pUri)
{
    const std::string host = evhttp_uri_get_host(pUri);
    const uint16_t port = Port(pUri);
    return port == (IsSecure(pUri) ? 443 : 80) ? host : host + ":" + std::to_string(port);
}

std::string SessionKey(const evhttp_uri* pUri)
{
    return HostName(pUri) + " " + std::to_string(Port(pUri));
}

std::string Target(const evhttp_uri* pUri)
{
    const char* path = evhttp_uri_get_path(pUri);
    std::string target = path != nullptr && *path != '\0' ? path : "/";
    if (const char* query = evhttp_uri_get_query(pUri))
        target += std::string("?") + query;
    return target;
}

bool IsNumericAddress(const std::string& host)
{
    evutil_addrinfo hints = {};
    hints.ai_flags = EVUTIL_AI_NUMERICHOST;
    evutil_addrinfo* pNumeric = nullptr;
    const bool numeric = evutil_getaddrinfo(host.c_str(), nullptr, &hints, &pNumeric) == 0;
    if (pNumeric != nullptr)
        evutil_freeaddrinfo(pNumeric);
    return numeric;
}

std::string Encoded(const std::string& text, bool form)
{
    char* encoded = evhttp_uriencode(text.data(), static_cast<ev_ssize_t>(text.size()), form ? 1 : 0);
    std::string result = encoded != nullptr ? encoded : "";
    free(encoded);
    return result;
}

} // namespace CloudEndpoint
