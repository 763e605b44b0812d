#pragma once
// documents:analyzeSentiment: request body in, reply body or refusal out.
#include "Api.h"
#include "SentimentAnalyzer.h"

#include <string>

class SentimentMethod
{
public:
    explicit SentimentMethod(const SentimentAnalyzer& analyzer)
        : analyzer_(analyzer)
    {
    }
    ApiError answer(const std::string& body, std::string& reply) const;

private:
    const SentimentAnalyzer& analyzer_;
};

// HTML tags replaced by spaces, so offsets still point into the original.
std::string blankMarkup(const std::string& html);
