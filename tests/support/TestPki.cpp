#include "TestPki.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace testsupport {
namespace {

struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct CertFree { void operator()(X509* c) const { X509_free(c); } };
struct BnFree { void operator()(BIGNUM* b) const { BN_free(b); } };
struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

KeyPtr NewKey() { return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

bool AddExt(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key`, signed by `signerKey` under `signer`'s name, or
// self-signed when `signer` is null. `san` empty means no SubjectAltName.
CertPtr MakeCert(EVP_PKEY* key, const char* cn, X509* signer, EVP_PKEY* signerKey, bool ca,
                 const char* san) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  X509* x = cert.get();
  if (X509_set_version(x, X509_VERSION_3) != 1) return nullptr;

  // Random serials: certificates from different runs never collide in a cache.
  std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)))
    return nullptr;

  // Back-dated an hour against clock skew between generation and use.
  if (!X509_gmtime_adj(X509_getm_notBefore(x), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600))
    return nullptr;

  X509_NAME* name = X509_get_subject_name(x);
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("S2T tests"), -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                                 -1, -1, 0) != 1)
    return nullptr;
  if (X509_set_issuer_name(x, signer ? X509_get_subject_name(signer) : name) != 1) return nullptr;
  if (X509_set_pubkey(x, key) != 1) return nullptr;

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signer ? signer : x, x, nullptr, nullptr, 0);
  bool ok = true;
  if (ca) {
    ok = AddExt(x, &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExt(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = AddExt(x, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExt(x, &ctx, NID_key_usage, "critical,digitalSignature") &&
         AddExt(x, &ctx, NID_ext_key_usage, "serverAuth");
  }
  ok = ok && AddExt(x, &ctx, NID_subject_key_identifier, "hash") &&
       AddExt(x, &ctx, NID_authority_key_identifier, "keyid:always");
  if (ok && san && *san) ok = AddExt(x, &ctx, NID_subject_alt_name, san);
  if (!ok) return nullptr;

  if (X509_sign(x, signer ? signerKey : key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

bool WriteCert(const std::string& path, X509* cert) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "w"));
  return bio && PEM_write_bio_X509(bio.get(), cert) == 1;
}

bool WriteKey(const std::string& path, EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "w"));
  return bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace

bool MakeTestPki(const std::string& dir, TestPki& out) {
  TestPki p;
  p.caCert = dir + "/ca.pem";
  p.serverCert = dir + "/server.pem";
  p.serverKey = dir + "/server.key";
  p.wrongHostCert = dir + "/wronghost.pem";
  p.wrongHostKey = dir + "/wronghost.key";
  p.selfSignedCert = dir + "/selfsigned.pem";
  p.selfSignedKey = dir + "/selfsigned.key";
  p.mismatchedKey = dir + "/mismatched.key";

  const char* localSan = "DNS:localhost,IP:127.0.0.1,IP:::1";
  KeyPtr caKey = NewKey(), serverKey = NewKey(), wrongKey = NewKey(), selfKey = NewKey(),
         otherKey = NewKey();
  if (!caKey || !serverKey || !wrongKey || !selfKey || !otherKey) return false;

  CertPtr ca = MakeCert(caKey.get(), "S2T Test CA", nullptr, nullptr, true, "");
  if (!ca) return false;
  CertPtr server = MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), false, localSan);
  CertPtr wrong = MakeCert(wrongKey.get(), "wrong.example", ca.get(), caKey.get(), false,
                           "DNS:wrong.example");
  CertPtr self = MakeCert(selfKey.get(), "localhost", nullptr, nullptr, false, localSan);
  if (!server || !wrong || !self) return false;

  if (!WriteCert(p.caCert, ca.get()) ||
      !WriteCert(p.serverCert, server.get()) || !WriteKey(p.serverKey, serverKey.get()) ||
      !WriteCert(p.wrongHostCert, wrong.get()) || !WriteKey(p.wrongHostKey, wrongKey.get()) ||
      !WriteCert(p.selfSignedCert, self.get()) || !WriteKey(p.selfSignedKey, selfKey.get()) ||
      !WriteKey(p.mismatchedKey, otherKey.get()))
    return false;
  out = p;
  return true;
}

std::string MakeTempDir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  return std::string(buf.data());
}

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

}  // namespace testsupport
