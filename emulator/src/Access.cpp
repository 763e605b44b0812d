// Who may call: the bearer tokens the emulator issues (its token endpoint and the
// metadata server's path) and the API key, and Cloud Storage, which takes tokens only.
#include "Emulator.h"

#include "HttpMethod.h"
#include "HttpRequest.h"
#include "Trace.h"

#include <event2/buffer.h>
#include <event2/http.h>

#include <ctime>

ApiError Emulator::CheckCaller(evhttp_request* request, Route route)
{
    bool given = false;
    if (m_Options.credentials && !HasValidToken(request, given))
        return Unauthenticated(!given);
    return CheckApiKey(request, route);
}

ApiError Emulator::CheckApiKey(evhttp_request* request, Route route) const
{
    if (!m_Options.apiKey)
        return ApiError{};
    std::string key = QueryValue(request, "key");
    if (key.empty())
        key = Header(request, "X-Goog-Api-Key");
    // A valid token identifies the caller already.
    if (key.empty())
        return m_Options.credentials ? ApiError{} : MissingApiKey();
    if (key != *m_Options.apiKey)
        return InvalidApiKey(route == Route::AnalyzeSentiment ? "language.googleapis.com" : "speech.googleapis.com");
    return ApiError{};
}

bool Emulator::HasValidToken(evhttp_request* request, bool& given)
{
    const std::string authorization = Header(request, "Authorization");
    const std::string scheme = "Bearer ";
    given = authorization.size() > scheme.size() && authorization.compare(0, scheme.size(), scheme) == 0;
    return given && m_Tokens.Valid(authorization.substr(scheme.size()));
}

void Emulator::AnswerToken(evhttp_request* request, Route route, const std::string& trace)
{
    std::string reply;
    if (route == Route::MetadataToken)
    {
        // The header proves the caller is no browser led there by a page.
        if (Header(request, "Metadata-Flavor") != "Google")
        {
            Trace::Print("%s 403 no Metadata-Flavor: Google\n", trace.c_str());
            return Send(request, 403, "Missing required header: Metadata-Flavor: Google\n",
                        "text/plain; charset=UTF-8");
        }
        reply = m_Tokens.Issue();
    }
    else
    {
        const Tokens::Refusal refusal = m_Tokens.Grant(Body(request), reply, std::time(nullptr));
        if (!refusal.error.empty())
        {
            Trace::Print("%s 400 %s: %s\n", trace.c_str(), refusal.error.c_str(), refusal.description.c_str());
            return Send(request, 400, refusal.ToJson());
        }
    }
    Trace::Print("%s 200 token for %d seconds\n", trace.c_str(), m_Options.tokenSeconds);
    Send(request, 200, reply);
}

void Emulator::AnswerStorage(evhttp_request* request, const std::string& path, const std::string& trace)
{
    StorageCall call;
    call.method = HttpMethodName(evhttp_request_get_command(request));
    const char* method = call.method == "DELETE"                                   ? "delete"
                         : call.method == "POST" && path.rfind("/upload/", 0) == 0 ? "upload"
                                                                                   : nullptr;
    if (AnswerFault(request, method, trace, true))
        return;
    bool given = false;
    StorageAnswer answer;
    if (!m_Options.credentials || !HasValidToken(request, given))
        answer = StorageMethod::Refusal(StorageMethod::Unauthorised(call.method, given));
    else
    {
        call.path = path;
        call.query = RawQuery(request);
        call.contentType = Header(request, "Content-Type");
        call.body = Body(request);
        answer = StorageMethod::Answer(m_Storage, call);
    }
    Trace::Print("%s %d%s%s\n", trace.c_str(), answer.code, answer.message.empty() ? "" : " ", answer.message.c_str());
    for (const auto& [name, value] : answer.headers)
        evhttp_add_header(evhttp_request_get_output_headers(request), name.c_str(), value.c_str());
    if (answer.code == 401)
        evhttp_add_header(evhttp_request_get_output_headers(request), "WWW-Authenticate",
                          "Bearer realm=\"https://accounts.google.com/\"");
    Send(request, answer.code, answer.body, answer.contentType.c_str());
}
