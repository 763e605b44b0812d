#include "ListenerTls.h"

#include <sys/socket.h>

#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "Connection.h"
#include "base/Config.h"
#include "base/Trace.h"

namespace
{

// TLS 1.2 with forward-secret AEAD suites, or TLS 1.3.
const char* const kListenerCiphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// First bytes on a connection that could not get TLS: close the socket so the HTTP
// layer sees the end of the stream and frees the connection.
void DropOnInput(evbuffer*, const evbuffer_cb_info* pInfo, void* pArg)
{
    if (pInfo->n_added == 0)
        return;
    evutil_socket_t fd = bufferevent_getfd(static_cast<bufferevent*>(pArg));
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

// Key updates a client sends, told to its connection; every other message passed over.
void MessageCb(int written, int, int contentType, const void* pData, size_t length, SSL* pSsl, void*)
{
    if (written != 0 || contentType != SSL3_RT_HANDSHAKE || length == 0 ||
        static_cast<const unsigned char*>(pData)[0] != SSL3_MT_KEY_UPDATE)
        return;
    if (Connection* pConnection = static_cast<Connection*>(SSL_get_app_data(pSsl)))
        pConnection->OnKeyUpdate();
}

bool LoadCertificates(SSL_CTX* pContext, const ListenerSettings& settings)
{
    const char* chain = settings.certificateChain.c_str();
    const char* key = settings.privateKey.c_str();
    Trace::Print("Loading certificate chain [%s] private key [%s]\n", chain, key);
    if (SSL_CTX_use_certificate_chain_file(pContext, chain) == 1 &&
        SSL_CTX_use_PrivateKey_file(pContext, key, SSL_FILETYPE_PEM) == 1 && SSL_CTX_check_private_key(pContext) == 1)
        return true;
    Trace::Print("Failed to load certificate chain [%s] private key [%s]: %s\n", chain, key, OpenSslReason().c_str());
    return false;
}

} // namespace

SSL_CTX* NewListenerTlsContext(const ListenerSettings& settings, const std::string& name)
{
    SSL_CTX* pContext = SSL_CTX_new(TLS_method());
    if (pContext == nullptr)
    {
        Trace::Print("Failed to initialize OpenSSL context <%s>\n", name.c_str());
        return nullptr;
    }
    SSL_CTX_set_options(pContext, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_min_proto_version(pContext, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(pContext, kListenerCiphers) != 1)
    {
        Trace::Print("Failed to set the TLS protocols and ciphers <%s>: %s\n", name.c_str(), OpenSslReason().c_str());
        SSL_CTX_free(pContext);
        return nullptr;
    }
    if (!LoadCertificates(pContext, settings))
    {
        SSL_CTX_free(pContext);
        return nullptr;
    }
    SSL_CTX_set_msg_callback(pContext, MessageCb);
    return pContext;
}

void WatchKeyUpdates(bufferevent* pStream, Connection* pConnection)
{
    if (SSL* pSsl = bufferevent_openssl_get_ssl(pStream))
        SSL_set_app_data(pSsl, pConnection);
}

bufferevent* NewDroppingBufferevent(event_base* pEventBase)
{
    // Its input is frozen at the front, so the HTTP layer never reads a request.
    // Handing it no bufferevent at all would make it serve the connection in plain text.
    bufferevent* pBev = bufferevent_socket_new(pEventBase, -1, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
        return nullptr;
    evbuffer* pInput = bufferevent_get_input(pBev);
    evbuffer_freeze(pInput, 1);
    evbuffer_add_cb(pInput, DropOnInput, pBev);
    return pBev;
}

bufferevent* NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext)
{
    SSL* pSsl = SSL_new(pContext);
    if (pSsl == nullptr)
    {
        Trace::Print("Failed to create OpenSSL handle for an accepted connection: %s\n", OpenSslReason().c_str());
        return NewDroppingBufferevent(pEventBase);
    }
    // From here the bufferevent owns the SSL handle and frees it with the connection.
    bufferevent* pBev =
        bufferevent_openssl_socket_new(pEventBase, -1, pSsl, BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
    if (pBev == nullptr)
    {
        SSL_free(pSsl);
        Trace::Print("Failed to create OpenSSL bufferevent for an accepted connection\n");
        return NewDroppingBufferevent(pEventBase);
    }
    return pBev;
}

// OpenSSL itself calls a file it could not read "system lib"; the error queued
// before that holds the system's own words.
std::string OpenSslReason()
{
    std::string text = "unknown error";
    bool fromSystem = false;
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error())
    {
        const char* reason = ERR_reason_error_string(error);
        if (ERR_SYSTEM_ERROR(error))
            text = strerror(ERR_GET_REASON(error));
        else if (!fromSystem && reason != nullptr)
            text = reason;
        fromSystem = fromSystem || ERR_SYSTEM_ERROR(error);
    }
    return text;
}
