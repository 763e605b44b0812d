#pragma once

#include <cstdint>
#include <string>

struct evhttp_uri;

// Where a cloud call goes, as its parsed URI says: what its connection, its TLS and
// its request need.
namespace CloudEndpoint
{

bool IsSecure(const evhttp_uri* pUri);
// The host, an IPv6 address without its brackets.
std::string HostName(const evhttp_uri* pUri);
uint16_t Port(const evhttp_uri* pUri);
// The port belongs in it whenever it is not the scheme's own.
std::string HostHeader(const evhttp_uri* pUri);
// "host port", which names an endpoint's TLS session.
std::string SessionKey(const evhttp_uri* pUri);
// The path and query of the request line.
std::string Target(const evhttp_uri* pUri);
bool IsNumericAddress(const std::string& host);
// Percent-encoded for a path segment or a query value; `form`: a space as "+", as
// form bodies have it.
std::string Encoded(const std::string& text, bool form = false);

} // namespace CloudEndpoint
