#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The service's settings: one JSON file, read once at start-up into plain structs
// that each object takes in its constructor.

struct TraceSettings
{
    uint64_t bufferSize = 64 << 20;
    uint64_t rate = 0;         // bytes a second; 0: no bound
    std::string mode = "full"; // or "redacted"

    bool Redacted() const { return mode == "redacted"; }
};

struct ListenerSettings
{
    std::string address; // empty: every IPv4 address
    uint16_t port = 1080;
    bool secure = false;
    std::string certificateChain;
    std::string privateKey;
    uint64_t maxBodySize = 16 << 20;
    uint64_t maxHeaderSize = 64 << 10;
    uint64_t timeoutSeconds = 30;       // 0: none
    uint64_t headerTimeoutSeconds = 10; // of a request's head, from its first byte
    uint64_t maxBufferedBytes = 256 << 20;
    uint64_t maxConnections = 0; // 0: from the descriptor limit
    uint64_t maxConnectionRequests = 10000;
    uint64_t maxConnectionAgeSeconds = 3600;
};

struct PolicySettings
{
    std::string clientAuthToken;
    std::string adminAuthToken;
    bool metrics = true;
    std::string metricsAuthToken;
};

struct CloudSettings
{
    std::string serviceAccount; // kept, not used
    std::string speechServiceEndpoint;
    std::string languageServiceEndpoint;
    std::string accessKey;
    uint64_t maxReplySize = 16 << 20;
    uint64_t callTimeoutSeconds = 5;
    uint64_t longRunningTimeoutSeconds = 600;
    // Google's OAuth 2.0 credentials: a service account's key file, "metadata" for
    // the metadata server of Google's compute platforms, or empty for none.
    std::string credentials;
    std::string metadataEndpoint = "http://metadata.google.internal";
    // Where recordings Google will not take inline are put for recognition; empty: nowhere.
    std::string storageBucket;
    std::string storageEndpoint = "https://storage.googleapis.com";
    std::string storagePrefix;
    // The language of a request that names none; empty: none is sent.
    std::string defaultLanguage;
    // Tries of a cloud call after the first, when the cloud is busy or the
    // connection fails before a reply; and an address's share of the time to connect
    // when another follows.
    uint64_t retries = 2;
    uint64_t connectTimeoutSeconds = 1;
    // Connections kept open between calls, per endpoint (0: none), and for how long idle.
    uint64_t idleConnections = 32;
    uint64_t idleTimeoutSeconds = 30;
    // Members added to every recognition's config ("recognition"), as JSON text in
    // Google's order: "enableAutomaticPunctuation":true,"model":"phone_call".
    std::string recognition;
};

struct Config
{
    ListenerSettings listener;
    PolicySettings policy;
    uint64_t drainTimeoutSeconds = 30;
    TraceSettings trace;
    CloudSettings cloud;
};

// Reads the file at `path` into `config`. False, with one line traced, when it cannot
// be read, is not one JSON object, or holds a member that is not a setting, of the
// wrong type or out of its range ("timeout" past a year counts as a year), or
// "recognition" names an option Google does not have or gives one the wrong type. Of a
// member given twice, the first counts.
bool ReadConfig(const std::string& path, Config& config);

// Every setting the file may hold, as "section.key".
std::vector<std::string> SettingNames();
