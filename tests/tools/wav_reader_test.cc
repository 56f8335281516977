// The hosts' speech input: any audio FFmpeg reads comes out as 16 kHz mono,
// raw stdin samples little-endian.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/testkit.h"
#include "tools/pushed_audio.h"
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
  std::string body = "WAVE" "fmt ";
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

// Builds a WAV of `frames` frames whose channel c holds the constant level[c]
// (16-bit PCM, or 32-bit float with format 3), writes it to path.
std::string constantWav(const TempDir& tmp, const std::string& name, uint32_t rate, std::vector<double> level,
                        uint16_t format, size_t frames) {
  Wav w;
  w.rate = rate;
  w.channels = uint16_t(level.size());
  w.format = format;
  w.bits = format == 3 ? 32 : 16;
  w.samples.clear();
  for (size_t i = 0; i < frames; ++i)
    for (double v : level) {
      if (format == 3) {
        float f = float(v / 32768.0);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        w.samples.push_back(int16_t(u & 0xFFFF));
        w.samples.push_back(int16_t(u >> 16));
      } else {
        w.samples.push_back(int16_t(v));
      }
    }
  const std::string path = tmp / name;
  writeFile(path, build(w));
  return path;
}

TEST(SpeechReader, SixteenKilohertzMonoPcmComesThroughUnchanged) {
  TempDir tmp;
  Wav w;
  w.samples.clear();
  for (int i = 0; i < 4000; ++i) w.samples.push_back(int16_t((i * 37) % 20001 - 10000));
  writeFile(tmp / "a.wav", build(w));
  EXPECT_EQ(tool::readSpeech(tmp / "a.wav"), w.samples);
  // A truncated file gives the whole samples present.
  w.cut = 3;
  writeFile(tmp / "c.wav", build(w));
  const std::vector<int16_t> cut = tool::readSpeech(tmp / "c.wav");
  ASSERT_EQ(cut.size(), w.samples.size() - 2);
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), w.samples.begin()));
}

TEST(SpeechReader, AnyRateSampleFormatAndChannelCountBecomesSixteenKilohertzMono) {
  struct Case {
    uint32_t rate;
    std::vector<double> level;  // per channel
    uint16_t format;
    double mono;                // the level the mono mix must reach
  };
  const Case cases[] = {
      {44100, {8000, 4000}, 1, 6000},      // stereo: the mean of the sides
      {48000, {9000}, 3, 9000},            // float
      {8000, {-6000}, 1, -6000},           // upsampled
      {22050, {6000, 6000, 6000, 6000, 6000, 6000}, 1, 6000},  // 5.1
  };
  TempDir tmp;
  for (const Case& c : cases) {
    const size_t frames = c.rate;  // one second
    const std::string path = constantWav(tmp, "x.wav", c.rate, c.level, c.format, frames);
    const std::vector<int16_t> got = tool::readSpeech(path);
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.level.size()) + " channel(s)");
    EXPECT_NEAR(double(got.size()), 16000.0, 40.0);
    ASSERT_GT(got.size(), 12000u);
    // Away from the resampler's edges the constant survives.
    for (size_t i = 4000; i < 12000; i += 1000) EXPECT_NEAR(got[i], c.mono, std::fabs(c.mono) * 0.02 + 2) << i;
  }
}

// Refusals name the file and the reason. Only regular files are decoded: a
// FIFO or a device would keep the demuxer waiting, or feed it without end.
TEST(SpeechReader, RefusesWhatIsNotAudioNamingTheFileAndTheReason) {
  TempDir tmp;
  writeFile(tmp / "notes.wav", std::string(4096, 'x'));
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);
  const std::string regular = " is not a regular file (raw 16 kHz s16le samples go in as - on standard input)";
  for (const auto& [path, says] : {std::pair{tmp / "notes.wav", tmp / "notes.wav"}, {tmp / "none.wav", std::string("No such file")},
                                   {tmp.path(), "audio " + tmp.path() + regular}, {tmp / "fifo", "audio " + tmp / "fifo" + regular},
                                   {std::string("/dev/zero"), "audio /dev/zero" + regular}})
    EXPECT_NE(errorOf([&] { tool::readSpeech(path); }).find(says), std::string::npos) << path;
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

// The live host's pushed speech: every frame gets exactly its samples, and
// what is held stays bounded however long the run.
TEST(PushedAudio, FramesGetTheirSamplesAndTheFrontIsLetGo) {
  tool::PushedAudio a;
  std::vector<int16_t> block(320);
  size_t maxHeld = 0;
  int64_t next = 0;  // next sample value appended
  for (int64_t frame = 0; frame < 20000; ++frame) {
    // The pusher keeps about a second ahead of the frames muxed.
    while (a.total() < (frame + 25) * 640) {
      for (auto& v : block) v = int16_t(next++ % 30000);
      a.append(block.data(), block.size());
    }
    int16_t sound[640] = {};
    a.take(frame * 640, sound, 640);
    for (int i = 0; i < 640; ++i) ASSERT_EQ(sound[i], int16_t((frame * 640 + i) % 30000)) << frame << " " << i;
    maxHeld = std::max(maxHeld, a.held());
  }
  EXPECT_EQ(a.total(), next);
  EXPECT_LT(maxHeld, size_t(3 * 25 * 640 + 2 * 16000));  // a few seconds, not 20000 frames' worth
  // Samples not pushed (yet) leave the frame as it was.
  int16_t sound[4] = {9, 9, 9, 9};
  a.take(a.total() - 2, sound, 4);
  EXPECT_EQ(sound[2], 9);
  EXPECT_EQ(sound[3], 9);
}


}  // namespace
}  // namespace le::test
