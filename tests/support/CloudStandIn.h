// Scriptable HTTP/HTTPS server on loopback, standing in for the cloud services
// the S2T server calls. Runs on its own threads (accept thread + one per
// connection) inside the test process; built on blocking sockets and OpenSSL
// only, so it shares no code with the service under test.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpClient.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace testsupport {

struct StandInReply {
  enum class Mode {
    Answer,  // send the reply below, then close
    Close,   // read the request, then close without answering
    Silent,  // read the request, never answer; stay open until the peer closes or Stop()
  };
  Mode mode = Mode::Answer;
  int status = 200;
  std::string reason = "OK";
  std::vector<Header> headers;  // sent in order; then Content-Length (unless noContentLength) and "Connection: close"
  std::string body;
  int delayMs = 0;               // wait before answering/closing; Stop() cuts it short
  bool noContentLength = false;  // body delimited by close (or give your own Content-Length header to lie)
  std::string rawResponse;       // Answer mode: when non-empty, sent verbatim instead of status/headers/body
  bool holdOpen = false;         // Answer mode: after sending, stay open like Silent (a stalled response)
};

struct StandInRequest {
  std::string method, target, version;
  std::vector<Header> headers;
  std::string body;   // de-chunked when sent chunked
  std::string raw;    // every byte of the request as received: request line, headers, body
  std::string error;  // empty unless the request was malformed (then answered 400)
  const std::string* Find(const std::string& name) const;  // case-insensitive, first match
};

// Declared outside the class so it can be a default argument of the constructor.
struct StandInOptions {
  bool tls = false;
  std::string certFile, keyFile;      // PEM; certFile may hold a chain
  std::string address = "127.0.0.1";  // or "::1"
};

class CloudStandIn {
 public:
  using Options = StandInOptions;

  explicit CloudStandIn(const Options& options = Options());
  ~CloudStandIn();  // Stop()
  CloudStandIn(const CloudStandIn&) = delete;
  CloudStandIn& operator=(const CloudStandIn&) = delete;

  bool Start();  // bind port 0, listen, start accepting; false (see LastError()) on failure
  void Stop();   // idempotent: closes the listener and every connection, joins all threads
  std::string LastError() const;

  uint16_t Port() const;
  std::string BaseUrl() const;  // "http://127.0.0.1:PORT", "https://[::1]:PORT", ...

  // Reply selection: the handler when set; else the On() entry with the longest
  // suffix matching the target's path (before '?'); else the default (200 OK,
  // empty body, unless SetDefault() says otherwise). On() with an existing
  // suffix replaces its reply. May be called while running.
  void SetDefault(const StandInReply& reply);
  void On(const std::string& pathSuffix, const StandInReply& reply);
  void SetHandler(std::function<StandInReply(const StandInRequest&)> handler);  // called on a connection thread

  std::vector<StandInRequest> Received() const;  // complete requests, in arrival order
  bool WaitForRequests(size_t n, int timeoutMs) const;  // true once at least n were received
  size_t Accepted() const;           // TCP connections accepted, including failed TLS handshakes
  size_t HandshakeFailures() const;  // TLS handshakes that did not complete
  size_t OpenConnections() const;    // accepted connections not yet closed
  bool WaitForOpenConnections(size_t n, int timeoutMs) const;  // true once the open count == n

 private:
  struct Conn {
    int fd = -1;  // guarded by mu_; -1 once closed
    bool done = false;
    std::thread thread;
  };
  enum class ReadResult { Complete, Closed, Stopped };

  void AcceptLoop();
  void Serve(std::shared_ptr<Conn> conn);
  StandInReply ChooseReply(const StandInRequest& request);
  bool Stopping() const;
  void ReapFinished();

  const Options options_;
  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  bool started_ = false;
  std::thread acceptThread_;
  std::mutex stopMu_;  // serialises Start/Stop

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::string lastError_;
  std::list<std::shared_ptr<Conn>> conns_;
  std::vector<StandInRequest> requests_;
  size_t accepted_ = 0, handshakeFailures_ = 0, open_ = 0;
  StandInReply default_;
  std::vector<std::pair<std::string, StandInReply>> routes_;
  std::function<StandInReply(const StandInRequest&)> handler_;
};

}  // namespace testsupport
