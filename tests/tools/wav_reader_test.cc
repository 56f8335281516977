// The live host's speech input: WAV chunks walked with checked lengths, only
// 16 kHz mono 16-bit PCM taken, raw stdin samples little-endian.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// A WAV arriving through a pipe is read as it comes: the first block is there
// long before the writer has finished (or ever finishes), and nothing but a
// block is held.
TEST(WavReader, StreamsFromAPipeWithoutWaitingForTheEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Wav w;
  w.samples.clear();
  w.dataLen = 0xFFFFFFFFu;  // a streaming writer's unknown length
  const std::string head = build(w);
  ASSERT_EQ(::write(fds[1], head.data(), head.size()), ssize_t(head.size()));
  std::string first;
  for (int i = 0; i < 100; ++i) put16(first, uint16_t(i * 7));
  ASSERT_EQ(::write(fds[1], first.data(), first.size()), ssize_t(first.size()));
  std::FILE* in = ::fdopen(fds[0], "rb");
  ASSERT_NE(in, nullptr);
  std::setvbuf(in, nullptr, _IONBF, 0);  // a buffered read would wait for 4 KiB
  tool::WavStream s(in, "pipe");
  std::vector<int16_t> got(100);
  ASSERT_EQ(s.read(got.data(), 60), 60u);  // the writer is still open
  ASSERT_EQ(s.read(got.data() + 60, 40), 40u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(got[size_t(i)], int16_t(i * 7)) << i;
  const char tail[3] = {0x11, 0x22, 0x33};  // one sample and a dangling byte
  ASSERT_EQ(::write(fds[1], tail, 3), 3);
  ::close(fds[1]);
  EXPECT_EQ(s.read(got.data(), 100), 1u);
  EXPECT_EQ(got[0], int16_t(0x2211));
  EXPECT_EQ(s.read(got.data(), 100), 0u);
  std::fclose(in);
}

// readWav stops at its bound instead of reading on: the same refusal for a
// long file and for a device that never ends.
TEST(WavReader, ReadingWholeStopsAtTheBound) {
  char dir[] = "/tmp/le_wav_test.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/a.wav";
  Wav w;
  w.samples.assign(1000, 5);
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const std::string b = build(w);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
  }
  const struct {
    size_t bound;
    std::string result;
  } cases[] = {{1000, "1000 samples"}, {5000, "1000 samples"}, {999, "audio " + path + " is too long"},
               {0, "audio " + path + " is too long"}};
  for (const auto& c : cases) {
    std::string r;
    try {
      r = std::to_string(tool::readWav(path, c.bound).size()) + " samples";
    } catch (const std::runtime_error& e) {
      r = e.what();
    }
    EXPECT_EQ(r, c.result) << c.bound;
  }
  std::string zero;
  try {
    tool::readWav("/dev/zero", size_t(1) << 30);
  } catch (const std::runtime_error& e) {
    zero = e.what();
  }
  EXPECT_EQ(zero.rfind("/dev/zero is not a WAV file", 0), 0u) << zero;
  std::remove(path.c_str());
  ::rmdir(dir);
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
