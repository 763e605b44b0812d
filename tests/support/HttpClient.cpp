#include "HttpClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace testsupport {
namespace {

bool IEquals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t"), end = s.find_last_not_of(" \t");
  return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

// Why a read or write that returned n <= 0 stopped; empty for the peer's orderly close.
// Call with errno and the OpenSSL error queue cleared before the I/O.
std::string IoError(SSL* ssl, int n) {
  int code = ssl ? SSL_get_error(ssl, n) : n == 0 ? SSL_ERROR_ZERO_RETURN : SSL_ERROR_SYSCALL;
  if (code == SSL_ERROR_ZERO_RETURN) return "";
  if (code == SSL_ERROR_SSL) return SslErrors("TLS");
  // With blocking sockets, "want read/write" means the socket timeout expired.
  if (code != SSL_ERROR_SYSCALL || errno == EAGAIN) return "timed out";
  return errno ? strerror(errno) : "connection closed";
}

void SetTimeouts(int fd, int ms) {  // 0: none
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A connected blocking socket with both timeouts set to timeoutMs, or -1.
int Connect(const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found)) {
    error = "resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  if (ntohl(address.sin_addr.s_addr) >> 24 != 127) {  // tests must never leave the machine
    error = host + " is not a loopback address";
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) SetTimeouts(fd, timeoutMs);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = std::string("connect: ") + (errno == EINPROGRESS ? "timed out" : strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

SslPtr Handshake(int fd, const std::string& host, const std::string& caFile, std::string& error) {
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!ctx || (!caFile.empty() && SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1)) {
    error = SslErrors("TLS setup");
    return nullptr;
  }
  // A body delimited by the close may end without close_notify.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(ctx.get(), caFile.empty() ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  SslPtr ssl(SSL_new(ctx.get()));  // holds its own reference to ctx
  in_addr ip;  // IP literals get no SNI; the name to verify handles both
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_set1_host(ssl.get(), host.c_str()) != 1 ||
      (inet_pton(AF_INET, host.c_str(), &ip) != 1 && SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1)) {
    error = SslErrors("TLS setup");
    return nullptr;
  }
  ERR_clear_error();
  errno = 0;
  int rc = SSL_connect(ssl.get());
  if (rc != 1) {
    error = "handshake: " + IoError(ssl.get(), rc);
    return nullptr;
  }
  return ssl;
}

// Blocks SIGPIPE on this thread while alive and discards one raised meanwhile, so
// a peer closing early fails a TLS write with EPIPE instead of ending the test.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    timespec zero{};
    sigtimedwait(&pipe_, nullptr, &zero);
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, old_;
};

// Sends `bytes` (if any) and reads one response on a connected socket.
HttpResponse Exchange(int fd, SSL* ssl, const std::string& bytes) {
  HttpResponse r;
  std::string sendError;
  // A failed send still reads what the peer answered before it closed.
  WriteAll(fd, ssl, bytes, &sendError);
  WireMessage m = ReadMessage(fd, ssl, true);
  const std::string& line = m.startLine;
  bool valid = line.size() >= 12 && line.compare(0, 7, "HTTP/1.") == 0 && line[8] == ' ' &&
               line.substr(9, 3).find_first_not_of("0123456789") == std::string::npos &&
               (line.size() == 12 || line[12] == ' ');
  if (m.headRead && valid) {
    r.status = std::stoi(line.substr(9, 3));
    r.reason = line.size() > 13 ? line.substr(13) : "";
    r.headers = m.headers;
    r.body = m.body;
  }
  r.ok = m.error.empty() && valid;
  r.error = !m.error.empty() ? m.error : valid ? "" : "malformed status line: \"" + line + "\"";
  if (!r.ok && !sendError.empty()) r.error += " (after send: " + sendError + ")";
  return r;
}

}  // namespace

const std::string* FindHeader(const std::vector<Header>& headers, const std::string& name) {
  for (const Header& h : headers)
    if (IEquals(h.name, name)) return &h.value;
  return nullptr;
}

size_t HttpResponse::Count(const std::string& name) const {
  return static_cast<size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const Header& h) { return IEquals(h.name, name); }));
}

std::string SslErrors(std::string what) {
  char text[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, text, sizeof text);
    what += std::string(": ") + text;
  }
  return what;
}

WireMessage ReadMessage(int fd, SSL* ssl, bool untilClose) {
  WireMessage m;
  std::string in;
  size_t bodyStart = 0, length = std::string::npos;  // npos: up to the close
  for (;;) {
    size_t headEnd = m.headRead ? std::string::npos : in.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      m.headRead = true;
      bodyStart = headEnd + 4;
      size_t at = in.find("\r\n");
      m.startLine = in.substr(0, at);
      for (at += 2; at < headEnd + 2; at = in.find("\r\n", at) + 2) {
        std::string line = in.substr(at, in.find("\r\n", at) - at);
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
          m.error = "malformed header line: \"" + line + "\"";
          m.raw = in;
          return m;
        }
        m.headers.push_back({line.substr(0, colon), Trim(line.substr(colon + 1))});
      }
      const std::string* declared = FindHeader(m.headers, "Content-Length");
      if (declared && (declared->empty() || declared->size() > 15 ||
                       declared->find_first_not_of("0123456789") != std::string::npos)) {
        m.error = "invalid Content-Length: \"" + *declared + "\"";
        m.raw = in;
        return m;
      }
      length = declared ? std::stoul(*declared) : untilClose ? std::string::npos : 0;
    }
    if (m.headRead && length != std::string::npos && in.size() >= bodyStart + length) {
      m.body = in.substr(bodyStart, length);
      m.raw = in.substr(0, bodyStart + length);
      return m;
    }
    char buffer[16384];
    ERR_clear_error();
    errno = 0;
    int n = ssl ? SSL_read(ssl, buffer, sizeof buffer) : static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
    if (n > 0) {
      in.append(buffer, static_cast<size_t>(n));
      continue;
    }
    std::string why = IoError(ssl, n);
    m.raw = in;
    if (why.empty() && m.headRead && length == std::string::npos) {
      m.body = in.substr(bodyStart);
      return m;
    }
    m.error = !why.empty() ? "receive: " + why
              : in.empty() ? "connection closed without a message"
                           : "connection closed inside the message";
    return m;
  }
}

bool WriteAll(int fd, SSL* ssl, const std::string& data, std::string* error) {
  for (size_t sent = 0; sent < data.size();) {
    ERR_clear_error();
    errno = 0;
    const char* from = data.data() + sent;
    int n = ssl ? SSL_write(ssl, from, static_cast<int>(data.size() - sent))
                : static_cast<int>(send(fd, from, data.size() - sent, MSG_NOSIGNAL));
    if (n <= 0) {
      std::string why = IoError(ssl, n);
      if (error) *error = why.empty() ? "connection closed" : why;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  std::string why;
  int fd = Connect(host, port, timeoutMs, why);
  if (fd >= 0) SetTimeouts(fd, 0);
  if (fd < 0 && error) *error = why;
  return fd;
}

HttpResponse SendRaw(const std::string& host, uint16_t port, const std::string& bytes,
                     const ClientOptions& options) {
  SigpipeBlock sigpipe;
  HttpResponse r;
  int fd = Connect(host, port, options.timeoutMs, r.error);
  if (fd < 0) return r;
  SslPtr ssl = options.tls ? Handshake(fd, host, options.caFile, r.error) : nullptr;
  if (!options.tls || ssl) r = Exchange(fd, ssl.get(), bytes);
  ssl.reset();
  close(fd);
  return r;
}

HttpResponse ReadResponse(int fd, const ClientOptions& options) {
  SetTimeouts(fd, options.timeoutMs);
  HttpResponse r = Exchange(fd, nullptr, "");
  SetTimeouts(fd, 0);
  return r;
}

HttpResponse Send(const std::string& host, uint16_t port, const std::string& method,
                  const std::string& target, const std::vector<Header>& headers,
                  const std::string& body, const ClientOptions& options) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) + "\r\n";
  for (const Header& h : headers) request += h.name + ": " + h.value + "\r\n";
  bool bodyless = method == "GET" || method == "HEAD" || method == "DELETE" || method == "OPTIONS";
  if (!body.empty() || !bodyless) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return SendRaw(host, port, request + "Connection: close\r\n\r\n" + body, options);
}

}  // namespace testsupport
