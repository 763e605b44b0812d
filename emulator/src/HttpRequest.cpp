#include "HttpRequest.h"

#include "Api.h"

#include <event2/buffer.h>
#include <event2/http.h>

std::string RawPath(evhttp_request* request)
{
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    const char* path = uri ? evhttp_uri_get_path(uri) : nullptr;
    return path ? path : "";
}

std::string RawQuery(evhttp_request* request)
{
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
    const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;
    return query ? query : "";
}

std::string RequestPath(evhttp_request* request)
{
    return PercentDecoded(RawPath(request), false);
}

std::string QueryValue(evhttp_request* request, const char* name)
{
    std::string value;
    FormValue(RawQuery(request), name, value);
    return value;
}

std::string Header(evhttp_request* request, const char* name)
{
    const char* value = evhttp_find_header(evhttp_request_get_input_headers(request), name);
    return value ? value : "";
}

std::string Body(evhttp_request* request)
{
    evbuffer* input = evhttp_request_get_input_buffer(request);
    std::string body(evbuffer_get_length(input), '\0');
    evbuffer_copyout(input, body.data(), body.size());
    return body;
}
