#include "CloudStandIn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "HttpWire.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Blocked calls re-check the stop flag this often; shutdown() usually wakes them sooner.
constexpr int kTickMs = 20;
// After answering, keep reading (and discarding) for at most this long so the
// peer's unread bytes do not turn our close into a reset that could destroy
// the answer before the peer reads it.
constexpr int kLingerMs = 2000;

bool ParseRequestLine(const std::string& line, StandInRequest& req) {
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (a == std::string::npos || b == std::string::npos || line.find(' ', b + 1) != std::string::npos)
    return false;
  req.method = line.substr(0, a);
  req.target = line.substr(a + 1, b - a - 1);
  req.version = line.substr(b + 1);
  return !req.method.empty() && !req.target.empty() &&
         (req.version == "HTTP/1.1" || req.version == "HTTP/1.0");
}

std::string BuildResponse(const StandInReply& r) {
  if (!r.rawResponse.empty()) return r.rawResponse;
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
  for (const Header& h : r.headers) out += h.name + ": " + h.value + "\r\n";
  if (!r.noContentLength) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  out += r.body;
  return out;
}

}  // namespace

const std::string* StandInRequest::Find(const std::string& name) const {
  return wire::FindHeader(headers, name);
}

CloudStandIn::CloudStandIn(const Options& options) : options_(options) {}

CloudStandIn::~CloudStandIn() {
  Stop();
  if (ctx_) SSL_CTX_free(ctx_);
}

std::string CloudStandIn::LastError() const {
  std::lock_guard<std::mutex> lk(mu_);
  return lastError_;
}

bool CloudStandIn::Start() {
  std::lock_guard<std::mutex> sl(stopMu_);
  auto fail = [this](const std::string& why) {
    std::lock_guard<std::mutex> lk(mu_);
    lastError_ = why;
    return false;
  };
  if (started_) return fail("already started");
  started_ = true;

  if (options_.tls) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) return fail(wire::SslErrorText("SSL_CTX_new"));
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx_, options_.certFile.c_str()) != 1)
      return fail(wire::SslErrorText(("certificate " + options_.certFile).c_str()));
    if (SSL_CTX_use_PrivateKey_file(ctx_, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
      return fail(wire::SslErrorText(("key " + options_.keyFile).c_str()));
    if (SSL_CTX_check_private_key(ctx_) != 1)
      return fail(wire::SslErrorText("key does not match certificate"));
  }

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(options_.address.c_str(), "0", &hints, &res);
  if (rc != 0) return fail("address " + options_.address + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(res, freeaddrinfo);
  const sockaddr* sa = res->ai_addr;
  bool loopback =
      (sa->sa_family == AF_INET &&
       (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127) ||
      (sa->sa_family == AF_INET6 &&
       IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr));
  if (!loopback) return fail("refusing to listen on non-loopback address " + options_.address);

  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(wire::ErrnoText("socket"));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (res->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    std::string why = wire::ErrnoText(("listen on " + options_.address).c_str());
    close(fd);
    return fail(why);
  }
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  listenFd_ = fd;
  acceptThread_ = std::thread(&CloudStandIn::AcceptLoop, this);
  return true;
}

void CloudStandIn::Stop() {
  std::lock_guard<std::mutex> sl(stopMu_);
  {
    std::lock_guard<std::mutex> lk(mu_);
    stopping_ = true;
    // Wakes connection threads blocked in poll; the fds stay valid because a
    // connection thread only closes its fd while holding mu_.
    for (auto& c : conns_)
      if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
  }
  cv_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::list<std::shared_ptr<Conn>> all;
  {
    std::lock_guard<std::mutex> lk(mu_);
    all.swap(conns_);
  }
  for (auto& c : all)
    if (c->thread.joinable()) c->thread.join();
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
}

bool CloudStandIn::Stopping() const {
  std::lock_guard<std::mutex> lk(mu_);
  return stopping_;
}

uint16_t CloudStandIn::Port() const { return port_; }

std::string CloudStandIn::BaseUrl() const {
  const std::string& a = options_.address;
  std::string host = a.find(':') != std::string::npos ? "[" + a + "]" : a;
  return std::string(options_.tls ? "https://" : "http://") + host + ":" + std::to_string(port_);
}

void CloudStandIn::SetDefault(const StandInReply& reply) {
  std::lock_guard<std::mutex> lk(mu_);
  default_ = reply;
}

void CloudStandIn::On(const std::string& pathSuffix, const StandInReply& reply) {
  std::lock_guard<std::mutex> lk(mu_);
  for (auto& r : routes_) {
    if (r.first == pathSuffix) {
      r.second = reply;
      return;
    }
  }
  routes_.emplace_back(pathSuffix, reply);
}

void CloudStandIn::SetHandler(std::function<StandInReply(const StandInRequest&)> handler) {
  std::lock_guard<std::mutex> lk(mu_);
  handler_ = std::move(handler);
}

std::vector<StandInRequest> CloudStandIn::Received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return requests_;
}

bool CloudStandIn::WaitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

size_t CloudStandIn::Accepted() const {
  std::lock_guard<std::mutex> lk(mu_);
  return accepted_;
}

size_t CloudStandIn::HandshakeFailures() const {
  std::lock_guard<std::mutex> lk(mu_);
  return handshakeFailures_;
}

size_t CloudStandIn::OpenConnections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return open_;
}

bool CloudStandIn::WaitForOpenConnections(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return open_ == n; });
}

StandInReply CloudStandIn::ChooseReply(const StandInRequest& request) {
  std::function<StandInReply(const StandInRequest&)> handler;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!handler_) {
      std::string path = request.target.substr(0, request.target.find('?'));
      const StandInReply* best = &default_;
      size_t bestLen = 0;
      for (const auto& r : routes_) {
        const std::string& s = r.first;
        bool match = path.size() >= s.size() && path.compare(path.size() - s.size(), s.size(), s) == 0;
        if (match && (best == &default_ || s.size() > bestLen)) {
          best = &r.second;
          bestLen = s.size();
        }
      }
      return *best;
    }
    handler = handler_;
  }
  // Outside the lock: the handler may call Received() and friends.
  return handler(request);
}

void CloudStandIn::ReapFinished() {
  std::list<std::shared_ptr<Conn>> done;
  {
    std::lock_guard<std::mutex> lk(mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if ((*it)->done) done.splice(done.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : done) c->thread.join();
}

void CloudStandIn::AcceptLoop() {
  while (!Stopping()) {
    pollfd p{listenFd_, POLLIN, 0};
    int n = poll(&p, 1, kTickMs);
    ReapFinished();
    if (n <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lk(mu_);
    if (stopping_) {
      close(fd);
      break;
    }
    ++accepted_;
    ++open_;
    auto conn = std::make_shared<Conn>();
    conn->fd = fd;
    conns_.push_back(conn);
    conn->thread = std::thread(&CloudStandIn::Serve, this, conn);
    cv_.notify_all();
  }
}

void CloudStandIn::Serve(std::shared_ptr<Conn> conn) {
  // Writing to a peer that already left must fail with EPIPE, not kill the test
  // process; a signal raised by this thread is discarded when the thread ends.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

  int fd;
  {
    std::lock_guard<std::mutex> lk(mu_);
    fd = conn->fd;
  }
  // Waits until fd is ready for `events`; false once stopping.
  auto waitFor = [&](short events) {
    for (;;) {
      if (Stopping()) return false;
      pollfd p{fd, events, 0};
      int n = poll(&p, 1, kTickMs);
      if (n > 0 || (n < 0 && errno != EINTR)) return !Stopping();
    }
  };
  // Reads and discards until the peer closes, the stand-in stops or the deadline passes.
  auto drain = [&](Clock::time_point deadline) {
    char buf[4096];
    for (;;) {
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
      if (r > 0) continue;
      if (Clock::now() >= deadline || !waitFor(POLLIN)) return;
    }
  };

  SSL* ssl = nullptr;
  bool handshakeOk = true;
  if (ctx_) {
    ssl = SSL_new(ctx_);
    handshakeOk = ssl && SSL_set_fd(ssl, fd) == 1;
    while (handshakeOk) {
      ERR_clear_error();
      int rc = SSL_accept(ssl);
      if (rc == 1) break;
      int code = SSL_get_error(ssl, rc);
      handshakeOk = (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) &&
                    waitFor(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
    }
    ERR_clear_error();
    if (!handshakeOk) {
      std::lock_guard<std::mutex> lk(mu_);
      ++handshakeFailures_;
    }
  }

  wire::Stream stream(fd, ssl);
  auto writeAll = [&](const std::string& data) {
    size_t sent = 0;
    std::string ignored;
    while (sent < data.size()) {
      size_t n = 0;
      wire::IoResult w = stream.Write(data.data() + sent, data.size() - sent, n, ignored);
      if (w == wire::IoResult::Ok) {
        sent += n;
      } else if (w == wire::IoResult::WantWrite || w == wire::IoResult::WantRead) {
        if (!waitFor(w == wire::IoResult::WantWrite ? POLLOUT : POLLIN)) return false;
      } else {
        return false;
      }
    }
    return true;
  };

  // Read one request.
  StandInRequest req;
  bool complete = false;
  if (handshakeOk) {
    std::string in, ignored;
    size_t bodyStart = std::string::npos, length = 0;
    wire::Framing framing = wire::Framing::None;
    bool sentContinue = false;
    char buf[16384];
    for (;;) {
      bool closed = false;
      short events = POLLIN;
      for (;;) {
        size_t n = 0;
        wire::IoResult rd = stream.Read(buf, sizeof buf, n, ignored);
        if (rd == wire::IoResult::Ok) {
          in.append(buf, n);
          continue;
        }
        closed = rd == wire::IoResult::Eof || rd == wire::IoResult::Error;
        if (rd == wire::IoResult::WantWrite) events = POLLOUT;
        break;
      }
      if (bodyStart == std::string::npos) {
        size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
          bodyStart = end + 4;
          std::string line;
          if (!wire::ParseHead(in.substr(0, end), line, req.headers, req.error) ||
              !wire::BodyFraming(req.headers, framing, length, req.error)) {
            complete = true;
          } else if (!ParseRequestLine(line, req)) {
            req.error = "malformed request line: \"" + line + "\"";
            complete = true;
          }
          if (complete) {
            req.raw = in.substr(0, bodyStart);
            break;
          }
        }
      }
      if (bodyStart != std::string::npos) {
        if (framing == wire::Framing::None) {
          req.raw = in.substr(0, bodyStart);
          complete = true;
        } else if (framing == wire::Framing::Length && in.size() - bodyStart >= length) {
          req.body = in.substr(bodyStart, length);
          req.raw = in.substr(0, bodyStart + length);
          complete = true;
        } else if (framing == wire::Framing::Chunked) {
          size_t end = 0;
          wire::Progress p = wire::DecodeChunked(in, bodyStart, req.body, end, req.error);
          if (p != wire::Progress::NeedMore) {
            req.raw = p == wire::Progress::Complete ? in.substr(0, end) : in;
            complete = true;
          }
        }
        if (complete) break;
        const std::string* expect = req.Find("Expect");
        if (!sentContinue && expect && wire::IEquals(*expect, "100-continue")) {
          sentContinue = true;
          if (!writeAll("HTTP/1.1 100 Continue\r\n\r\n")) break;
        }
      }
      if (closed || !waitFor(events)) break;
    }
  }

  if (complete) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      requests_.push_back(req);
    }
    cv_.notify_all();

    StandInReply reply;
    if (req.error.empty()) {
      reply = ChooseReply(req);
    } else {
      reply.status = 400;
      reply.reason = "Bad Request";
      reply.body = req.error;
    }
    bool go = true;
    if (reply.delayMs > 0) {
      std::unique_lock<std::mutex> lk(mu_);
      go = !cv_.wait_for(lk, std::chrono::milliseconds(reply.delayMs), [&] { return stopping_; });
    }
    if (go) {
      using Mode = StandInReply::Mode;
      bool answered = reply.mode == Mode::Answer && writeAll(BuildResponse(reply));
      if (reply.mode == Mode::Silent || (answered && reply.holdOpen)) {
        drain(Clock::time_point::max());
      } else if (reply.mode == Mode::Close || answered) {
        if (ssl) {
          ERR_clear_error();
          SSL_shutdown(ssl);  // close_notify; the peer's reply is not awaited
          ERR_clear_error();
        }
        shutdown(fd, SHUT_WR);
        drain(Clock::now() + std::chrono::milliseconds(kLingerMs));
      }
    }
  }

  if (ssl) SSL_free(ssl);
  {
    std::lock_guard<std::mutex> lk(mu_);
    close(fd);
    conn->fd = -1;
    --open_;
    conn->done = true;
  }
  cv_.notify_all();
}

}  // namespace testsupport
