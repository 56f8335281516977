// Mp4Writer read back by the ffmpeg CLI: the stream layout (H.264 alone, or
// with AAC), frame count and audio duration; a tone written in uneven chunks
// comes back at its place, pitch and level with its last partial encoder
// frame; misuse is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/cli_run.h"
#include "tools/mp4_writer.h"

namespace le::test {
namespace {

constexpr int kRate = 16000, kFps = 25, kW = 64, kH = 48;

std::vector<int16_t> tone(size_t n, double hz, double amp) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = int16_t(std::lround(amp * 32767.0 * std::sin(2 * std::numbers::pi * hz * double(i) / kRate)));
  return s;
}

// "codec[,rate,channels],frames" a line per stream, the audio duration, and
// the first audio stream decoded to float.
struct Track { std::string streams; double seconds = 0; std::vector<float> pcm; };

Track probe(const TempDir& tmp, const std::string& mp4) {
  Track t;
  t.streams = ffprobe(tmp, mp4, "stream=codec_name,sample_rate,channels,nb_read_frames");
  const std::string d = ffprobe(tmp, mp4, "stream=duration", "a:0");
  t.seconds = d.empty() ? -1 : std::stod(d);
  if (run(tmp, "ffmpeg -nostdin -v error -y -i " + quote(mp4) + " -vn -f f32le " + quote(tmp / "a.f32")).status == 0)
    t.pcm = readF32(tmp / "a.f32");
  return t;
}

// Amplitude of the `hz` component over [from, to) (a single DFT bin).
double amplitudeAt(const std::vector<float>& s, size_t from, size_t to, double hz) {
  double re = 0, im = 0;
  for (size_t i = from; i < to; ++i) {
    const double a = 2 * std::numbers::pi * hz * double(i) / kRate;
    re += s[i] * std::cos(a), im += s[i] * std::sin(a);
  }
  return 2 * std::hypot(re, im) / double(to - from);
}

// 2 s of video; 0.5 s of silence, then 1.3 s of a 440 Hz tone written in
// uneven chunks between the frames the way a live host does. 28800 samples is
// 28.125 AAC frames: the tone's end lies in a partial frame only the flush sends.
TEST(Mp4WriterAudio, ToneComesBackAtItsPlaceLengthPitchAndLevel) {
  TempDir tmp;
  const std::string path = tmp / "tone.mp4";
  const size_t silence = kRate / 2, end = silence + 13 * kRate / 10;
  std::vector<int16_t> pcm = tone(end, 440, 0.5);
  std::fill(pcm.begin(), pcm.begin() + silence, 0);
  {
    tool::Mp4Writer w(path, kW, kH, kFps, 23, tool::AudioFormat{});
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3, 90);
    const size_t chunks[] = {320, 777, 1, 1500, 640};
    for (size_t f = 0, at = 0; f < 2 * kFps; ++f) {
      w.write(rgb.data());
      for (const size_t until = std::min(pcm.size(), (f + 1) * kRate / kFps); at < until;) {
        const size_t n = std::min(chunks[at % 5], until - at);
        w.writeAudio(pcm.data() + at, n);
        at += n;
      }
    }
    EXPECT_EQ(w.audioSamples(), int64_t(pcm.size()));
    w.finish();
  }
  const Track t = probe(tmp, path);
  EXPECT_EQ(t.streams.rfind("h264,50\naac,16000,1,", 0), 0u) << t.streams;  // then the AAC frame count
  // The container's duration and the decoded samples: within one AAC frame.
  EXPECT_NEAR(t.seconds, double(end) / kRate, 1024.0 / kRate);
  ASSERT_NEAR(double(t.pcm.size()), double(end), 1024);
  ASSERT_GE(t.pcm.size(), end - 64);
  // Encoder priming is trimmed: the silence stays silent and the tone starts
  // where it was written (to within a few ms of codec smear).
  EXPECT_LT(rms(t.pcm, 0, silence - 160), 0.01);
  EXPECT_GT(rms(t.pcm, silence + 160, silence + 800), 0.3);
  EXPECT_NEAR(rms(t.pcm, kRate, 3 * kRate / 2), 0.5 / std::sqrt(2.0), 0.05);
  EXPECT_NEAR(amplitudeAt(t.pcm, kRate, 3 * kRate / 2, 440), 0.5, 0.05);
  EXPECT_LT(amplitudeAt(t.pcm, kRate, 3 * kRate / 2, 1000), 0.02);
  EXPECT_NEAR(amplitudeAt(t.pcm, end - kRate / 10, end - 64, 440), 0.5, 0.08);
}

TEST(Mp4WriterAudio, RejectsMisuseAndKeepsVideoOnlyFilesSingleStream) {
  TempDir tmp;
  const std::string path = tmp / "video.mp4";
  {
    tool::Mp4Writer w(path, kW, kH, kFps, 23);
    const std::vector<uint8_t> grey(size_t(kW) * kH * 3, 40);
    for (int f = 0; f < 5; ++f) w.write(grey.data());
    const int16_t s[2] = {1, 2};
    EXPECT_THROW(w.writeAudio(s, 2), std::logic_error);
    w.finish();
  }
  EXPECT_EQ(probe(tmp, path).streams, "h264,5\n");

  tool::Mp4Writer stereo(tmp / "stereo.mp4", kW, kH, kFps, 23, tool::AudioFormat{kRate, 2, 96000});
  const int16_t three[3] = {1, 2, 3};
  EXPECT_THROW(stereo.writeAudio(three, 3), std::invalid_argument);
  EXPECT_THROW(stereo.writeAudio(nullptr, 2), std::invalid_argument);
  stereo.writeAudio(three, 2);
  EXPECT_EQ(stereo.audioSamples(), 1);
  stereo.finish();
  EXPECT_THROW(stereo.writeAudio(three, 2), std::logic_error);
  EXPECT_THROW(tool::Mp4Writer(tmp / "bad.mp4", kW, kH, kFps, 23, tool::AudioFormat{kRate, 3, 64000}), std::runtime_error);
}

}  // namespace
}  // namespace le::test
