// The live host's speech input: WAV chunks walked with checked lengths, only
// 16 kHz mono 16-bit PCM taken, raw stdin samples little-endian.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/wav_reader.h"

namespace le::test {
namespace {

void put16(std::string& s, uint16_t v) {
  s += char(v & 0xFF);
  s += char(v >> 8);
}
void put32(std::string& s, uint32_t v) {
  put16(s, uint16_t(v & 0xFFFF));
  put16(s, uint16_t(v >> 16));
}

struct Wav {
  uint16_t format = 1, channels = 1, bits = 16;
  uint32_t rate = 16000;
  std::vector<int16_t> samples{1, -2, 300, -32768, 32767};
  std::string extraChunk;            // placed before fmt
  std::optional<uint32_t> dataLen;   // overrides the data length field
  size_t cut = 0;                    // bytes cut off the end
};

std::string build(const Wav& w) {
  std::string fmt;
  put16(fmt, w.format);
  put16(fmt, w.channels);
  put32(fmt, w.rate);
  put32(fmt, w.rate * w.channels * w.bits / 8);
  put16(fmt, uint16_t(w.channels * w.bits / 8));
  put16(fmt, w.bits);
  std::string body = "WAVE" + w.extraChunk + "fmt ";
  put32(body, uint32_t(fmt.size()));
  body += fmt + "data";
  put32(body, w.dataLen.value_or(uint32_t(w.samples.size() * 2)));
  for (int16_t v : w.samples) put16(body, uint16_t(v));
  std::string s = "RIFF";
  put32(s, uint32_t(body.size()));
  s += body;
  s.resize(s.size() - w.cut);
  return s;
}

std::string refusal(const std::string& bytes) {
  try {
    tool::parseWav(bytes, "in.wav");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(WavReader, TakesSixteenKilohertzMonoPcmAcrossOtherChunks) {
  Wav w;
  EXPECT_EQ(tool::parseWav(build(w), "a"), w.samples);
  // An odd-length chunk before fmt is padded to even: the walk must skip the pad.
  w.extraChunk = std::string("LIST") + std::string("\x03\0\0\0", 4) + "abc" + std::string(1, '\0');
  EXPECT_EQ(tool::parseWav(build(w), "a"), w.samples);
  // A streaming writer's unknown length, and a truncated file: the whole
  // samples present, never a read past the end.
  w.dataLen = 0xFFFFFFFFu;
  EXPECT_EQ(tool::parseWav(build(w), "a"), w.samples);
  w.dataLen.reset();
  w.cut = 3;
  EXPECT_EQ(tool::parseWav(build(w), "a"), (std::vector<int16_t>{1, -2, 300}));
}

TEST(WavReader, RefusesOtherFormatsNamingWhatTheFileHolds) {
  Wav stereo;
  stereo.channels = 2;
  const std::string m = refusal(build(stereo));
  EXPECT_NE(m.find("in.wav holds 16000 Hz, 2 channel(s), 16-bit PCM"), std::string::npos) << m;
  EXPECT_NE(m.find("ffmpeg -i IN -ar 16000 -ac 1"), std::string::npos) << m;
  Wav rate;
  rate.rate = 44100;
  EXPECT_NE(refusal(build(rate)).find("44100 Hz"), std::string::npos);
  Wav fl;
  fl.format = 3;
  fl.bits = 32;
  EXPECT_NE(refusal(build(fl)).find("32-bit format 3"), std::string::npos);
  EXPECT_NE(refusal("RIFX....WAVE").find("not a WAV file"), std::string::npos);
  EXPECT_NE(refusal("").find("not a WAV file"), std::string::npos);
  // A fmt chunk claiming more bytes than the file has.
  std::string cut = build(Wav{});
  cut.resize(30);
  EXPECT_NE(refusal(cut).find("truncated fmt chunk"), std::string::npos) << refusal(cut);
  // A chunk length near 4 GiB must not wrap the cursor.
  Wav huge;
  huge.extraChunk = std::string("junk") + std::string("\xF0\xFF\xFF\xFF", 4);
  EXPECT_NE(refusal(build(huge)).find("no fmt chunk"), std::string::npos);
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
