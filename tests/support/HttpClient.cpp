#include "HttpClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "HttpWire.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

using wire::ErrnoText;
using wire::SslErrorText;

bool IsLoopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127;
  if (sa->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a);
  }
  return false;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Non-blocking connected socket, or -1.
int ConnectNonBlocking(const std::string& host, uint16_t port, Clock::time_point deadline,
                       std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string portText = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), portText.c_str(), &hints, &res);
  if (rc != 0) {
    error = "resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(res, freeaddrinfo);
  error = "no loopback address for " + host;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (!IsLoopback(ai->ai_addr)) continue;  // tests must never leave the machine
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = ErrnoText("socket");
      continue;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
      error = ErrnoText("connect");
      close(fd);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, RemainingMs(deadline))) < 0 && errno == EINTR) {
    }
    if (n == 0) {
      error = "connect: timed out";
      close(fd);
      return -1;
    }
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) {
      error = ErrnoText("connect");
      close(fd);
      continue;
    }
    if (soErr != 0) {
      error = std::string("connect: ") + strerror(soErr);
      close(fd);
      continue;
    }
    return fd;
  }
  return -1;
}

// Incremental response parser; re-examines the buffer after every read.
class ResponseParser {
 public:
  explicit ResponseParser(bool headRequest) : headRequest_(headRequest) {}

  wire::Progress Parse(const std::string& in, bool eof, HttpResponse& r) {
    while (!haveHead_) {
      size_t end = in.find("\r\n\r\n", headStart_);
      if (end == std::string::npos) return wire::Progress::NeedMore;
      std::string line;
      if (!wire::ParseHead(in.substr(headStart_, end - headStart_), line, r.headers, r.error))
        return wire::Progress::Error;
      if (!ParseStatusLine(line, r)) return wire::Progress::Error;
      bodyStart_ = end + 4;
      if (r.status >= 100 && r.status < 200 && r.status != 101) {
        // Interim response: the final one follows.
        headStart_ = bodyStart_;
        r.headers.clear();
        continue;
      }
      haveHead_ = true;
      if (headRequest_ || r.status < 200 || r.status == 204 || r.status == 304) {
        framing_ = Body::Empty;
      } else {
        wire::Framing f;
        if (!wire::BodyFraming(r.headers, f, length_, r.error)) return wire::Progress::Error;
        framing_ = f == wire::Framing::Length    ? Body::Length
                   : f == wire::Framing::Chunked ? Body::Chunked
                                                 : Body::UntilClose;
      }
    }
    switch (framing_) {
      case Body::Empty:
        return wire::Progress::Complete;
      case Body::Length:
        if (in.size() - bodyStart_ < length_) {
          if (eof) r.body = in.substr(bodyStart_);
          return wire::Progress::NeedMore;
        }
        r.body = in.substr(bodyStart_, length_);
        return wire::Progress::Complete;
      case Body::Chunked: {
        size_t end = 0;
        return wire::DecodeChunked(in, bodyStart_, r.body, end, r.error);
      }
      case Body::UntilClose:
        if (!eof) return wire::Progress::NeedMore;
        r.body = in.substr(bodyStart_);
        return wire::Progress::Complete;
    }
    return wire::Progress::Error;
  }

  bool HaveHead() const { return haveHead_; }

 private:
  enum class Body { Empty, Length, Chunked, UntilClose };

  static bool ParseStatusLine(const std::string& line, HttpResponse& r) {
    // HTTP/x.y SP 3DIGIT [SP reason]
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || !isdigit((unsigned char)line[5]) ||
        line[6] != '.' || !isdigit((unsigned char)line[7]) || line[8] != ' ' ||
        !isdigit((unsigned char)line[9]) || !isdigit((unsigned char)line[10]) ||
        !isdigit((unsigned char)line[11]) || (line.size() > 12 && line[12] != ' ')) {
      r.error = "malformed status line: \"" + line + "\"";
      return false;
    }
    r.status = std::stoi(line.substr(9, 3));
    r.reason = line.size() > 13 ? line.substr(13) : std::string();
    return true;
  }

  bool headRequest_;
  bool haveHead_ = false;
  size_t headStart_ = 0;
  size_t bodyStart_ = 0;
  size_t length_ = 0;
  Body framing_ = Body::UntilClose;
};

struct CtxFree { void operator()(SSL_CTX* c) const { SSL_CTX_free(c); } };
struct SslFree { void operator()(SSL* s) const { SSL_free(s); } };

// Polls fd for `events` until the deadline; false on timeout.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = poll(&p, 1, RemainingMs(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the next I/O call report it
  }
}

std::string Handshake(int fd, SSL_CTX*& ctxOut, SSL*& sslOut, const std::string& host,
                      const ClientOptions& o, Clock::time_point deadline) {
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return SslErrorText("SSL_CTX_new");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // A body delimited by close may end without close_notify; treat that as EOF.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const std::string name = o.sniHost.empty() ? host : o.sniHost;
  if (!o.caFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), o.caFile.c_str(), nullptr) != 1)
      return SslErrorText(("cannot load CA file " + o.caFile).c_str());
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  }
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return SslErrorText("SSL_new");
  if (!IsIpLiteral(name) && SSL_set_tlsext_host_name(ssl.get(), name.c_str()) != 1)
    return SslErrorText("SNI");
  if (!o.caFile.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    int set = IsIpLiteral(name) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    if (set != 1) return SslErrorText("verify name");
  }
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_connect(ssl.get());
    if (rc == 1) break;
    int code = SSL_get_error(ssl.get(), rc);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
      if (!WaitFor(fd, code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
        return "TLS handshake: timed out";
      continue;
    }
    long verify = SSL_get_verify_result(ssl.get());
    if (verify != X509_V_OK)
      return std::string("TLS handshake: certificate verify failed: ") +
             X509_verify_cert_error_string(verify);
    if (code == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      return errno ? ErrnoText("TLS handshake") : "TLS handshake: connection closed by peer";
    return SslErrorText("TLS handshake");
  }
  ctxOut = ctx.release();
  sslOut = ssl.release();
  return std::string();
}

// Sends `bytes` (possibly none) on the connected non-blocking socket and reads
// one response into `r`; ok stays false on failure, with the reason in error.
void Exchange(int fd, SSL* ssl, const std::string& bytes, const ClientOptions& options, bool headRequest,
              Clock::time_point deadline, HttpResponse& r) {
  wire::Stream stream(fd, ssl);
  ResponseParser parser(headRequest);
  std::string in, readError, writeError;
  size_t sent = 0;
  bool writing = !bytes.empty(), eof = false;
  char buf[16384];
  for (;;) {
    short events = 0;
    while (writing) {
      size_t n = 0;
      wire::IoResult w = stream.Write(bytes.data() + sent, bytes.size() - sent, n, writeError);
      if (w == wire::IoResult::Ok) {
        sent += n;
        writing = sent < bytes.size();
      } else if (w == wire::IoResult::WantWrite || w == wire::IoResult::WantRead) {
        events |= w == wire::IoResult::WantWrite ? POLLOUT : POLLIN;
        break;
      } else {
        // The peer may have answered and closed early; still read what it sent.
        if (writeError.empty()) writeError = "connection closed while sending";
        writing = false;
      }
    }
    for (;;) {
      size_t n = 0;
      wire::IoResult rd = stream.Read(buf, sizeof buf, n, readError);
      if (rd == wire::IoResult::Ok) {
        in.append(buf, n);
        continue;
      }
      if (rd == wire::IoResult::Eof) eof = true;
      if (rd == wire::IoResult::WantRead) events |= POLLIN;
      if (rd == wire::IoResult::WantWrite) events |= POLLOUT;
      break;
    }
    wire::Progress p = parser.Parse(in, eof, r);
    if (p == wire::Progress::Complete) {
      r.ok = true;
      r.error.clear();
      return;
    }
    if (p == wire::Progress::Error) return;
    if (eof || !readError.empty()) {
      std::string why = !readError.empty() ? readError
                        : parser.HaveHead() ? "connection closed before the end of the body"
                        : in.empty()        ? "connection closed without a response"
                                            : "connection closed inside the response head";
      if (!writeError.empty()) why += " (after send failed: " + writeError + ")";
      r.error = why;
      return;
    }
    if (RemainingMs(deadline) == 0 || !WaitFor(fd, events ? events : POLLIN, deadline)) {
      r.error = std::string("timed out after ") + std::to_string(options.timeoutMs) + " ms " +
                (writing ? "while sending the request"
                 : parser.HaveHead() ? "reading the body"
                 : in.empty()        ? "waiting for a response"
                                     : "reading the response head");
      return;
    }
  }
}

}  // namespace

const std::string* HttpResponse::Find(const std::string& name) const {
  return wire::FindHeader(headers, name);
}

size_t HttpResponse::Count(const std::string& name) const { return wire::CountHeader(headers, name); }

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  std::string err;
  int fd = ConnectNonBlocking(host, port, Clock::now() + std::chrono::milliseconds(timeoutMs), err);
  if (fd < 0) {
    if (error) *error = err;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

HttpResponse SendRaw(const std::string& host, uint16_t port, const std::string& bytes,
                     const ClientOptions& options, bool headRequest) {
  wire::SigpipeGuard sigpipe;
  HttpResponse r;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  int fd = ConnectNonBlocking(host, port, deadline, r.error);
  if (fd < 0) return r;
  std::unique_ptr<int, void (*)(int*)> closeFd(&fd, [](int* p) { close(*p); });

  std::unique_ptr<SSL_CTX, CtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  if (options.tls) {
    SSL_CTX* c = nullptr;
    SSL* s = nullptr;
    r.error = Handshake(fd, c, s, host, options, deadline);
    if (!r.error.empty()) return r;
    ctx.reset(c);
    ssl.reset(s);
  }
  Exchange(fd, ssl.get(), bytes, options, headRequest, deadline, r);
  return r;
}

HttpResponse ReadResponse(int fd, const ClientOptions& options, bool headRequest) {
  HttpResponse r;
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  Exchange(fd, nullptr, "", options, headRequest,
           Clock::now() + std::chrono::milliseconds(options.timeoutMs), r);
  fcntl(fd, F_SETFL, flags);
  return r;
}
HttpResponse Send(const std::string& host, uint16_t port, const std::string& method,
                  const std::string& target, const std::vector<Header>& headers,
                  const std::string& body, const ClientOptions& options) {
  std::string req = method + " " + target + " HTTP/1.1\r\n";
  if (!wire::FindHeader(headers, "Host")) {
    bool v6 = host.find(':') != std::string::npos;
    req += "Host: " + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "\r\n";
  }
  for (const Header& h : headers) req += h.name + ": " + h.value + "\r\n";
  bool bodyless = method == "GET" || method == "HEAD" || method == "DELETE" || method == "OPTIONS";
  if (!wire::FindHeader(headers, "Content-Length") && !(body.empty() && bodyless))
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (!wire::FindHeader(headers, "Connection")) req += "Connection: close\r\n";
  req += "\r\n";
  req += body;
  return SendRaw(host, port, req, options, method == "HEAD");
}

}  // namespace testsupport
