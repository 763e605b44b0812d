#pragma once
// What the emulator reads of a request evhttp has received.
#include <string>

struct evhttp_request;

// The path as sent, still percent-encoded, and its query.
std::string RawPath(evhttp_request* request);
std::string RawQuery(evhttp_request* request);
// The percent-decoded path; clients may send ':' as %3A.
std::string RequestPath(evhttp_request* request);
// A query parameter, decoded; "" when absent.
std::string QueryValue(evhttp_request* request, const char* name);
// A request header; "" when absent.
std::string Header(evhttp_request* request, const char* name);
std::string Body(evhttp_request* request);
