// Blocking HTTP/1.1 client (plain or TLS) for driving the service in tests, and
// the message I/O it shares with CloudStandIn. Only loopback addresses are
// accepted, and every wait for the peer is bounded by ClientOptions::timeoutMs,
// so a silent peer cannot hang a test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct ssl_st SSL;

namespace testsupport {

struct Header {
  std::string name, value;
};

// The value of the first header of that name (case-insensitive), or null.
const std::string* FindHeader(const std::vector<Header>& headers, const std::string& name);

struct HttpResponse {
  bool ok = false;    // a complete status line, headers and body were read
  std::string error;  // why not ok
  int status = 0;     // also set when the head arrived but the body did not
  std::string reason;
  std::vector<Header> headers;
  std::string body;

  const std::string* Find(const std::string& name) const { return FindHeader(headers, name); }
  size_t Count(const std::string& name) const;
};

struct ClientOptions {
  bool tls = false;
  std::string caFile;     // when set: verify the chain against it and the host name; else no verification
  int timeoutMs = 20000;  // bounds each wait: connect, handshake, every send and receive
};

// A blocking socket connected to host:port (numeric loopback address or
// "localhost") within timeoutMs, which the caller closes; or -1 (reason in *error).
int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs = 20000,
               std::string* error = nullptr);

// Sends exactly `bytes` and reads one response, its body by Content-Length or
// up to the close.
HttpResponse SendRaw(const std::string& host, uint16_t port, const std::string& bytes,
                     const ClientOptions& options = {});

// Reads one response, as SendRaw does, on a plain socket from ConnectTcp whose
// request the caller wrote itself (for instance to act in between). Leaves fd open.
HttpResponse ReadResponse(int fd, const ClientOptions& options = {});

// "METHOD target HTTP/1.1", Host, `headers`, Content-Length (left out for an
// empty body with GET, HEAD, DELETE or OPTIONS), "Connection: close", body.
HttpResponse Send(const std::string& host, uint16_t port, const std::string& method,
                  const std::string& target, const std::vector<Header>& headers = {},
                  const std::string& body = "", const ClientOptions& options = {});

// Message I/O on a connected blocking socket, through `ssl` when set.
struct WireMessage {
  bool headRead = false;
  std::string startLine;
  std::vector<Header> headers;
  std::string body;
  std::string raw;    // the message's bytes, or all bytes read when incomplete
  std::string error;  // empty once the whole message arrived
};
// The body is Content-Length bytes; without that header none, or with
// `untilClose` everything up to the peer's close.
WireMessage ReadMessage(int fd, SSL* ssl, bool untilClose);
bool WriteAll(int fd, SSL* ssl, const std::string& data, std::string* error = nullptr);
// `what`, then the queued OpenSSL errors (drains the queue).
std::string SslErrors(std::string what);

}  // namespace testsupport
