// Test access to the service's private state.
#pragma once

#include <string>

#include "GcClient.h"
#include "S2tServer.h"

struct S2tServerInspector {
  explicit S2tServerInspector(S2tServer& server) : s(server) {
    if (s.m_pGcClient == nullptr) s.m_pGcClient = new GcClient("GC", &s);
  }
  ~S2tServerInspector() { s.Cleanup(); }

  bool LoadConfig(const std::string& path) { return s.LoadConfig(path); }
  bool OnTranscribeRequest(const HeaderMap& headers, const std::string& body) {
    return s.OnTranscribeRequest(nullptr, headers, body);
  }

  const GcClient& Client() const { return *s.m_pGcClient; }
  const std::string& Address() const { return s.m_Address; }
  uint16_t Port() const { return s.m_Port; }
  bool Secure() const { return s.m_Secure; }
  const std::string& CertChain() const { return s.m_CertChain; }
  const std::string& PrivateKey() const { return s.m_PrivateKey; }
  const std::string& ClientToken() const { return s.m_ClientAuthToken; }
  const std::string& AdminToken() const { return s.m_AdminAuthToken; }
  uint64_t& LastRequestId() { return s.m_LastRequestId; }
  std::map<uint64_t, S2tServer::Request*>& RequestMap() { return s.m_RequestMap; }
  S2tServer& s;
};
