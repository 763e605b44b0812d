// The recognition reply reader: which transcript and language code it takes from
// a speech service reply, and which replies it refuses.
#include <gtest/gtest.h>

#include "GcClient.h"

namespace {

struct ReplyReader : GcClient::GcRequest {
  using GcRequest::ParseAlternatives;
  using GcRequest::ParseResults;
  using GcRequest::ParseTranscribeResults;
};

struct Read {
  bool ok;
  std::string language;
  std::string text;
};

// Outputs start as "keep", so a value the reader did not find shows as unchanged.
Read ReadReply(const std::string& data) {
  Read read{false, "keep", "keep"};
  read.ok = ReplyReader::ParseTranscribeResults(data, read.language, read.text);
  return read;
}

TEST(ReplyReader, TakesTheFirstAlternativeOfTheFirstResult) {
  Read read = ReadReply(R"({"results": [
      {"alternatives": [{"transcript": "first", "confidence": 0.9}, {"transcript": "second"}], "languageCode": "en-us"},
      {"alternatives": [{"transcript": "later"}], "languageCode": "de-de"}],
    "totalBilledTime": "8s"})");
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.text, "first");
  EXPECT_EQ(read.language, "en-us");
}

TEST(ReplyReader, PassesOverElementsThatAreNotObjects) {
  Read read = ReadReply(R"({"results": [1, "x", {"alternatives": [null, {"transcript": "found"}], "languageCode": "fr"}]})");
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.text, "found");
  EXPECT_EQ(read.language, "fr");
}

TEST(ReplyReader, MissingOrMistypedValuesLeaveTheirOutputAlone) {
  const std::pair<const char*, Read> cases[] = {
      {"{}", {true, "keep", "keep"}},
      {R"({"results": []})", {true, "keep", "keep"}},
      {R"({"results": {"alternatives": []}})", {true, "keep", "keep"}},
      {R"({"results": [7, []]})", {true, "keep", "keep"}},
      {R"({"results": [{"languageCode": "en-us"}]})", {true, "en-us", "keep"}},
      {R"({"results": [{"alternatives": "x", "languageCode": 5}]})", {true, "keep", "keep"}},
      {R"({"results": [{"alternatives": [{"transcript": 12}], "languageCode": "en"}]})", {true, "en", "keep"}},
      {R"({"results": [{"alternatives": [{}]}]})", {true, "keep", "keep"}},
  };
  for (const auto& c : cases) {
    Read read = ReadReply(c.first);
    EXPECT_EQ(read.ok, c.second.ok) << c.first;
    EXPECT_EQ(read.language, c.second.language) << c.first;
    EXPECT_EQ(read.text, c.second.text) << c.first;
  }
}

TEST(ReplyReader, RefusesAnythingButOneJsonObject) {
  for (const char* data : {"", "  ", "<html><body>busy</body></html>", "[]", "\"results\"", "{} {}", "{\"results\": [}"}) {
    Read read = ReadReply(data);
    EXPECT_FALSE(read.ok) << data;
    EXPECT_EQ(read.language, "keep");
    EXPECT_EQ(read.text, "keep");
  }
}

TEST(ReplyReader, ReadsByteOrderMarkNulAndDeepNestingSafely) {
  Read bom = ReadReply("\xEF\xBB\xBF{\"results\": [{\"alternatives\": [{\"transcript\": \"hi\"}]}]}");
  EXPECT_TRUE(bom.ok);
  EXPECT_EQ(bom.text, "hi");

  Read nul = ReadReply(R"({"results": [{"alternatives": [{"transcript": "cut\u0000here"}], "languageCode": "e\u0000n"}]})");
  EXPECT_EQ(nul.text, "cut");
  EXPECT_EQ(nul.language, "e");

  const size_t depth = 1000000;
  Read deep = ReadReply("{\"results\": [" + std::string(depth, '[') + std::string(depth, ']') +
                        ", {\"alternatives\": [{\"transcript\": \"deep\"}]}]}");
  EXPECT_TRUE(deep.ok);
  EXPECT_EQ(deep.text, "deep");
  EXPECT_FALSE(ReadReply("{\"results\": " + std::string(depth, '[')).ok);
}

TEST(ReplyReader, LowerLevelsReportWhetherTheyFoundAnObject) {
  rapidjson::Document document;
  std::string language = "keep", text = "keep";
  document.Parse("[1, \"a\", null]");
  EXPECT_FALSE(ReplyReader::ParseResults(document, language, text));
  EXPECT_FALSE(ReplyReader::ParseAlternatives(document, text));
  document.Parse("[]");
  EXPECT_FALSE(ReplyReader::ParseResults(document, language, text));
  document.Parse("[{}]");
  EXPECT_TRUE(ReplyReader::ParseResults(document, language, text));
  EXPECT_TRUE(ReplyReader::ParseAlternatives(document, text));
  EXPECT_EQ(language, "keep");
  EXPECT_EQ(text, "keep");
}

}  // namespace
