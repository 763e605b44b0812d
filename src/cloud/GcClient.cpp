#include "GcClient.h"

#include "base/Trace.h"

GcClient::GcClient(const CloudSettings& settings, event_base* pBase, evdns_base* pDnsBase, Budget* pBudget,
                   Metrics& metrics, std::function<void()> onDeleted)
    : m_Settings(settings)
    , m_pDnsBase(pDnsBase)
    , m_Pool(pBase, settings.idleConnections, std::chrono::seconds(settings.idleTimeoutSeconds))
    , m_CallContext{pBase,
                    nullptr,
                    m_Tls,
                    settings.maxReplySize,
                    settings.accessKey,
                    nullptr,
                    pBudget,
                    metrics,
                    static_cast<int>(settings.retries),
                    std::chrono::seconds(settings.connectTimeoutSeconds),
                    &m_Pool}
    , m_TokenCallContext(m_CallContext)
    , m_TokenCalls(*this)
    , m_Credentials(m_Settings, m_TokenCalls, pBase, metrics)
    , m_Storage(m_Settings, *this, metrics, std::move(onDeleted))
{
    if (m_Credentials.Configured())
        m_CallContext.pCredentials = &m_Credentials;
}

GcClient::~GcClient()
{
    Release();
}

bool GcClient::Check()
{
    if (m_Storage.Configured() && !m_Credentials.Configured())
        Trace::Print("storage-bucket is set without credentials: Google takes uploads only with an access token\n");
    return !m_Credentials.Configured() || m_Credentials.Load();
}

bool GcClient::Start()
{
    if (!Check())
        return false;
    if (m_Credentials.Configured())
        m_Credentials.Start();
    return true;
}

// The hosts file is read when the first call is made.
void GcClient::MakeResolver()
{
    if (m_pResolver == nullptr && m_pDnsBase != nullptr)
        m_pResolver = std::make_unique<Resolver>(m_CallContext.pBase, m_pDnsBase);
    m_CallContext.pResolver = m_TokenCallContext.pResolver = m_pResolver.get();
}

std::unique_ptr<CloudExchange> GcClient::NewExchange(CloudExchange::Owner& owner, const std::string& label)
{
    MakeResolver();
    return std::make_unique<CloudCall>(owner, m_CallContext, label);
}

std::unique_ptr<CloudExchange> GcClient::TokenCalls::NewExchange(CloudExchange::Owner& owner, const std::string& label)
{
    m_Client.MakeResolver();
    return std::make_unique<CloudCall>(owner, m_Client.m_TokenCallContext, label);
}

void GcClient::Release()
{
    m_Storage.Release();
    m_Credentials.Release();
    m_Pool.Release();
    m_pResolver.reset();
    m_CallContext.pResolver = m_TokenCallContext.pResolver = nullptr;
    m_Tls.Release();
}
