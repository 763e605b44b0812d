#include "CloudStandIn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace testsupport {
namespace {

// After answering, keep reading (and discarding) for up to this long so that
// bytes the peer still sends do not turn our close into a reset that could
// destroy the answer before the peer reads it.
constexpr int kLingerMs = 2000;

// Reads and discards until the peer closes, Stop() shuts the socket down, or
// (with timeoutMs > 0) nothing arrives for that long.
void Drain(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[4096];
  while (recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
}

}  // namespace

CloudStandIn::CloudStandIn(const Options& options) : options_(options) {}

CloudStandIn::~CloudStandIn() {
  Stop();
  SSL_CTX_free(ctx_);
}

bool CloudStandIn::Start() {
  if (options_.tls) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    // Also fails for a key that does not belong to the certificate.
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, options_.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      lastError_ = SslErrors("certificate " + options_.certFile + ", key " + options_.keyFile);
      return false;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // tests must never be reachable from outside
  socklen_t length = sizeof address;
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 128) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    lastError_ = std::string("listen on 127.0.0.1: ") + strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread(&CloudStandIn::AcceptLoop, this);
  return true;
}

void CloudStandIn::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    // Wakes the threads blocked on these sockets; a connection thread closes its
    // socket only under mu_, so every fd here is still its own.
    if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
    for (Conn& c : conns_)
      if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
  }
  cv_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  // The accept thread is gone, so the list no longer changes.
  for (Conn& c : conns_)
    if (c.thread.joinable()) c.thread.join();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

std::string CloudStandIn::BaseUrl() const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void CloudStandIn::SetDefault(const StandInReply& reply) {
  std::lock_guard<std::mutex> lock(mu_);
  default_ = reply;
}

void CloudStandIn::On(const std::string& pathSuffix, const StandInReply& reply) {
  std::lock_guard<std::mutex> lock(mu_);
  routes_[pathSuffix] = reply;
}

void CloudStandIn::SetHandler(std::function<StandInReply(const StandInRequest&)> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = std::move(handler);
}

std::vector<StandInRequest> CloudStandIn::Received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

bool CloudStandIn::WaitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

size_t CloudStandIn::Accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

size_t CloudStandIn::HandshakeFailures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handshakeFailures_;
}

StandInReply CloudStandIn::ChooseReply(const StandInRequest& request) {
  std::unique_lock<std::mutex> lock(mu_);
  if (auto handler = handler_) {
    lock.unlock();  // the handler may call Received() and friends
    return handler(request);
  }
  std::string path = request.target.substr(0, request.target.find('?'));
  const StandInReply* best = &default_;
  size_t bestLength = 0;
  for (const auto& [suffix, reply] : routes_) {
    bool matches = path.size() >= suffix.size() &&
                   path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (matches && (best == &default_ || suffix.size() > bestLength)) {
      best = &reply;
      bestLength = suffix.size();
    }
  }
  return *best;
}

void CloudStandIn::AcceptLoop() {
  // Inherited by the connection threads: writing to a peer that already left
  // fails with EPIPE instead of ending the test process. A SIGPIPE raised on a
  // connection thread is discarded when that thread ends.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      if (fd >= 0) close(fd);
      return;
    }
    if (fd < 0) continue;
    ++accepted_;
    conns_.push_back({fd, std::thread()});
    conns_.back().thread = std::thread(&CloudStandIn::Serve, this, &conns_.back());
  }
}

void CloudStandIn::Serve(Conn* conn) {
  const int fd = conn->fd;  // only this thread changes it
  SSL* ssl = nullptr;
  bool ready = true;
  if (ctx_) {
    ssl = SSL_new(ctx_);
    ready = ssl && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
    ERR_clear_error();
    std::lock_guard<std::mutex> lock(mu_);
    handshakeFailures_ += !ready;
  }
  WireMessage message;
  if (ready) message = ReadMessage(fd, ssl, false);
  if (ready && message.error.empty()) {
    StandInRequest request;
    std::istringstream(message.startLine) >> request.method >> request.target;
    request.headers = message.headers;
    request.body = message.body;
    request.raw = message.raw;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
    }
    cv_.notify_all();
    StandInReply reply = ChooseReply(request);
    std::unique_lock<std::mutex> lock(mu_);
    bool stopped = cv_.wait_for(lock, std::chrono::milliseconds(reply.delayMs), [&] { return stopping_; });
    lock.unlock();
    if (!stopped) Answer(fd, ssl, reply);
  }
  SSL_free(ssl);
  std::lock_guard<std::mutex> lock(mu_);
  close(fd);
  conn->fd = -1;
}

void CloudStandIn::Answer(int fd, SSL* ssl, const StandInReply& reply) {
  using Mode = StandInReply::Mode;
  if (reply.mode == Mode::Silent) {
    Drain(fd, 0);
    return;
  }
  if (reply.mode == Mode::Answer) {
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
    for (const Header& h : reply.headers) response += h.name + ": " + h.value + "\r\n";
    response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
    WriteAll(fd, ssl, response + reply.body);
  }
  if (ssl) SSL_shutdown(ssl);  // close_notify; the peer's is not awaited
  ERR_clear_error();
  shutdown(fd, SHUT_WR);
  Drain(fd, kLingerMs);
}

}  // namespace testsupport
