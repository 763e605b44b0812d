#pragma once

#include <string>

#include "CloudExchange.h"

struct evhttp_request;

namespace CloudReply
{

// A cloud call's reply, moved out of `pRequest` and traced as the call's lines under
// "<label>": the status, the headers, and the body for status 200 unless `secret`;
// for a failure, Google's own reason.
void Read(evhttp_request* pRequest, const std::string& label, const std::string& tracedUri, bool secret,
          CloudExchange::Reply& reply);

} // namespace CloudReply
