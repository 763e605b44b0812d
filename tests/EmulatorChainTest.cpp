// The whole chain as an operator runs it offline: the service against the local
// cloud emulator, with a real recording from pocketsphinx-testdata.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <iterator>

#include <openssl/evp.h>
#include <rapidjson/document.h>

#include "ServiceProcess.h"

namespace {

using testsupport::ChildProcess;
using testsupport::HttpResponse;
using testsupport::ServiceProcess;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void PutLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A LINEAR16 mono WAV file around raw 16-bit little-endian samples.
std::string WavFile(const std::string& pcm, uint32_t rate) {
  std::string wav = "RIFF";
  PutLittleEndian(wav, static_cast<uint32_t>(36 + pcm.size()), 4);
  wav += "WAVEfmt ";
  PutLittleEndian(wav, 16, 4);
  PutLittleEndian(wav, 1, 2);  // PCM
  PutLittleEndian(wav, 1, 2);  // mono
  PutLittleEndian(wav, rate, 4);
  PutLittleEndian(wav, rate * 2, 4);
  PutLittleEndian(wav, 2, 2);
  PutLittleEndian(wav, 16, 2);
  wav += "data";
  PutLittleEndian(wav, static_cast<uint32_t>(pcm.size()), 4);
  return wav + pcm;
}

std::string Base64(const std::string& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                               reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

TEST(EmulatorChain, RealRecordingComesBackWithItsSentiment) {
  std::string pcm = ReadFile(S2T_TESTDATA_DIR "/goforward.raw");
  ASSERT_FALSE(pcm.empty()) << "pocketsphinx-testdata is missing; run scripts/setup";

  ChildProcess emulator(S2T_EMULATOR_BINARY);
  ASSERT_TRUE(emulator.Start({"--port", "0", "--prefix", "/v1", "--api-key", "cloud-key", "--workers", "1"}));
  const std::string listening = "listening on 127.0.0.1:";
  ASSERT_TRUE(emulator.WaitForOutput(listening + "", 60000)) << emulator.Output();
  std::string out = emulator.Output();
  std::string port = out.substr(out.find(listening) + listening.size());
  port = port.substr(0, port.find('\n'));
  std::string base = "http://127.0.0.1:" + port + "/v1";

  ServiceProcess service;
  ASSERT_TRUE(service.StartPlain(R"("client-auth-token": "platform")",
                                 "{\"speech-service-endpoint\": \"" + base + "\", \"language-service-endpoint\": \"" +
                                     base + "\", \"access-key\": \"cloud-key\"}"));
  HttpResponse response = service.Send(
      "POST", "/transcribe", {{"Authorization", "platform"}, {"X-Tarvex-TranID", "goforward"}},
      "{\"audio\": \"" + Base64(WavFile(pcm, 16000)) + "\", \"language\": \"en-US\"}");
  EXPECT_EQ(response.status, 200) << service.Output();
  EXPECT_EQ(response.reason, "OK");
  ASSERT_NE(response.Find("Content-Type"), nullptr);
  EXPECT_EQ(*response.Find("Content-Type"), "application/json");

  rapidjson::Document reply;
  reply.Parse(response.body.c_str());
  ASSERT_TRUE(reply.IsObject()) << response.body;
  EXPECT_STREQ(reply["language"].GetString(), "en-us");
  const rapidjson::Value& sentiment = reply["documentSentiment"];
  EXPECT_GE(sentiment["score"].GetDouble(), -1.0);
  EXPECT_LE(sentiment["score"].GetDouble(), 1.0);
  EXPECT_GE(sentiment["magnitude"].GetDouble(), 0.0);
  ASSERT_TRUE(reply["sentences"].IsArray());
  ASSERT_EQ(reply["sentences"].Size(), 1u);
  EXPECT_STREQ(reply["sentences"][0]["text"]["content"].GetString(), "go forward ten meters");

  EXPECT_EQ(service.Exit(), 0);
  EXPECT_EQ(emulator.Stop(SIGTERM), 0);
}

}  // namespace
