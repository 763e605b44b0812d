// Throw-away certificates and keys generated at test time, so no key material
// lives in the repository and nothing expires between runs.
#pragma once

#include <string>

namespace testsupport {

// Paths of PEM files (all keys are unencrypted EC P-256).
struct TestPki {
  std::string caCert;                         // test CA, trusted through caFile options
  std::string serverCert, serverKey;          // leaf signed by the CA: DNS:localhost, IP:127.0.0.1, IP:::1
  std::string wrongHostCert, wrongHostKey;    // signed by the CA, DNS:wrong.example only
  std::string selfSignedCert, selfSignedKey;  // localhost/127.0.0.1/::1, not signed by the CA
  std::string mismatchedKey;                  // a key that belongs to none of the certificates
};

// Writes the files above into `dir` (which must exist). False on any failure.
bool MakeTestPki(const std::string& dir, TestPki& out);

// mkdtemp under /tmp ("/tmp/<prefix>XXXXXX"); empty string on failure.
std::string MakeTempDir(const char* prefix);

// Recursive delete; silently ignores what cannot be removed.
void RemoveTree(const std::string& path);

}  // namespace testsupport
