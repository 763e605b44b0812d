// Runs the real s2t-server binary for end-to-end tests: a temporary configuration,
// a free loopback port, standard output captured for the trace assertions.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpClient.h"

namespace testsupport {

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort();

class ServiceProcess {
 public:
  ServiceProcess();
  ~ServiceProcess();  // kills the process if it still runs, removes the temp directory
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& Dir() const { return dir_; }
  // Runs the binary through this command (for instance unshare), which execs the rest.
  void SetCommandPrefix(const std::vector<std::string>& prefix) { prefix_ = prefix; }
  std::string WriteFile(const std::string& name, const std::string& content) const;

  // Starts the binary with these arguments (none: it reads "brivel.json" in Dir()).
  bool Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {});
  // Writes `config` to a file and starts with its path; waits for the loop's start line.
  bool StartWithConfig(const std::string& config, const std::vector<std::string>& extraEnv = {});
  // Same, with the plain HTTP listener on 127.0.0.1 at Port() and `extra` members
  // ("key": value, ...) added to the "http-server" section, plus `cloud` as the
  // "google-cloud" section.
  bool StartPlain(const std::string& extra = "", const std::string& cloud = "{}",
                  const std::vector<std::string>& extraEnv = {});

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }

  // Everything the process wrote to standard output (and error) so far.
  std::string Output() const;
  // Waits until the output holds `text`, counted from byte `from`; hang guard only.
  bool WaitForOutput(const std::string& text, int timeoutMs = 20000, size_t from = 0) const;
  // Waits for the process to end; returns its exit status, or -1 on timeout or signal.
  int WaitForExit(int timeoutMs = 20000);
  bool Running();

  // Requests to the service on 127.0.0.1:Port().
  HttpResponse Send(const std::string& method, const std::string& target,
                    const std::vector<Header>& headers = {}, const std::string& body = "",
                    const ClientOptions& options = {}) const;
  // An authorised "/exit"; returns the exit status.
  int Exit(const std::string& adminToken = "", const ClientOptions& options = {});

 private:
  void ReadOutput(int fd);

  std::string dir_;
  std::vector<std::string> prefix_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  std::thread reader_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string output_;
  bool closed_ = false;
};

}  // namespace testsupport
