// The hosts' speech input: any audio FFmpeg reads comes out as 16 kHz mono,
// raw stdin samples little-endian; the live page's WAV bodies and its
// synthesiser (an argument vector: shell text arrives byte for byte, nothing
// runs it).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/testkit.h"
#include "tools/live_request.h"
#include "tools/pushed_audio.h"
#include "tools/speech_synth.h"
#include "tools/wav_reader.h"

namespace le::test {
namespace {

void put16(std::string& s, uint16_t v) { s += char(v & 0xFF), s += char(v >> 8); }
void put32(std::string& s, uint32_t v) { put16(s, uint16_t(v & 0xFFFF)), put16(s, uint16_t(v >> 16)); }

struct Wav {
  uint16_t format = 1, channels = 1, bits = 16;
  uint32_t rate = 16000;
  std::vector<int16_t> samples;
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
  put32(body, uint32_t(w.samples.size() * 2));
  for (int16_t v : w.samples) put16(body, uint16_t(v));
  std::string s = "RIFF";
  put32(s, uint32_t(body.size()));
  s += body;
  s.resize(s.size() - w.cut);
  return s;
}

// A WAV at `rate` of one second whose channel c holds the constant level[c]
// (16-bit PCM, or 32-bit float with format 3), written to tmp/x.wav.
std::string constantWav(const TempDir& tmp, uint32_t rate, std::vector<double> level, uint16_t format) {
  Wav w{format, uint16_t(level.size()), uint16_t(format == 3 ? 32 : 16), rate, {}};
  for (size_t i = 0; i < rate; ++i)
    for (double v : level) {
      const float f = float(v / 32768.0);
      uint32_t u;
      std::memcpy(&u, &f, 4);
      if (format == 3) w.samples.insert(w.samples.end(), {int16_t(u & 0xFFFF), int16_t(u >> 16)});
      else w.samples.push_back(int16_t(v));
    }
  writeFile(tmp / "x.wav", build(w));
  return tmp / "x.wav";
}

TEST(SpeechReader, SixteenKilohertzMonoPcmComesThroughUnchanged) {
  TempDir tmp;
  Wav w;
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
  struct Case { uint32_t rate; std::vector<double> level; uint16_t format; double mono; };  // level per channel; mono: the mix
  const Case cases[] = {
      {44100, {8000, 4000}, 1, 6000},      // stereo: the mean of the sides
      {48000, {9000}, 3, 9000},            // float
      {8000, {-6000}, 1, -6000},           // upsampled
      {22050, {6000, 6000, 6000, 6000, 6000, 6000}, 1, 6000},  // 5.1
  };
  TempDir tmp;
  for (const Case& c : cases) {
    const std::vector<int16_t> got = tool::readSpeech(constantWav(tmp, c.rate, c.level, c.format));
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
  EXPECT_EQ(std::make_pair(out[0], out[1]), std::make_pair(int16_t(1), int16_t(-1)));
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
  EXPECT_EQ(std::make_pair(sound[2], sound[3]), std::make_pair(int16_t(9), int16_t(9)));
}

TEST(WavBody, SniffsTheRiffWaveHeader) {
  const struct { std::string body; bool wav; } cases[] = {
      {std::string("RIFF\x24\0\0\0WAVEfmt ", 16), true}, {std::string("RIFF\0\0\0\0WAVE", 12), true},
      {std::string("RIFF\0\0\0\0WAV", 11), false}, {std::string("RIFX\0\0\0\0WAVE", 12), false},
      {std::string("RIFF\0\0\0\0AVI LIST", 16), false}, {"ID3\x03 an mp3", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(tool::isWavBody(c.body), c.wav) << testing::PrintToString(c.body);
}

// A 16-bit mono WAV of n samples of a 440 Hz tone at `rate`.
std::string toneWav(uint32_t rate, size_t n) {
  Wav w;
  w.rate = rate;
  w.samples.resize(n);
  for (size_t i = 0; i < n; ++i) w.samples[i] = int16_t(8000 * std::sin(2 * M_PI * 440.0 * double(i) / rate));
  return build(w);
}

// A body reaches the speech reader (whose tests sweep rates and channels):
// half a second at 22.05 kHz is 8000 samples at its level. Bodies without
// samples are refused naming the upload, not the scratch file it went through.
TEST(WavBody, DecodesTo16kHzAndRefusesEmptyBodies) {
  const std::vector<int16_t> s = tool::decodeWavBody(toneWav(22050, 11025));
  EXPECT_NEAR(static_cast<double>(s.size()), 8000.0, 64.0);
  int peak = 0;
  for (const int16_t v : s) peak = std::max(peak, std::abs(int(v)));
  EXPECT_TRUE(peak > 6000 && peak < 9000) << peak;
  const std::string wav = toneWav(16000, 0);
  for (const std::string& body : {std::string("plain text"), wav, wav.substr(0, 20),
                                  std::string("RIFF\0\0\0\0WAVE", 12) + std::string(64, '\1')}) {
    try {
      tool::decodeWavBody(body);
      ADD_FAILURE() << "accepted a body of " << body.size() << " bytes with no samples";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).find("le-live-audio"), std::string::npos) << e.what();
    }
  }
}

TEST(ScratchFile, IsReplacedOnWriteAndRemovedAfterwards) {
  std::string path;
  {
    tool::ScratchFile f("le-live-test");
    path = f.path();
    EXPECT_TRUE(exists(path));
    f.write("first, longer content");
    f.write("second");
    EXPECT_EQ(readFile(path), "second");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "readable by others";
  }
  EXPECT_FALSE(exists(path));
}

// A stand-in synthesiser: records its arguments, one a line, and writes the
// WAV named after -w (or exits with the status given in FAKE_STATUS).
std::string fakeSpeaker(const TempDir& dir, const std::string& wavSource) {
  const std::string exe = dir / "fake-speak";
  writeFile(exe, "#!/bin/sh\n"
                 "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + dir / "args" + "\n"
                 "[ -n \"$FAKE_STATUS\" ] && exit \"$FAKE_STATUS\"\n"
                 "cp " + wavSource + " \"$2\"\n");
  ::chmod(exe.c_str(), 0755);
  return exe;
}

// Failures are errors, not silence; the text reaches the program unchanged
// and nothing runs what it says.
TEST(Synthesise, PassesTheTextUnchangedRunsNothingInItAndFailsLoudly) {
  TempDir dir;
  writeFile(dir / "empty.wav", toneWav(16000, 0));
  EXPECT_THROW(tool::synthesiseSpeech(fakeSpeaker(dir, dir / "empty.wav"), "hello"), std::runtime_error);  // no samples
  EXPECT_THROW(tool::synthesiseSpeech(dir / "no-such-program", "hello"), std::runtime_error);
  writeFile(dir / "tone.wav", toneWav(22050, 22050));
  const std::string exe = fakeSpeaker(dir, dir / "tone.wav");
  {
    ScopedEnv status("FAKE_STATUS", "3");
    EXPECT_NE(errorOf([&] { tool::synthesiseSpeech(exe, "hello"); }).find("exit status 3"), std::string::npos);
  }
  const std::string marker = dir / "made-by-a-shell";
  const std::string text = "$(touch " + marker + "); `touch " + marker + "` | touch " + marker + " & -x";
  EXPECT_NEAR(static_cast<double>(tool::synthesiseSpeech(exe, text).size()), 16000.0, 64.0);
  EXPECT_EQ(readFile(dir / "args").substr(readFile(dir / "args").rfind("--\n") + 3), text + "\n");
  EXPECT_FALSE(exists(marker));
  const size_t n = tool::synthesiseSpeech("espeak-ng", "-one two three").size();
  EXPECT_TRUE(n > 8000 && n < 64000) << n;  // between half a second and four
}

}  // namespace
}  // namespace le::test
