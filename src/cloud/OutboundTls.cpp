#include "OutboundTls.h"

#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace
{

// Each handle carries its endpoint's key, freed with the handle: a session can come
// while the connection is idle, after the call that opened it has ended.
void FreeEndpoint(void*, void* pEndpoint, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<std::string*>(pEndpoint);
}

int EndpointIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeEndpoint);
    return index;
}

int KeepNewSession(SSL* pSsl, SSL_SESSION* pSession)
{
    if (auto* pTls = static_cast<OutboundTls*>(SSL_get_app_data(pSsl)))
        pTls->OnNewSession(pSsl, pSession);
    return 0;
}

} // namespace

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

SSL_CTX* OutboundTls::Context()
{
    if (m_pContext != nullptr)
        return m_pContext;
    m_pContext = SSL_CTX_new(TLS_client_method());
    if (m_pContext != nullptr)
    {
        // Sessions are kept here, one per endpoint, not in OpenSSL's own cache.
        SSL_CTX_set_session_cache_mode(m_pContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_pContext, KeepNewSession);
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

// A copy is kept: the connection's own is marked spent when the connection is freed
// without a TLS shutdown, which evhttp never sends.
void OutboundTls::OnNewSession(SSL* pSsl, SSL_SESSION* pSession)
{
    const auto* pEndpoint = static_cast<const std::string*>(SSL_get_ex_data(pSsl, EndpointIndex()));
    SSL_SESSION* pCopy = pEndpoint != nullptr ? SSL_SESSION_dup(pSession) : nullptr;
    if (pCopy != nullptr)
        KeepSession(*pEndpoint, pCopy);
}

bufferevent* OutboundTls::NewStream(event_base* pBase, const std::string& host, const std::string& endpoint,
                                    const char*& fault)
{
    SSL_CTX* pContext = Context();
    SSL* pSsl = pContext != nullptr ? SSL_new(pContext) : nullptr;
    if (pSsl == nullptr)
    {
        fault = pContext == nullptr ? "Failed to create HTTPS connection: OpenSSL context is not available"
                                    : "Failed to create new OpenSSL handle";
        return nullptr;
    }
    SSL_set_tlsext_host_name(pSsl, host.c_str());
    // Set on this connection's own handle, so the listening side is left as it is.
    X509_STORE* pTrustStore = TrustStore();
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    if (pTrustStore == nullptr || SSL_set1_verify_cert_store(pSsl, pTrustStore) != 1 ||
        (X509_VERIFY_PARAM_set1_ip_asc(pParam, host.c_str()) != 1 && SSL_set1_host(pSsl, host.c_str()) != 1))
    {
        fault = "Failed to set up certificate verification";
        SSL_free(pSsl);
        return nullptr;
    }
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, nullptr);
    // The session of an earlier call to this endpoint saves the full handshake; when
    // the endpoint does not take it up, the handshake is full and verified as above.
    SSL_set_app_data(pSsl, this);
    SSL_set_ex_data(pSsl, EndpointIndex(), new std::string(endpoint));
    if (SSL_SESSION* pSession = FindSession(endpoint))
        SSL_set_session(pSsl, pSession);
    // From here the bufferevent owns the SSL handle, and frees it with itself.
    bufferevent* pStream = bufferevent_openssl_socket_new(pBase, -1, pSsl, BUFFEREVENT_SSL_CONNECTING,
                                                          BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
    if (pStream == nullptr)
    {
        fault = "Failed to create new OpenSSL bufferevent";
        SSL_free(pSsl);
        return nullptr;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(pStream, 1);
    return pStream;
}

std::string OutboundTls::VerificationFailure(bufferevent* pStream)
{
    SSL* pSsl = pStream != nullptr ? bufferevent_openssl_get_ssl(pStream) : nullptr;
    const long result = pSsl != nullptr ? SSL_get_verify_result(pSsl) : X509_V_OK;
    return result != X509_V_OK ? X509_verify_cert_error_string(result) : "";
}
