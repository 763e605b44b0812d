#include "CloudReply.h"

#include <event2/buffer.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

#include "CloudJson.h"
#include "base/Trace.h"

namespace
{

// Google's own words for a refusal, kept even in a redacted trace: it holds no secret.
void TraceReason(const std::string& body, const std::string& label)
{
    const size_t kMaxReason = 300;
    std::string status;
    std::string message;
    if (!CloudJson::ReadError(body, status, message))
        return;
    if (message.size() > kMaxReason)
        message.resize(kMaxReason);
    Trace::Print(Trace::WithId("Google's reason [%s]: %s for <>\n", label).c_str(), status.c_str(),
                 Trace::OneLine(message).c_str());
}

} // namespace

namespace CloudReply
{

void Read(evhttp_request* pRequest, const std::string& label, const std::string& tracedUri, bool secret,
          CloudExchange::Reply& reply)
{
    const auto line = [&label](const char* format) { return Trace::WithId(format, label); };
    reply.status = evhttp_request_get_response_code(pRequest);
    const char* codeLine = evhttp_request_get_response_code_line(pRequest);
    reply.reason = codeLine != nullptr ? codeLine : "";
    Trace::Print(line("Received HTTP response [%d %s] for <> [%s]\n").c_str(), reply.status, reply.reason.c_str(),
                 tracedUri.c_str());
    for (const evkeyval* header = evhttp_request_get_input_headers(pRequest)->tqh_first; header != nullptr;
         header = header->next.tqe_next)
        Trace::Header(header->key, header->value);
    evbuffer* pInput = evhttp_request_get_input_buffer(pRequest);
    const size_t length = pInput != nullptr ? evbuffer_get_length(pInput) : 0;
    // Moved out piece by piece: no second contiguous copy of a large reply.
    reply.body.resize(length);
    if (length != 0)
        evbuffer_remove(pInput, &reply.body[0], length);
    if (reply.status < 200 || reply.status > 299)
    {
        Trace::Print(line("HTTP request failed [%d] <>\n").c_str(), reply.status);
        TraceReason(reply.body, label);
        return;
    }
    if (pInput == nullptr)
        return;
    Trace::Print(line("Data [%zu bytes] <>\n").c_str(), length);
    if (secret || reply.status != 200)
        return;
    Trace::Body(reply.body.data(), reply.body.size());
    Trace::Print("\n");
}

} // namespace CloudReply
