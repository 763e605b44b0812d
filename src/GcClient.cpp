#include "GcClient.h"

GcClient::GcClient(const std::string& name, S2tServer* pServer)
    : m_Name(name)
    , m_pServer(pServer)
{
}

bool GcClient::LoadConfig(const rapidjson::Value& config)
{
    CopyStringMember(config, "service-account", m_ServiceAccount);
    CopyStringMember(config, "speech-service-endpoint", m_SpeechServiceEndpoint);
    CopyStringMember(config, "language-service-endpoint", m_LanguageServiceEndpoint);
    CopyStringMember(config, "access-key", m_AccessKey);
    return true;
}

GcClient::GcRequest::GcRequest(S2tServer* pServer, GcClient* pClient)
    : S2tServer::Request(pServer)
    , m_pClient(pClient)
    , m_State(State_None)
{
}

GcClient::GcRequest::~GcRequest() = default;

bool GcClient::GcRequest::Process()
{
    // No cloud call can be started yet.
    return false;
}
