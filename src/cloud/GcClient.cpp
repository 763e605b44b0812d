#include "GcClient.h"

GcClient::GcClient(const CloudSettings& settings, event_base* pBase, evdns_base* pDnsBase)
    : m_Settings(settings)
    , m_pDnsBase(pDnsBase)
    , m_CallContext{pBase, nullptr, m_Tls, settings.maxReplySize, settings.accessKey}
{
}

GcClient::~GcClient()
{
    Release();
}

std::unique_ptr<CloudExchange> GcClient::NewExchange(CloudExchange::Owner& owner, const uint64_t& id)
{
    // The hosts file is read when the first name is looked up.
    if (m_pResolver == nullptr && m_pDnsBase != nullptr)
        m_pResolver = std::make_unique<Resolver>(m_CallContext.pBase, m_pDnsBase);
    m_CallContext.pResolver = m_pResolver.get();
    return std::make_unique<CloudCall>(owner, m_CallContext, id);
}

void GcClient::Release()
{
    m_pResolver.reset();
    m_CallContext.pResolver = nullptr;
    m_Tls.Release();
}
