#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "CloudExchange.h"
#include "base/Config.h"
#include "base/Metrics.h"

// The Cloud Storage bucket that holds the recordings Google will not take inline,
// for as long as their recognition runs: the names of their objects, and their
// deletion, which runs on its own once the transcription that uploaded one has ended,
// whatever its outcome. A delete that fails is traced and counted: the object may be
// left in the bucket (a lifecycle rule on the bucket is the safety net).
class Storage
{
public:
    // `onDeleted`: a deletion has ended.
    Storage(const CloudSettings& settings, CloudExchange::Maker& exchanges, Metrics& metrics,
            std::function<void()> onDeleted);
    ~Storage();

    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    bool Configured() const { return !m_Settings.storageBucket.empty(); }
    // A fresh object name: the prefix and 128 random bits, nothing of the caller's.
    std::string NewObjectName() const;
    std::string UploadUri(const std::string& object) const;
    std::string GsUri(const std::string& object) const;
    // Deletes `object`; its trace lines name it "<label>".
    void Delete(const std::string& object, const std::string& label);
    size_t DeletesPending() const;
    // Ends the deletions still under way; each is traced as possibly left behind.
    void Release();

private:
    class Deletion;

    const CloudSettings& m_Settings;
    CloudExchange::Maker& m_Exchanges;
    Metrics& m_Metrics;
    std::function<void()> m_OnDeleted;
    std::list<std::unique_ptr<Deletion>> m_Deletions;
};
