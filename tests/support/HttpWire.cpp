#include "HttpWire.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <cctype>

namespace testsupport {
namespace wire {
namespace {

bool IsTchar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::string("!#$%&'*+-.^_`|~").find(c) != std::string::npos;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseDecimal(const std::string& s, size_t& out) {
  if (s.empty() || s.size() > 18) return false;
  size_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<size_t>(c - '0');
  }
  out = v;
  return true;
}

IoResult SslResult(int code, const char* what, std::string& error) {
  switch (code) {
    case SSL_ERROR_WANT_READ: return IoResult::WantRead;
    case SSL_ERROR_WANT_WRITE: return IoResult::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return IoResult::Eof;
    case SSL_ERROR_SYSCALL:
      if (errno == 0 && ERR_peek_error() == 0) return IoResult::Eof;
      error = errno ? ErrnoText(what) : SslErrorText(what);
      return IoResult::Error;
    default:
      error = SslErrorText(what);
      return IoResult::Error;
  }
}

}  // namespace

std::string ErrnoText(const char* what) { return std::string(what) + ": " + strerror(errno); }

std::string SslErrorText(const char* what) {
  std::string s = what;
  unsigned long e;
  char buf[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, buf, sizeof buf);
    s += std::string(": ") + buf;
  }
  return s;
}

IoResult Stream::Read(char* buf, size_t cap, size_t& n, std::string& error) {
  if (!ssl_) {
    for (;;) {
      ssize_t r = recv(fd_, buf, cap, 0);
      if (r > 0) {
        n = static_cast<size_t>(r);
        return IoResult::Ok;
      }
      if (r == 0) return IoResult::Eof;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoResult::WantRead;
      error = ErrnoText("recv");
      return IoResult::Error;
    }
  }
  ERR_clear_error();
  errno = 0;
  if (SSL_read_ex(ssl_, buf, cap, &n) == 1) return IoResult::Ok;
  return SslResult(SSL_get_error(ssl_, 0), "SSL_read", error);
}

IoResult Stream::Write(const char* buf, size_t len, size_t& n, std::string& error) {
  if (!ssl_) {
    for (;;) {
      ssize_t r = send(fd_, buf, len, MSG_NOSIGNAL);
      if (r >= 0) {
        n = static_cast<size_t>(r);
        return IoResult::Ok;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoResult::WantWrite;
      error = ErrnoText("send");
      return IoResult::Error;
    }
  }
  ERR_clear_error();
  errno = 0;
  if (SSL_write_ex(ssl_, buf, len, &n) == 1) return IoResult::Ok;
  return SslResult(SSL_get_error(ssl_, 0), "SSL_write", error);
}

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

const std::string* FindHeader(const std::vector<Header>& headers, const std::string& name) {
  for (const Header& h : headers)
    if (IEquals(h.name, name)) return &h.value;
  return nullptr;
}

size_t CountHeader(const std::vector<Header>& headers, const std::string& name) {
  size_t n = 0;
  for (const Header& h : headers)
    if (IEquals(h.name, name)) ++n;
  return n;
}

bool ParseHead(const std::string& head, std::string& startLine, std::vector<Header>& headers,
               std::string& error) {
  headers.clear();
  size_t pos = head.find("\r\n");
  startLine = head.substr(0, pos);
  while (pos != std::string::npos) {
    size_t begin = pos + 2;
    pos = head.find("\r\n", begin);
    std::string line = head.substr(begin, pos == std::string::npos ? std::string::npos : pos - begin);
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      error = "malformed header line: \"" + line + "\"";
      return false;
    }
    std::string name = line.substr(0, colon);
    for (char c : name) {
      if (!IsTchar(c)) {
        error = "invalid header name: \"" + name + "\"";
        return false;
      }
    }
    std::string value = Trim(line.substr(colon + 1));
    if (value.find_first_of("\r\n") != std::string::npos) {
      error = "bare CR/LF in header \"" + name + "\"";
      return false;
    }
    headers.push_back({name, value});
  }
  if (startLine.find_first_of("\r\n") != std::string::npos) {
    error = "bare CR/LF in start line";
    return false;
  }
  return true;
}

bool BodyFraming(const std::vector<Header>& headers, Framing& framing, size_t& length,
                 std::string& error) {
  framing = Framing::None;
  length = 0;
  const std::string* te = FindHeader(headers, "Transfer-Encoding");
  bool haveLength = false;
  for (const Header& h : headers) {
    if (!IEquals(h.name, "Content-Length")) continue;
    size_t v = 0;
    if (!ParseDecimal(h.value, v)) {
      error = "invalid Content-Length: \"" + h.value + "\"";
      return false;
    }
    if (haveLength && v != length) {
      error = "conflicting Content-Length headers";
      return false;
    }
    haveLength = true;
    length = v;
  }
  if (te) {
    if (haveLength) {
      error = "both Transfer-Encoding and Content-Length";
      return false;
    }
    if (CountHeader(headers, "Transfer-Encoding") != 1 || !IEquals(*te, "chunked")) {
      error = "unsupported Transfer-Encoding: \"" + *te + "\"";
      return false;
    }
    framing = Framing::Chunked;
    return true;
  }
  if (haveLength) framing = Framing::Length;
  return true;
}

Progress DecodeChunked(const std::string& data, size_t start, std::string& body, size_t& end,
                       std::string& error) {
  std::string out;
  size_t pos = start;
  for (;;) {
    size_t eol = data.find("\r\n", pos);
    if (eol == std::string::npos) return Progress::NeedMore;
    std::string line = data.substr(pos, eol - pos);
    std::string sizeText = Trim(line.substr(0, line.find(';')));
    if (sizeText.empty() || sizeText.size() > 15 ||
        sizeText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      error = "invalid chunk size line: \"" + line + "\"";
      return Progress::Error;
    }
    size_t size = std::stoul(sizeText, nullptr, 16);
    pos = eol + 2;
    if (size == 0) {
      // Trailer section: header lines up to an empty line.
      for (;;) {
        size_t t = data.find("\r\n", pos);
        if (t == std::string::npos) return Progress::NeedMore;
        bool empty = t == pos;
        pos = t + 2;
        if (empty) break;
      }
      body.swap(out);
      end = pos;
      return Progress::Complete;
    }
    if (data.size() < pos + size + 2) return Progress::NeedMore;
    if (data.compare(pos + size, 2, "\r\n") != 0) {
      error = "chunk data not followed by CRLF";
      return Progress::Error;
    }
    out.append(data, pos, size);
    pos += size + 2;
  }
}

SigpipeGuard::SigpipeGuard() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &oldMask_);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  wasPending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
  if (!wasPending_) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      timespec zero{0, 0};
      int saved = errno;
      while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
      }
      errno = saved;
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

}  // namespace wire
}  // namespace testsupport
