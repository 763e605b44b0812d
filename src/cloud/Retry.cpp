#include "Retry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include <event2/http.h>

namespace Retry
{

bool IsTransient(int status)
{
    return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

std::chrono::milliseconds Backoff(int retry)
{
    static std::minstd_rand random{std::random_device{}()};
    const double ceiling = std::min(5000.0, 100.0 * std::pow(1.3, retry - 1));
    return std::chrono::milliseconds(static_cast<long>(std::uniform_real_distribution<double>(0, ceiling)(random)));
}

int RetryAfter(const evkeyvalq* pHeaders)
{
    const char* value = pHeaders != nullptr ? evhttp_find_header(pHeaders, "Retry-After") : nullptr;
    if (value == nullptr || *value == '\0' || std::string(value).find_first_not_of("0123456789") != std::string::npos ||
        std::string(value).size() > 6)
        return -1;
    return atoi(value);
}

} // namespace Retry
