// le-render --audio on the demo identity prepared for the batch stream: any
// file FFmpeg reads becomes one video frame per 640 samples of 16 kHz speech
// (fewer by --skip) beside an AAC track of it; files that hold no audio, and
// the stream's options without --audio, are refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include <unistd.h>

#include "pipeline/stream_fixture.h"
#include "tools/cli_run.h"
#include "tools/wav_reader.h"

namespace le::test {
namespace {

// {video frames, audio codec, audio rate, audio seconds} of an MP4.
std::tuple<int, std::string, int, double> probe(const TempDir& tmp, const std::string& mp4) {
  const std::string v = ffprobe(tmp, mp4, "stream=nb_read_frames", "v:0"),
                    a = ffprobe(tmp, mp4, "stream=codec_name,sample_rate,duration", "a:0");
  int frames = 0, rate = 0;
  double seconds = 0;
  char codec[32] = {};
  EXPECT_EQ(std::sscanf(v.c_str(), "%d", &frames) + std::sscanf(a.c_str(), "%31[^,],%d,%lf", codec, &rate, &seconds), 4) << v << a;
  return {frames, codec, rate, seconds};
}

Cmd leRender(const TempDir& tmp, const std::string& args) {
  return run(tmp, quote(LE_RENDER_EXE) + " " + quote(streamBundle()) + " -o " + quote(tmp / "out.mp4") + " " + args);
}

TEST(LeRenderAudio, AnyAudioFileBecomesOneFramePerFortiethOfASecondBesideItsSpeech) {
  TempDir tmp;
  ASSERT_FALSE(streamBundle().empty());
  const std::string wav = tmp / "s.wav";
  ASSERT_EQ(runFixture({"speech", "--out", wav, "--text", "audio for the whole clip"}), 0);
  ASSERT_EQ(run(tmp, "ffmpeg -nostdin -v error -i " + quote(wav) + " -ar 22050 -c:a libmp3lame " + quote(tmp / "s.mp3")).status, 0);
  const int samples = int(tool::readSpeech(wav).size()), frames = (samples + 639) / 640;
  ASSERT_GT(frames, 10);
  // {file, extra video frames allowed}: an MP3 encoder pads. Rates and
  // channel counts are the speech reader's own tests.
  for (const auto& [name, slack] : {std::pair{"s.wav", 0}, {"s.mp3", 2}}) {
    SCOPED_TRACE(name);
    const Cmd r = leRender(tmp, "--audio " + quote(tmp / name) + " --gain 0.04 -q");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "-q: nothing on standard error after a success";
    const auto [video, codec, rate, seconds] = probe(tmp, tmp / "out.mp4");
    EXPECT_TRUE(video >= frames && video <= frames + slack) << video << " for " << frames;
    EXPECT_EQ(std::make_pair(codec, rate), std::make_pair(std::string("aac"), 16000));
    EXPECT_NEAR(seconds, samples / 16000.0, slack ? 0.1 : 0.07);
  }
  // --skip leaves out the leading frames and their speech.
  const Cmd r = leRender(tmp, "--audio " + quote(wav) + " --frontend " + quote(streamBundle() + "/frontend.onnx") + " --skip " +
                                  std::to_string(frames - 5) + " -q");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto [video, codec, rate, seconds] = probe(tmp, tmp / "out.mp4");
  EXPECT_EQ(video, 5);
  EXPECT_NEAR(seconds, (samples - 640.0 * (frames - 5)) / 16000.0, 0.07);

  writeFile(tmp / "junk.wav", "RIFX0000WAVEjunk");
  const struct { std::string args; int status; std::string says; } refused[] = {
      {"--audio " + quote(tmp / "junk.wav"), 1, "le-render: cannot open audio " + tmp / "junk.wav" + ": "},
      {"--audio " + quote(wav) + " --keypoints " + quote(wav), 2, "--keypoints does not go with --audio"},
      {"--gain 2", 2, "--frontend, --gain and --skip need --audio"},
      {"--audio " + quote(wav) + " --gain nan", 2, "--gain"},
      {"--audio " + quote(wav) + " --skip 100000", 1, "leaves none of the clip's"},
  };
  for (const auto& c : refused) {
    ::unlink((tmp / "out.mp4").c_str());
    const Cmd e = leRender(tmp, c.args);
    EXPECT_EQ(e.status, c.status) << c.args;
    EXPECT_NE(e.err.find(c.says), std::string::npos) << e.err;
    EXPECT_FALSE(exists(tmp / "out.mp4")) << c.args;
  }
}

}  // namespace
}  // namespace le::test
