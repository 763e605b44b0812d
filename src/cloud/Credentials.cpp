#include "Credentials.h"

#include <algorithm>
#include <ctime>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include "CloudEndpoint.h"
#include "CloudJson.h"
#include "base/Trace.h"

namespace
{

const char* const kMetadataTokenPath = "/computeMetadata/v1/instance/service-accounts/default/token";
// A token is refreshed when this much of its life is left, or half way through a
// shorter one, a second after it came at the earliest.
const std::chrono::seconds kRefreshAhead(300);
// After a failed fetch the next comes this much later, doubling up to the last.
const std::chrono::seconds kFirstRetryDelay(1);
const std::chrono::seconds kLastRetryDelay(60);

void TimerCb(evutil_socket_t, short, void* pArg)
{
    if (pArg == nullptr)
        Trace::Print("NULL context in timer callback\n");
    else
        static_cast<Credentials*>(pArg)->OnTimer();
}

} // namespace

Credentials::Credentials(const CloudSettings& settings, CloudExchange::Maker& exchanges, event_base* pBase,
                         Metrics& metrics)
    : m_Settings(settings)
    , m_Exchanges(exchanges)
    , m_pBase(pBase)
    , m_Metrics(metrics)
    , m_State(State::Idle)
    , m_pBody(nullptr)
    , m_pTimer(nullptr)
    , m_RetryDelay(kFirstRetryDelay)
{
}

Credentials::~Credentials()
{
    Release();
}

void Credentials::Release()
{
    if (m_pCall != nullptr)
        m_pCall->Release();
    if (m_pBody != nullptr)
        evbuffer_free(m_pBody);
    m_pBody = nullptr;
    if (m_pTimer != nullptr)
        event_free(m_pTimer);
    m_pTimer = nullptr;
    m_Waiters.clear();
    SetState(State::Idle);
}

bool Credentials::Load()
{
    std::string why;
    if (m_Settings.credentials == "metadata" || m_Account.Load(m_Settings.credentials, why))
        return true;
    Trace::Print("Failed to load Google credentials [%s]: %s\n", m_Settings.credentials.c_str(), why.c_str());
    return false;
}

void Credentials::Start()
{
    m_pTimer = evtimer_new(m_pBase, TimerCb, this);
    Fetch();
}

bool Credentials::Valid() const
{
    return !m_Token.empty() && SteadyClock::now() < m_Expiry;
}

void Credentials::Wait(Waiter& waiter)
{
    // While the last fetch failed and the next is not due, a caller is not kept waiting.
    if (m_State != State::Fetching && SteadyClock::now() < m_NextTry)
    {
        waiter.OnToken(false);
        return;
    }
    m_Waiters.push_back(&waiter);
    Fetch();
}

void Credentials::Cancel(Waiter& waiter)
{
    m_Waiters.erase(std::remove(m_Waiters.begin(), m_Waiters.end(), &waiter), m_Waiters.end());
}

void Credentials::OnTimer()
{
    Fetch();
}

void Credentials::Fetch()
{
    if (m_State == State::Fetching)
        return;
    SetState(State::Fetching);
    m_FetchStarted = SteadyClock::now();
    if (m_pCall == nullptr)
        m_pCall = m_Exchanges.NewExchange(*this, "token");
    CloudExchange::Request request;
    request.timeoutSeconds = static_cast<int>(m_Settings.callTimeoutSeconds);
    request.secret = true;
    request.kind = Metrics::CloudMethod::Token;
    std::string uri = m_Settings.metadataEndpoint + kMetadataTokenPath;
    if (m_Settings.credentials == "metadata")
    {
        request.method = EVHTTP_REQ_GET;
        request.headers = {{"Metadata-Flavor", "Google"}};
    }
    else
    {
        uri = m_Account.TokenUri();
        m_pBody = m_pBody != nullptr ? m_pBody : evbuffer_new();
        evbuffer_drain(m_pBody, evbuffer_get_length(m_pBody));
        evbuffer_add_printf(m_pBody, "grant_type=%s&assertion=%s",
                            CloudEndpoint::Encoded("urn:ietf:params:oauth:grant-type:jwt-bearer", true).c_str(),
                            CloudEndpoint::Encoded(m_Account.Assertion(time(nullptr)), true).c_str());
        request.pBody = m_pBody;
        request.contentType = "application/x-www-form-urlencoded";
    }
    if (m_pCall->CreateConnection(uri) && m_pCall->MakeRequest(request))
        return;
    m_pCall->Release();
    OnComplete(CloudExchange::Outcome::Failed, CloudExchange::Reply());
}

bool Credentials::TakeToken(const CloudExchange::Reply& reply)
{
    int expiresIn = 0;
    if (!CloudJson::ReadToken(reply.body, m_Token, expiresIn))
        return false;
    m_Expiry = m_FetchStarted + std::chrono::seconds(expiresIn);
    return true;
}

void Credentials::OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply)
{
    SetState(State::Idle);
    const bool ok = outcome == CloudExchange::Outcome::Answered && reply.status == 200 && TakeToken(reply);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - m_FetchStarted).count();
    m_Metrics.CountCloudCall(Metrics::CloudMethod::Token,
                             ok                                            ? Metrics::CloudOutcome::Ok
                             : outcome == CloudExchange::Outcome::TimedOut ? Metrics::CloudOutcome::Timeout
                                                                           : Metrics::CloudOutcome::CloudError,
                             seconds);
    if (ok)
    {
        const auto life = std::chrono::duration_cast<std::chrono::seconds>(m_Expiry - m_FetchStarted);
        Trace::Print("Access token fetched: valid for [%lld] sec\n", static_cast<long long>(life.count()));
        m_RetryDelay = kFirstRetryDelay;
        m_NextTry = SteadyClock::time_point();
        Schedule(std::max({life - kRefreshAhead, life / 2, kFirstRetryDelay}));
    }
    else
    {
        Trace::Print("Access token not fetched: next try in [%lld] sec\n",
                     static_cast<long long>(m_RetryDelay.count()));
        Schedule(m_RetryDelay);
        m_NextTry = SteadyClock::now() + m_RetryDelay;
        m_RetryDelay = std::min(m_RetryDelay * 2, kLastRetryDelay);
    }
    Tell(ok);
}

void Credentials::Schedule(std::chrono::seconds delay)
{
    const timeval timeout = ToTimeval(delay);
    if (m_pTimer != nullptr)
        event_add(m_pTimer, &timeout);
}

void Credentials::Tell(bool ok)
{
    // Told once each; a waiter may wait again from its report.
    std::vector<Waiter*> waiters;
    waiters.swap(m_Waiters);
    for (Waiter* pWaiter : waiters)
        pWaiter->OnToken(ok);
}
