#pragma once

#include <string>

#include <rapidjson/document.h>

#include "S2tServer.h"

class GcClient
{
public:
    // One transcription carried through the cloud calls.
    class GcRequest : public S2tServer::Request
    {
    public:
        enum State
        {
            State_None = 0,
            State_PerformingTranscription = 1,
            State_PerformingSentimentAnalysis = 2,
        };

        GcRequest(S2tServer* pServer, GcClient* pClient);
        ~GcRequest() override;

        bool Process() override;

    protected:
        GcClient* m_pClient;
        State m_State;
    };

    GcClient(const std::string& name, S2tServer* pServer);

    bool LoadConfig(const rapidjson::Value& config);

    const std::string& GetName() const { return m_Name; }
    const std::string& GetSpeechServiceEndpoint() const { return m_SpeechServiceEndpoint; }
    const std::string& GetLanguageServiceEndpoint() const { return m_LanguageServiceEndpoint; }
    const std::string& GetServiceAccount() const { return m_ServiceAccount; }
    const std::string& GetAccessKey() const { return m_AccessKey; }

private:
    std::string m_Name;
    S2tServer* m_pServer;
    std::string m_SpeechServiceEndpoint;
    std::string m_LanguageServiceEndpoint;
    std::string m_ServiceAccount;
    std::string m_AccessKey;
};
