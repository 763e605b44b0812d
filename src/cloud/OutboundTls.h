#pragma once

#include <map>
#include <string>

struct bufferevent;
struct event_base;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct x509_store_st X509_STORE;

// The TLS of the calls to the cloud: a context of its own, so that the listener's
// certificate is never offered to an endpoint; the certificate authorities it trusts
// (OpenSSL's default verify paths: SSL_CERT_FILE and SSL_CERT_DIR can name others);
// and the newest session of each endpoint, offered again on its next connection.
class OutboundTls
{
public:
    OutboundTls() = default;
    ~OutboundTls();

    OutboundTls(const OutboundTls&) = delete;
    OutboundTls& operator=(const OutboundTls&) = delete;

    // Made on first use; null when it cannot be.
    SSL_CTX* Context();
    // Loaded on first use; null when it cannot be.
    X509_STORE* TrustStore();
    // Of an endpoint, "host port".
    SSL_SESSION* FindSession(const std::string& endpoint) const;
    void KeepSession(const std::string& endpoint, SSL_SESSION* pSession);
    // A TLS stream to `host` that verifies it before anything is sent: the chain
    // against the trust store, and the name or address. It offers the endpoint's
    // session, and keeps the one it offers next. Null, with `fault` saying why, when
    // it cannot be made.
    bufferevent* NewStream(event_base* pBase, const std::string& host, const std::string& endpoint, const char*& fault);
    // Why the stream's certificate check failed, or empty.
    static std::string VerificationFailure(bufferevent* pStream);
    void Release();
    // A session `pSsl`'s endpoint offers; with TLS 1.3 it comes after the handshake.
    void OnNewSession(SSL* pSsl, SSL_SESSION* pSession);

private:
    X509_STORE* m_pTrustStore = nullptr;
    SSL_CTX* m_pContext = nullptr;
    std::map<std::string, SSL_SESSION*> m_Sessions;
};
