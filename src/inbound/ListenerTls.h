#pragma once

#include <string>

class Connection;
struct bufferevent;
struct event_base;
struct ListenerSettings;
typedef struct ssl_ctx_st SSL_CTX;

// The TLS of the listening side: modern clients only, with the certificate chain and
// private key the configuration names.

// The context, or null, traced with the service's `name`, when it cannot be set up.
SSL_CTX* NewListenerTlsContext(const ListenerSettings& settings, const std::string& name);
// Wraps an accepted connection in TLS. A connection whose TLS object cannot be made
// is dropped rather than served in plain text.
bufferevent* NewAcceptedBufferevent(event_base* pEventBase, SSL_CTX* pContext);
// Tells `pConnection` of each TLS key update its client asks for on `pStream`.
void WatchKeyUpdates(bufferevent* pStream, Connection* pConnection);
// A stream that closes at its first bytes, never letting the HTTP layer read a request.
bufferevent* NewDroppingBufferevent(event_base* pEventBase);
// OpenSSL's reason for its last failure, or the system's own words for a file it
// could not read ("Permission denied"); the error queue is emptied.
std::string OpenSslReason();
