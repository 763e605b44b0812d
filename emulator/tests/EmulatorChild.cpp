#include "EmulatorChild.h"

#include <cstdlib>

bool EmulatorChild::StartListening(const std::vector<std::string>& args)
{
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--port", "0"});
    const std::string prefix = "listening on ";
    const std::string line = Start(all) ? WaitForLine(prefix) : "";
    const size_t colon = line.rfind(':');
    if (line.rfind(prefix, 0) != 0 || colon == std::string::npos)
        return false;
    port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
    return port_ != 0;
}

testsupport::HttpResponse EmulatorChild::Send(const std::string& method, const std::string& target,
                                              std::vector<testsupport::Header> headers,
                                              const std::string& body) const
{
    if (method == "POST" || !body.empty())
        headers.push_back({"Content-Type", "application/json"});
    testsupport::ClientOptions options;
    options.timeoutMs = kHangGuardMs;
    return testsupport::Send("127.0.0.1", port_, method, target, headers, body, options);
}

std::string EmulatorChild::WaitForLine(const std::string& text) const
{
    if (!WaitForOutput(text, kHangGuardMs))
        return "";
    const size_t at = Output().find(text);
    if (!WaitForOutput("\n", kHangGuardMs, at))
        return "";
    const std::string output = Output();
    const size_t begin = output.rfind('\n', at);
    const size_t start = begin == std::string::npos ? 0 : begin + 1;
    return output.substr(start, output.find('\n', at) - start);
}
