#pragma once

#include <functional>
#include <memory>
#include <string>

#include "CloudCall.h"
#include "CloudExchange.h"
#include "CloudPool.h"
#include "Credentials.h"
#include "OutboundTls.h"
#include "Resolver.h"
#include "Storage.h"
#include "base/Config.h"
#include "base/Metrics.h"

struct event_base;
struct evdns_base;

// The client of Google's services: their endpoints and key, and what the calls to
// them share (the name lookups, the outbound TLS context and each endpoint's session,
// the access token, the bucket for long recordings). The chain of calls of one
// recording is a Transcription.
class GcClient final : public CloudExchange::Maker
{
public:
    // Without `pDnsBase`, libevent looks names up itself. `onDeleted`: a recording's
    // object has been deleted, or given up.
    GcClient(const CloudSettings& settings, event_base* pBase, evdns_base* pDnsBase, Budget* pBudget, Metrics& metrics,
             std::function<void()> onDeleted);
    ~GcClient();

    GcClient(const GcClient&) = delete;
    GcClient& operator=(const GcClient&) = delete;

    // Loads the credentials, if any; false, traced, when they cannot be used.
    bool Check();
    // Checks, and starts fetching the credentials' token.
    bool Start();
    // Whether calls can go out: no credentials, or a token that has not expired.
    bool Ready() const { return !m_Credentials.Configured() || m_Credentials.Valid(); }
    const CloudSettings& Settings() const { return m_Settings; }
    Storage& GetStorage() { return m_Storage; }
    std::unique_ptr<CloudExchange> NewExchange(CloudExchange::Owner& owner, const std::string& label) override;
    // Closes the connections kept idle, and keeps none from then on.
    void CloseIdle() { m_Pool.Close(); }
    // Frees the lookups, the TLS state, the kept connections, the token's and the
    // deletions' calls, before the bases they use go.
    void Release();

private:
    // The token's own calls, which carry none.
    class TokenCalls final : public CloudExchange::Maker
    {
    public:
        explicit TokenCalls(GcClient& client)
            : m_Client(client)
        {
        }
        std::unique_ptr<CloudExchange> NewExchange(CloudExchange::Owner& owner, const std::string& label) override;

    private:
        GcClient& m_Client;
    };

    void MakeResolver();

    CloudSettings m_Settings;
    evdns_base* m_pDnsBase;
    std::unique_ptr<Resolver> m_pResolver; // made on first use
    OutboundTls m_Tls;
    CloudPool m_Pool;
    CloudCall::Context m_CallContext;
    CloudCall::Context m_TokenCallContext;
    TokenCalls m_TokenCalls;
    Credentials m_Credentials;
    Storage m_Storage;
};
