// Blocking HTTP/1.1 client (plain or TLS) for driving the service in tests.
// Every call is bounded by ClientOptions::timeoutMs, so a silent peer cannot
// hang a test. Only loopback addresses are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Header {
  std::string name, value;
};

struct HttpResponse {
  bool ok = false;    // a complete status line + headers (+ body) was read
  std::string error;  // why not ok
  int status = 0;     // also filled when the head arrived but the body did not
  std::string reason;
  std::vector<Header> headers;
  std::string body;   // de-chunked when Transfer-Encoding: chunked

  const std::string* Find(const std::string& name) const;  // case-insensitive, first match
  size_t Count(const std::string& name) const;
};

struct ClientOptions {
  bool tls = false;
  std::string caFile;   // when set: verify the chain against it and the host name; else no verification
  std::string sniHost;  // SNI and name to verify; defaults to the connect host (IP literals get no SNI)
  int timeoutMs = 20000;  // for the whole exchange: connect, handshake, send, receive
};

// Connects to host:port (numeric loopback address or "localhost") within
// timeoutMs. Returns a blocking socket the caller closes, or -1 (reason in *error).
int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs = 20000,
               std::string* error = nullptr);

// Sends exactly `bytes` and reads one response: body by Content-Length, chunked,
// or until close; none for HEAD (`headRequest`), 1xx, 204 and 304. Interim 1xx
// responses are skipped. Reading starts while sending, so an early answer (e.g.
// 413 before the whole body was taken) is still returned.
HttpResponse SendRaw(const std::string& host, uint16_t port, const std::string& bytes,
                     const ClientOptions& options = {}, bool headRequest = false);

// Reads one response, as SendRaw does, on a plain socket from ConnectTcp whose
// request the caller wrote itself (for instance to act in between). Leaves fd open.
HttpResponse ReadResponse(int fd, const ClientOptions& options = {}, bool headRequest = false);

// "METHOD target HTTP/1.1\r\nHost: host:port\r\n<headers>\r\nContent-Length: N\r\n
// Connection: close\r\n\r\n<body>". Content-Length is left out when the body is
// empty and the method is GET/HEAD/DELETE/OPTIONS. Host, Content-Length and
// Connection are not added when `headers` already has one of that name.
HttpResponse Send(const std::string& host, uint16_t port, const std::string& method,
                  const std::string& target, const std::vector<Header>& headers = {},
                  const std::string& body = "", const ClientOptions& options = {});

}  // namespace testsupport
