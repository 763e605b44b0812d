#include "ServiceProcess.h"

namespace testsupport {

bool ServiceProcess::StartWithConfig(const std::string& config, const std::vector<std::string>& extraEnv) {
  return Start({WriteFile("config.json", config)}, extraEnv) && WaitForOutput("Start HTTP event loop <S2t>\n");
}

bool ServiceProcess::StartPlain(const std::string& extra, const std::string& cloud,
                                const std::vector<std::string>& extraEnv) {
  port_ = FreeLoopbackPort();
  std::string server = "\"address\": \"127.0.0.1\", \"port\": " + std::to_string(port_);
  if (!extra.empty()) server += ", " + extra;
  return StartWithConfig("{\"http-server\": {" + server + "}, \"google-cloud\": " + cloud + "}", extraEnv);
}

HttpResponse ServiceProcess::Send(const std::string& method, const std::string& target,
                                  const std::vector<Header>& headers, const std::string& body,
                                  const ClientOptions& options) const {
  return testsupport::Send("127.0.0.1", port_, method, target, headers, body, options);
}

int ServiceProcess::Exit(const std::string& adminToken, const ClientOptions& options) {
  std::vector<Header> headers;
  if (!adminToken.empty()) headers.push_back({"Authorization", adminToken});
  HttpResponse response = Send("GET", "/exit", headers, "", options);
  if (!response.ok || response.status != 200) return -1;
  return WaitForExit();
}

}  // namespace testsupport
