#pragma once
// documents:analyzeSentiment: request body in, reply body or refusal out.
#include "Api.h"
#include "SentimentAnalyzer.h"

#include <string>

class SentimentMethod
{
public:
    explicit SentimentMethod(const SentimentAnalyzer& analyzer)
        : m_Analyzer(analyzer)
    {
    }
    ApiError Answer(const std::string& body, std::string& reply) const;

private:
    const SentimentAnalyzer& m_Analyzer;
};

// HTML tags replaced by spaces, so offsets still point into the original.
std::string BlankMarkup(const std::string& html);
