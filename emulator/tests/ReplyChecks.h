#pragma once
// Assertions on the emulator's JSON replies.
#include "HttpClient.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>

inline rapidjson::Document parseJson(const std::string& text)
{
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    return doc;
}

// {"error":{"code":C,"message":"...<part>...","status":S}}
inline void expectGoogleError(const testsupport::HttpResponse& reply, int code, const char* status,
                              const std::string& messagePart = "")
{
    EXPECT_EQ(reply.status, code) << reply.error << reply.body;
    const std::string* type = reply.Find("Content-Type");
    EXPECT_TRUE(type && type->rfind("application/json", 0) == 0);
    const rapidjson::Document doc = parseJson(reply.body);
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("error") && doc["error"].IsObject()) << reply.body;
    const auto& error = doc["error"];
    ASSERT_TRUE(error.HasMember("code") && error.HasMember("message") && error.HasMember("status")) << reply.body;
    EXPECT_EQ(error["code"].GetInt(), code);
    EXPECT_STREQ(error["status"].GetString(), status);
    EXPECT_NE(std::string(error["message"].GetString()).find(messagePart), std::string::npos)
        << "\"" << messagePart << "\" not in " << reply.body;
}
