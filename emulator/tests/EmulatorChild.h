#pragma once
// The real s2t-cloud-emulator binary for the tests that talk to it over
// loopback HTTP, on a port it picks itself so that parallel runs never clash.
#include "ChildProcess.h"
#include "HttpClient.h"

#include <cstdint>
#include <string>
#include <vector>

// Hang guard only: loading the model or decoding under the sanitizers is slow.
constexpr int kHangGuardMs = 120000;

class EmulatorChild : public testsupport::ChildProcess {
public:
    EmulatorChild() : ChildProcess(S2T_EMULATOR_BINARY) {}

    // Starts with `args` plus --port 0 and takes the port from "listening on ADDR:PORT";
    // false if it exited or went silent instead.
    bool StartListening(const std::vector<std::string>& args);
    uint16_t Port() const { return port_; }
    // One request to 127.0.0.1:Port(), with a JSON body as Google's clients send.
    testsupport::HttpResponse Send(const std::string& method, const std::string& target,
                                   std::vector<testsupport::Header> headers = {},
                                   const std::string& body = "") const;
    // The whole output line holding `text` once it is printed; "" if it never is.
    std::string WaitForLine(const std::string& text) const;

private:
    uint16_t port_ = 0;
};
