// le-render --audio on the demo identity prepared for the batch stream: the
// MP4 carries one video frame per 640 samples of the WAV (fewer by --skip) and
// an AAC track of the speech; WAV files it cannot speak are refused with one
// line, and the stream's options need --audio.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pipeline/stream_fixture.h"
#include "tools/cli_run.h"

namespace le::test {
namespace {

// Speech from espeak-ng as 16-bit PCM WAV at `rate` Hz with `channels`.
std::string speechWav(const TempDir& tmp, const std::string& name, int rate, int channels) {
  const std::string raw = tmp / "espeak.wav", out = tmp / name;
  const Cmd r = run(tmp, "espeak-ng -s 150 -w " + quote(raw) + " 'audio for the whole clip' && ffmpeg -nostdin -v error -y -i " +
                            quote(raw) + " -ar " + std::to_string(rate) + " -ac " + std::to_string(channels) +
                            " -c:a pcm_s16le " + quote(out));
  EXPECT_EQ(r.status, 0) << r.err;
  return out;
}

struct Streams {
  int videoFrames = 0, audioRate = 0;
  std::string audioCodec;
  double audioSeconds = 0;
};

Streams probe(const TempDir& tmp, const std::string& mp4) {
  Streams s;
  Cmd r = run(tmp, "ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " +
                      quote(mp4));
  EXPECT_EQ(std::sscanf(r.out.c_str(), "%d", &s.videoFrames), 1) << r.out << r.err;
  r = run(tmp, "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,duration -of csv=p=0 " +
                  quote(mp4));
  char codec[32] = {};
  EXPECT_EQ(std::sscanf(r.out.c_str(), "%31[^,],%d,%lf", codec, &s.audioRate, &s.audioSeconds), 3) << r.out << r.err;
  s.audioCodec = codec;
  return s;
}

int wavSamples(const TempDir& tmp, const std::string& wav) {
  const Cmd r = run(tmp, "ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + quote(wav));
  int n = 0;
  EXPECT_EQ(std::sscanf(r.out.c_str(), "%d", &n), 1) << r.out << r.err;
  return n;
}

Cmd leRender(const TempDir& tmp, const std::string& args) { return run(tmp, quote(LE_RENDER_EXE) + " " + args); }

TEST(LeRenderAudio, MuxesTheSpeechBesideOneFramePerFortiethOfASecond) {
  TempDir tmp;
  ASSERT_FALSE(streamBundle().empty());
  const std::string wav = speechWav(tmp, "s.wav", 16000, 1);
  const int samples = wavSamples(tmp, wav);
  ASSERT_GT(samples, 640 * 10);
  const int frames = (samples + 639) / 640;

  const std::string mp4 = tmp / "out.mp4";
  Cmd r = leRender(tmp, quote(streamBundle()) + " -o " + quote(mp4) + " --audio " + quote(wav) + " --gain 0.04 -q");
  ASSERT_EQ(r.status, 0) << r.err;
  Streams s = probe(tmp, mp4);
  EXPECT_EQ(s.videoFrames, frames);
  EXPECT_EQ(s.audioCodec, "aac");
  EXPECT_EQ(s.audioRate, 16000);
  EXPECT_NEAR(s.audioSeconds, samples / 16000.0, 0.07);

  // --skip leaves out the leading frames and their speech.
  const std::string skipped = tmp / "skip.mp4";
  const int skip = frames - 5;
  r = leRender(tmp, quote(streamBundle()) + " -o " + quote(skipped) + " --audio " + quote(wav) +
                        " --frontend " + quote(streamBundle() + "/frontend.onnx") + " --skip " +
                        std::to_string(skip) + " -q");
  ASSERT_EQ(r.status, 0) << r.err;
  s = probe(tmp, skipped);
  EXPECT_EQ(s.videoFrames, 5);
  EXPECT_NEAR(s.audioSeconds, (samples - 640.0 * skip) / 16000.0, 0.07);
}

TEST(LeRenderAudio, RefusesAudioItCannotSpeakAndOptionsThatNeedAudio) {
  TempDir tmp;
  ASSERT_FALSE(streamBundle().empty());
  writeFile(tmp / "junk.wav", "RIFX0000WAVEjunk");
  // A format chunk claiming more bytes than the file holds.
  writeFile(tmp / "lying.wav", std::string("RIFF") + std::string(4, '\0') + "WAVEfmt " + std::string("\xff\xff\x00\x00", 4) +
                                   std::string(16, '\1'));
  const std::string wav = quote(speechWav(tmp, "s.wav", 16000, 1)), stereo = quote(speechWav(tmp, "st.wav", 22050, 2));
  const struct {
    std::string args;
    int status;
    const char* says;
  } rows[] = {
      {"--audio " + stereo, 1, "holds 22050 Hz, 2 channel(s), 16-bit PCM; "},
      {"--audio " + quote(tmp / "junk.wav"), 1, "is not a WAV file"},
      {"--audio " + quote(tmp / "lying.wav"), 1, "truncated fmt chunk"},
      {"--audio " + wav + " --keypoints " + wav, 2, "--keypoints does not go with --audio"},
      {"--gain 2", 2, "--frontend, --gain and --skip need --audio"},
      {"--audio " + wav + " --gain nan", 2, "--gain"},
      {"--audio " + wav + " --skip 100000", 1, "leaves none of the clip's"},
  };
  for (const auto& r : rows) {
    const Cmd c = leRender(tmp, quote(streamBundle()) + " -o " + quote(tmp / "x.mp4") + " " + r.args);
    EXPECT_EQ(c.status, r.status) << r.args;
    EXPECT_NE(c.err.find(r.says), std::string::npos) << r.args << ": " << c.err;
    EXPECT_FALSE(exists(tmp / "x.mp4")) << r.args;
  }
}

}  // namespace
}  // namespace le::test
