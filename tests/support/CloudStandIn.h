// Scriptable HTTP/HTTPS server on 127.0.0.1, standing in for the cloud services
// the S2T server calls. Runs on its own threads (accept thread + one per
// connection) inside the test process; built on blocking sockets and OpenSSL
// only, so it shares no code with the service under test.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
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
  std::vector<Header> headers;  // sent in order; then Content-Length and "Connection: close"
  std::string body;
  int delayMs = 0;  // wait before answering or closing; Stop() cuts it short
};

struct StandInRequest {
  std::string method, target;
  std::vector<Header> headers;
  std::string body;
  std::string raw;  // every byte of the request as received: request line, headers, body
  const std::string* Find(const std::string& name) const { return FindHeader(headers, name); }
};

// Declared outside the class so it can be a default argument of the constructor.
struct StandInOptions {
  bool tls = false;
  std::string certFile, keyFile;  // PEM; certFile may hold a chain
};

class CloudStandIn {
 public:
  using Options = StandInOptions;

  explicit CloudStandIn(const Options& options = Options());
  ~CloudStandIn();  // Stop()
  CloudStandIn(const CloudStandIn&) = delete;
  CloudStandIn& operator=(const CloudStandIn&) = delete;

  bool Start();  // listen on a free port; false (see LastError()) on failure
  void Stop();   // idempotent: closes the listener and every connection, joins all threads
  const std::string& LastError() const { return lastError_; }

  uint16_t Port() const { return port_; }
  std::string BaseUrl() const;  // "http://127.0.0.1:PORT" or "https://..."

  // Reply selection: the handler when set; else the On() entry with the longest
  // suffix matching the target's path (before '?'); else the default (200 OK,
  // empty body, unless SetDefault() says otherwise). On() with an existing
  // suffix replaces its reply. May be called while running.
  void SetDefault(const StandInReply& reply);
  void On(const std::string& pathSuffix, const StandInReply& reply);
  void SetHandler(std::function<StandInReply(const StandInRequest&)> handler);  // called on a connection thread

  std::vector<StandInRequest> Received() const;         // complete requests, in arrival order
  bool WaitForRequests(size_t n, int timeoutMs) const;  // true once at least n were received
  size_t Accepted() const;           // TCP connections accepted, including failed TLS handshakes
  size_t HandshakeFailures() const;  // TLS handshakes that did not complete

 private:
  struct Conn {
    int fd;  // -1 once closed; guarded by mu_
    std::thread thread;
  };

  void AcceptLoop();
  void Serve(Conn* conn);
  void Answer(int fd, SSL* ssl, const StandInReply& reply);
  StandInReply ChooseReply(const StandInRequest& request);

  const Options options_;
  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::string lastError_;
  std::thread acceptThread_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::list<Conn> conns_;  // a list, so each thread's Conn stays put
  std::vector<StandInRequest> requests_;
  size_t accepted_ = 0, handshakeFailures_ = 0;
  StandInReply default_;
  std::map<std::string, StandInReply> routes_;
  std::function<StandInReply(const StandInRequest&)> handler_;
};

}  // namespace testsupport
