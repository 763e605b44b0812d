#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "TestPki.h"

extern char** environ;

namespace testsupport {

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

ChildProcess::ChildProcess(const std::string& binary) : binary_(binary), dir_(MakeTempDir("s2t-e2e-")) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && exitStatus_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
  RemoveTree(dir_);
}

std::string ChildProcess::WriteFile(const std::string& name, const std::string& content) const {
  std::string path = dir_ + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

bool ChildProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;

  std::vector<std::string> argStrings(prefix_);
  argStrings.push_back(binary_);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envStrings(extraEnv);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable(*entry);
    std::string name = variable.substr(0, variable.find('=') + 1);
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced = replaced || extra.compare(0, name.size(), name) == 0;
    if (!replaced) envStrings.push_back(variable);
  }
  std::vector<char*> envp;
  for (std::string& entry : envStrings) envp.push_back(&entry[0]);
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    if (chdir(dir_.c_str()) != 0) _exit(127);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    return false;
  }
  reader_ = std::thread(&ChildProcess::ReadOutput, this, pipeFds[0]);
  return true;
}

void ChildProcess::ReadOutput(int fd) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (n <= 0) {
      closed_ = true;
      cv_.notify_all();
      break;
    }
    output_.append(chunk, static_cast<size_t>(n));
    cv_.notify_all();
  }
  close(fd);
}

std::string ChildProcess::Output() const {
  std::lock_guard<std::mutex> lock(mu_);
  return output_;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs, size_t from) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return output_.find(text, from) != std::string::npos || closed_;
  }) && output_.find(text, from) != std::string::npos;
}

bool ChildProcess::Reap(int options) {
  if (exitStatus_ != -1) return true;
  int status = 0;
  if (waitpid(pid_, &status, options) != pid_) return false;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (reader_.joinable()) reader_.join();
  return true;
}

int ChildProcess::WaitForExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitStatus_;
}

bool ChildProcess::Running() { return pid_ > 0 && !Reap(WNOHANG); }

int ChildProcess::Stop(int signal) {
  if (Running()) kill(pid_, signal);
  return WaitForExit();
}

}  // namespace testsupport
