#include "Storage.h"

#include <cstdarg>

#include <event2/http.h>
#include <openssl/rand.h>

#include "CloudEndpoint.h"
#include "base/Timing.h"
#include "base/Trace.h"

// One object's delete: a single call, traced and counted when it fails. It stays in
// its storage's list, done, until the next deletion starts or the storage ends, so
// that it is never freed from inside its own call's report.
class Storage::Deletion final : private CloudExchange::Owner
{
public:
    Deletion(Storage& storage, const std::string& object, const std::string& label)
        : m_Storage(storage)
        , m_Object(object)
        , m_Label(label)
        , m_pCall(storage.m_Exchanges.NewExchange(*this, label))
        , m_Started(SteadyClock::now())
    {
    }

    void Start()
    {
        // No API key: Cloud Storage takes only the access token.
        const std::string uri = m_Storage.m_Settings.storageEndpoint + "/storage/v1/b/" +
                                CloudEndpoint::Encoded(m_Storage.m_Settings.storageBucket) + "/o/" +
                                CloudEndpoint::Encoded(m_Object);
        CloudExchange::Request request;
        request.method = EVHTTP_REQ_DELETE;
        request.kind = Metrics::CloudMethod::Delete;
        request.timeoutSeconds = static_cast<int>(m_Storage.m_Settings.callTimeoutSeconds);
        Trace("Delete object [%s] for <>\n", m_Object.c_str());
        if (!m_pCall->CreateConnection(uri) || !m_pCall->MakeRequest(request))
            End(false, Metrics::CloudOutcome::NotStarted);
    }

    // Ends it before its call has; traced as possibly left behind.
    void Abandon()
    {
        if (!m_Done)
            End(false, Metrics::CloudOutcome::NotStarted);
    }

    bool Done() const { return m_Done; }

private:
    void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)))
    {
        va_list arguments;
        va_start(arguments, format);
        Trace::PrintV(Trace::WithId(format, m_Label).c_str(), arguments);
        va_end(arguments);
    }

    void OnComplete(CloudExchange::Outcome outcome, const CloudExchange::Reply& reply) override
    {
        // Gone already is deleted as well.
        const bool deleted = outcome == CloudExchange::Outcome::Answered &&
                             (reply.status == 200 || reply.status == 204 || reply.status == 404);
        End(deleted, deleted                                       ? Metrics::CloudOutcome::Ok
                     : outcome == CloudExchange::Outcome::TimedOut ? Metrics::CloudOutcome::Timeout
                                                                   : Metrics::CloudOutcome::CloudError);
    }

    void End(bool deleted, Metrics::CloudOutcome outcome)
    {
        m_pCall->Release();
        m_Done = true;
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - m_Started).count();
        m_Storage.m_Metrics.CountCloudCall(Metrics::CloudMethod::Delete, outcome, seconds);
        if (!deleted)
        {
            Trace("Object [%s] not deleted for <>: it may be left in the bucket\n", m_Object.c_str());
            m_Storage.m_Metrics.CountObjectLeft();
        }
        m_Storage.m_OnDeleted();
    }

    Storage& m_Storage;
    const std::string m_Object;
    const std::string m_Label;
    std::unique_ptr<CloudExchange> m_pCall;
    SteadyClock::time_point m_Started;
    bool m_Done = false;
};

Storage::Storage(const CloudSettings& settings, CloudExchange::Maker& exchanges, Metrics& metrics,
                 std::function<void()> onDeleted)
    : m_Settings(settings)
    , m_Exchanges(exchanges)
    , m_Metrics(metrics)
    , m_OnDeleted(std::move(onDeleted))
{
}

Storage::~Storage()
{
    Release();
}

std::string Storage::NewObjectName() const
{
    unsigned char random[16] = {};
    RAND_bytes(random, sizeof random);
    static const char kHex[] = "0123456789abcdef";
    std::string name = m_Settings.storagePrefix;
    for (unsigned char byte : random)
        name += {kHex[byte >> 4], kHex[byte & 15]};
    return name;
}

std::string Storage::UploadUri(const std::string& object) const
{
    return m_Settings.storageEndpoint + "/upload/storage/v1/b/" + CloudEndpoint::Encoded(m_Settings.storageBucket) +
           "/o?uploadType=media&name=" + CloudEndpoint::Encoded(object);
}

std::string Storage::GsUri(const std::string& object) const
{
    return "gs://" + m_Settings.storageBucket + "/" + object;
}

void Storage::Delete(const std::string& object, const std::string& label)
{
    m_Deletions.remove_if([](const std::unique_ptr<Deletion>& pDeletion) { return pDeletion->Done(); });
    m_Deletions.push_back(std::make_unique<Deletion>(*this, object, label));
    m_Deletions.back()->Start();
}

size_t Storage::DeletesPending() const
{
    size_t pending = 0;
    for (const auto& pDeletion : m_Deletions)
        pending += !pDeletion->Done();
    return pending;
}

void Storage::Release()
{
    for (auto& pDeletion : m_Deletions)
        pDeletion->Abandon();
    m_Deletions.clear();
}
