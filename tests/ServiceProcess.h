// The real s2t-server binary under test: a temporary configuration, a free
// loopback port, requests to it, and its orderly stop through /exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "HttpClient.h"

namespace testsupport {

class ServiceProcess : public ChildProcess {
 public:
  ServiceProcess() : ChildProcess(S2T_SERVER_BINARY) {}

  // Writes `config` to a file and starts with its path; waits for the loop's start line.
  bool StartWithConfig(const std::string& config, const std::vector<std::string>& extraEnv = {});
  // Same, with the plain HTTP listener on 127.0.0.1 at Port() and `extra` members
  // ("key": value, ...) added to the "http-server" section, plus `cloud` as the
  // "google-cloud" section.
  bool StartPlain(const std::string& extra = "", const std::string& cloud = "{}",
                  const std::vector<std::string>& extraEnv = {});
  uint16_t Port() const { return port_; }

  // Requests to the service on 127.0.0.1:Port().
  HttpResponse Send(const std::string& method, const std::string& target,
                    const std::vector<Header>& headers = {}, const std::string& body = "",
                    const ClientOptions& options = {}) const;
  // An authorised "/exit"; returns the exit status, or -1 when it was not accepted.
  int Exit(const std::string& adminToken = "", const ClientOptions& options = {});

 private:
  uint16_t port_ = 0;
};

}  // namespace testsupport
