#pragma once

#include <chrono>

struct evkeyvalq;

// When a cloud call is tried again, as Google's client libraries do it.
namespace Retry
{

// 429, 500, 502, 503 and 504: the service was busy or failed on its side.
bool IsTransient(int status);
// The wait before try `retry` (1 for the first retry): a random share ("full
// jitter") of 100 ms times 1.3 for each retry before it, 5 s at most.
std::chrono::milliseconds Backoff(int retry);
// A reply's Retry-After in seconds, or -1 when it gives none (or only a date).
int RetryAfter(const evkeyvalq* pHeaders);

} // namespace Retry
