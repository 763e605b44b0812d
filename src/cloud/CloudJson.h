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
// is moved into the body by reference, not copied, and freed once sent.
void WriteRecognitionBody(evbuffer* pBody, const std::string& language, const std::vector<std::string>& alternatives,
                          Recording::Format format, std::string& audio);
// {"document":{"type":"PLAIN_TEXT","language":...,"content":...}}.
std::string SentimentBody(const std::string& language, const std::string& text);

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

} // namespace CloudJson
