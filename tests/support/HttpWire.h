// HTTP/1.1 message framing shared by the test client and the stand-in server.
// Deliberately strict: malformed input from the code under test is reported,
// not tolerated.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>
#include <vector>

#include "HttpClient.h"

typedef struct ssl_st SSL;

namespace testsupport {
namespace wire {

bool IEquals(const std::string& a, const std::string& b);
const std::string* FindHeader(const std::vector<Header>& headers, const std::string& name);
size_t CountHeader(const std::vector<Header>& headers, const std::string& name);

// Splits a message head (start line + header lines, CRLF separated, without the
// terminating empty line) into its start line and headers.
bool ParseHead(const std::string& head, std::string& startLine, std::vector<Header>& headers,
               std::string& error);

enum class Framing { None, Length, Chunked };
// How the body is delimited according to Content-Length / Transfer-Encoding.
bool BodyFraming(const std::vector<Header>& headers, Framing& framing, size_t& length,
                 std::string& error);

enum class Progress { Complete, NeedMore, Error };
// Decodes a chunked body that starts at data[start]; on Complete, `end` is the
// offset just past the final CRLF (trailers are skipped).
Progress DecodeChunked(const std::string& data, size_t start, std::string& body, size_t& end,
                       std::string& error);

// "what: strerror(errno)" and "what: <queued OpenSSL errors>" (drains the queue).
std::string ErrnoText(const char* what);
std::string SslErrorText(const char* what);

enum class IoResult { Ok, WantRead, WantWrite, Eof, Error };

// One connection, plain or TLS (ssl non-null), on a non-blocking socket. Owns nothing.
class Stream {
 public:
  Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  IoResult Read(char* buf, size_t cap, size_t& n, std::string& error);
  IoResult Write(const char* buf, size_t len, size_t& n, std::string& error);

 private:
  int fd_;
  SSL* ssl_;
};

// Blocks SIGPIPE for the calling thread for the guard's lifetime and discards a
// SIGPIPE raised meanwhile, so a peer closing early yields EPIPE instead of
// killing the test process, without changing process-wide signal handling.
class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t oldMask_;
  bool wasPending_ = false;
};

}  // namespace wire
}  // namespace testsupport
