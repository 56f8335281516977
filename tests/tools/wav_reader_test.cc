// The live host's speech input: WAV chunks walked with checked lengths, only
// 16 kHz mono 16-bit PCM taken (a table of files and what comes back), raw
// stdin samples little-endian.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/wav_reader.h"

namespace le::test {
namespace {

void put(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += char((v >> (8 * i)) & 0xFF);
}

struct Wav {
  uint16_t format = 1, channels = 1, bits = 16;
  uint32_t rate = 16000;
  std::string extraChunk;           // placed before fmt
  std::optional<uint32_t> dataLen;  // overrides the data length field
  size_t cut = 0;                   // bytes cut off the end
};

const std::vector<int16_t> kSamples{1, -2, 300, -32768, 32767};

std::string build(const Wav& w) {
  std::string body = "WAVE" + w.extraChunk + "fmt ";
  put(body, 16, 4);
  put(body, w.format, 2), put(body, w.channels, 2), put(body, w.rate, 4);
  put(body, w.rate * w.channels * w.bits / 8, 4), put(body, uint32_t(w.channels * w.bits / 8), 2), put(body, w.bits, 2);
  body += "data";
  put(body, w.dataLen.value_or(uint32_t(kSamples.size() * 2)), 4);
  for (int16_t v : kSamples) put(body, uint16_t(v), 2);
  std::string s = "RIFF";
  put(s, uint32_t(body.size()), 4);
  s += body;
  return s.substr(0, s.size() - w.cut);
}

template <class Edit>
std::string edited(Edit edit) {
  Wav w;
  edit(w);
  return build(w);
}

std::string parsed(const std::string& bytes) {
  try {
    std::string out;
    for (int16_t v : tool::parseWav(bytes, "in.wav")) out += std::to_string(v) + " ";
    return out;
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(WavReader, TakesSixteenKilohertzMonoPcmAndNamesWhatElseAFileHolds) {
  const std::string all = "1 -2 300 -32768 32767 ";
  const std::string list = std::string("LIST") + std::string("\x03\0\0\0", 4) + "abc" + std::string(1, '\0');
  std::string shortFmt = build({});
  shortFmt.resize(30);
  const struct {
    const char* what;
    std::string bytes, says;  // the samples, or part of the refusal
  } rows[] = {
      {"plain", build({}), all},
      // An odd-length chunk before fmt is padded to even: the walk skips the pad.
      {"odd chunk", edited([&](Wav& w) { w.extraChunk = list; }), all},
      // A streaming writer's unknown length, and a truncated file: the whole
      // samples present, never a read past the end.
      {"unknown length", edited([&](Wav& w) { w.dataLen = 0xFFFFFFFFu; }), all},
      {"cut", edited([&](Wav& w) { w.cut = 3; }), "1 -2 300 "},
      {"stereo", edited([&](Wav& w) { w.channels = 2; }), "in.wav holds 16000 Hz, 2 channel(s), 16-bit PCM; le-live takes 16 kHz mono 16-bit PCM"},
      {"conversion", edited([&](Wav& w) { w.channels = 2; }), "ffmpeg -i IN -ar 16000 -ac 1"},
      {"rate", edited([&](Wav& w) { w.rate = 44100; }), "44100 Hz"},
      {"float", edited([&](Wav& w) { w.format = 3, w.bits = 32; }), "32-bit format 3"},
      {"RIFX", "RIFX....WAVE", "not a WAV file"},
      {"empty", "", "not a WAV file"},
      {"fmt past the end", shortFmt, "truncated fmt chunk"},
      // A chunk length near 4 GiB must not wrap the cursor.
      {"huge chunk", edited([&](Wav& w) { w.extraChunk = std::string("junk") + std::string("\xF0\xFF\xFF\xFF", 4); }), "no fmt chunk"},
  };
  for (const auto& r : rows) {
    const std::string got = parsed(r.bytes);
    EXPECT_NE(got.find(r.says), std::string::npos) << r.what << ": " << got;
    if (r.says.back() == ' ') {
      EXPECT_EQ(got, r.says) << r.what;
    }
  }
}

TEST(WavReader, RawSamplesAreLittleEndianAndTheOddTailIsDropped) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const unsigned char bytes[] = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0x7F};
  std::fwrite(bytes, 1, sizeof bytes, f);
  std::rewind(f);
  int16_t out[8] = {};
  EXPECT_EQ(tool::readRawSamples(f, out, 2), 2u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], -1);
  EXPECT_EQ(tool::readRawSamples(f, out, 8), 1u);
  EXPECT_EQ(out[0], -32768);
  EXPECT_EQ(tool::readRawSamples(f, out, 8), 0u);
  std::fclose(f);
}

}  // namespace
}  // namespace le::test
