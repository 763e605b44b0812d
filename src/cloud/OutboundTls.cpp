#include "OutboundTls.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

OutboundTls::~OutboundTls()
{
    Release();
}

void OutboundTls::Release()
{
    for (auto& session : m_Sessions)
        SSL_SESSION_free(session.second);
    m_Sessions.clear();
    if (m_pContext != nullptr)
        SSL_CTX_free(m_pContext);
    m_pContext = nullptr;
    if (m_pTrustStore != nullptr)
        X509_STORE_free(m_pTrustStore);
    m_pTrustStore = nullptr;
}

SSL_CTX* OutboundTls::Context(int (*keepSession)(SSL*, SSL_SESSION*))
{
    if (m_pContext != nullptr)
        return m_pContext;
    m_pContext = SSL_CTX_new(TLS_client_method());
    if (m_pContext != nullptr)
    {
        // Sessions are kept here, one per endpoint, not in OpenSSL's own cache.
        SSL_CTX_set_session_cache_mode(m_pContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_pContext, keepSession);
    }
    return m_pContext;
}

X509_STORE* OutboundTls::TrustStore()
{
    if (m_pTrustStore == nullptr)
    {
        m_pTrustStore = X509_STORE_new();
        if (m_pTrustStore != nullptr && X509_STORE_set_default_paths(m_pTrustStore) != 1)
        {
            X509_STORE_free(m_pTrustStore);
            m_pTrustStore = nullptr;
        }
    }
    return m_pTrustStore;
}

SSL_SESSION* OutboundTls::FindSession(const std::string& endpoint) const
{
    auto session = m_Sessions.find(endpoint);
    return session != m_Sessions.end() ? session->second : nullptr;
}

void OutboundTls::KeepSession(const std::string& endpoint, SSL_SESSION* pSession)
{
    SSL_SESSION*& pKept = m_Sessions[endpoint];
    if (pKept != nullptr)
        SSL_SESSION_free(pKept);
    pKept = pSession;
}
