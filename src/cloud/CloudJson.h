#pragma once

#include <string>
#include <vector>

#include "Recording.h"

struct evbuffer;

// The JSON of the cloud calls: the bodies the service sends and what it reads of
// the replies.
namespace CloudJson
{

// {"config":{...},"audio":{"content":...}}: the languages, and the encoding of a
// recording the cloud cannot read it from. Base64 audio, which needs no escaping,
// goes into the body by reference, not copied: it must outlive the body. `options`:
// more members of the config, as JSON text, after those.
void WriteRecognitionBody(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                          Recording::Format format, const std::string& options, const std::string& audio);
// The same with "audio":{"uri":...}, for a recording in Cloud Storage.
void WriteRecognitionUriBody(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                             Recording::Format format, const std::string& options, const std::string& uri);
// {"document":{"type":"PLAIN_TEXT","language":...,"content":...}}.
std::string SentimentBody(const std::string& language, const std::string& text);
// The sentiment of nothing said, as the language service would give it.
std::string SilentSentiment(const std::string& language);

// Reads a recognition reply: the language code of the first result, and the
// transcripts of all of them joined by a space; each output is left as it was when
// nothing is found for it. False when the reply is not a JSON object.
bool ParseTranscribeResults(const std::string& data, std::string& language, std::string& text);

// A long-running recognition as an operation reply describes it.
struct Operation
{
    enum class State
    {
        Running,
        Done,
        Failed,
    };

    std::string name;
    State state = State::Running;
    std::string language; // of a recognition done
    std::string text;
};

// False when the reply is not an operation whose name can go into a poll's path.
bool ReadOperation(const std::string& data, Operation& operation);

// An OAuth 2.0 token reply: {"access_token", "expires_in", "token_type": "Bearer"}.
// False when it is not one, with a token and a lifetime of at least a second.
bool ReadToken(const std::string& data, std::string& token, int& expiresIn);
// Why Google refused a call: {"error":{"status","message"}}, or OAuth's
// {"error","error_description"}. False when the reply says neither.
bool ReadError(const std::string& data, std::string& status, std::string& message);
// Cloud Storage's reply to an upload: true when it names the object uploaded.
bool ReadUploaded(const std::string& data, const std::string& object);

} // namespace CloudJson
