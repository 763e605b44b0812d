#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CloudCall.h"
#include "CloudExchange.h"
#include "OutboundTls.h"
#include "Resolver.h"
#include "base/Config.h"

struct event_base;
struct evdns_base;

// The client of the two cloud services: their endpoints and access key, and what
// the calls to them share (the name lookups, the outbound TLS context, the sessions
// of each endpoint). The chain of calls of one recording is a Transcription.
class GcClient : public CloudExchange::Maker
{
public:
    // Without `pDnsBase`, libevent looks names up itself.
    GcClient(const CloudSettings& settings, event_base* pBase, evdns_base* pDnsBase);
    ~GcClient();

    GcClient(const GcClient&) = delete;
    GcClient& operator=(const GcClient&) = delete;

    const CloudSettings& Settings() const { return m_Settings; }
    std::unique_ptr<CloudExchange> NewExchange(CloudExchange::Owner& owner, const uint64_t& id) override;
    // Frees the lookups and the TLS state, before the bases they use go.
    void Release();

private:
    CloudSettings m_Settings;
    evdns_base* m_pDnsBase;
    std::unique_ptr<Resolver> m_pResolver; // made on first use
    OutboundTls m_Tls;
    CloudCall::Context m_CallContext;
};
