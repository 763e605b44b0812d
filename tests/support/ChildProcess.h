// Runs a program of the project for end-to-end tests: its own temporary working
// directory, its standard output and error captured for the trace assertions.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort();

class ChildProcess {
 public:
  explicit ChildProcess(const std::string& binary);
  ~ChildProcess();  // kills the process if it still runs, removes the temp directory
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string WriteFile(const std::string& name, const std::string& content) const;
  // Runs the binary through this command (for instance unshare), which execs the rest.
  void SetCommandPrefix(const std::vector<std::string>& prefix) { prefix_ = prefix; }

  // Starts the binary in Dir(); `extraEnv` entries ("NAME=value") replace inherited ones.
  bool Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {});
  pid_t Pid() const { return pid_; }

  // Everything the process wrote so far.
  std::string Output() const;
  // Waits until the output holds `text`, counted from byte `from`; hang guard only.
  bool WaitForOutput(const std::string& text, int timeoutMs = 20000, size_t from = 0) const;
  // Waits for the process to end; returns its exit status (128 + signal when killed),
  // or -1 on timeout.
  int WaitForExit(int timeoutMs = 20000);
  bool Running();
  // Sends `signal` and waits for the end, as WaitForExit.
  int Stop(int signal);

 private:
  void ReadOutput(int fd);
  bool Reap(int options);

  std::string binary_;
  std::string dir_;
  std::vector<std::string> prefix_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  std::thread reader_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string output_;
  bool closed_ = false;
};

}  // namespace testsupport
