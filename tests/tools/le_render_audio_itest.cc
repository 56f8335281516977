// le-render --audio on the demo identity prepared for the batch stream: the
// MP4 carries one video frame per 640 samples of the speech (fewer by --skip)
// and an AAC track of it; files that hold no audio are refused with one line,
// and the stream's options need --audio.
#include <gtest/gtest.h>
#include <cmath>
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

// Any file FFmpeg reads is resampled to 16 kHz mono: the clip keeps its
// length in frames, and the muxed speech its duration.
TEST(LeRenderAudio, AnMp3AndAStereoWavOfAnotherRateRenderWithTheRightDuration) {
  TempDir tmp;
  ASSERT_FALSE(streamBundle().empty());
  const std::string wav = speechWav(tmp, "s.wav", 16000, 1);
  const double seconds = wavSamples(tmp, wav) / 16000.0;
  const std::string mp3 = tmp / "s.mp3";
  ASSERT_EQ(run(tmp, "ffmpeg -nostdin -v error -y -i " + quote(wav) + " -ar 22050 -c:a libmp3lame " + quote(mp3)).status,
            0);
  for (const std::string& in : {speechWav(tmp, "st.wav", 44100, 2), mp3}) {
    SCOPED_TRACE(in);
    const std::string mp4 = tmp / "out.mp4";
    const Cmd r = leRender(tmp, quote(streamBundle()) + " -o " + quote(mp4) + " --audio " + quote(in) + " -q");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "-q: nothing on standard error after a success";
    const Streams s = probe(tmp, mp4);
    // An MP3 carries the encoder's padding: up to two frames more.
    EXPECT_GE(s.videoFrames, int(std::ceil(seconds * 25)));
    EXPECT_LE(s.videoFrames, int(std::ceil(seconds * 25)) + 2);
    EXPECT_NEAR(s.audioSeconds, seconds, 0.1);
  }
}

TEST(LeRenderAudio, RefusesAudioItCannotSpeakAndOptionsThatNeedAudio) {
  TempDir tmp;
  ASSERT_FALSE(streamBundle().empty());
  const std::string b = quote(streamBundle()), out = quote(tmp / "x.mp4");
  writeFile(tmp / "junk.wav", "RIFX0000WAVEjunk");
  Cmd r = leRender(tmp, b + " -o " + out + " --audio " + quote(tmp / "junk.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("le-render: cannot open audio " + tmp / "junk.wav" + ": ", 0), 0u) << r.err;
  EXPECT_FALSE(exists(tmp / "x.mp4"));

  const std::string wav = quote(speechWav(tmp, "s.wav", 16000, 1));
  r = leRender(tmp, b + " -o " + out + " --audio " + wav + " --keypoints " + wav);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--keypoints does not go with --audio"), std::string::npos) << r.err;
  r = leRender(tmp, b + " -o " + out + " --gain 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--frontend, --gain and --skip need --audio"), std::string::npos) << r.err;
  r = leRender(tmp, b + " -o " + out + " --audio " + wav + " --gain nan");
  EXPECT_EQ(r.status, 2);
  r = leRender(tmp, b + " -o " + out + " --audio " + wav + " --skip 100000");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("leaves none of the clip's"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace le::test
