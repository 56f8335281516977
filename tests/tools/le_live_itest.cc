// le-live end to end on the demo identity with the fixture motion generator:
// the frame kinds run idle -> speech -> ramp -> idle, the MP4 holds as many
// video frames as were delivered and an AAC track whose sound sits under the
// speech frames and is the pushed speech; the interrupt cuts the speech and
// gives the short ramp; raw PCM from standard input; the command line's errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"
#include "tools/cli_run.h"
#include "tools/demo_fixture.h"
#include "tools/wav_reader.h"

namespace le::test {
namespace {

// Demo identity plus a motion directory built on its target rows, and about
// 2 s of espeak-ng speech as a 16 kHz mono WAV; made once per process.
struct LiveFixture {
  TempDir dir;
  std::string motion = dir / "motion", wav = dir / "speech.wav";
  std::vector<int16_t> speech;
  bool ok = false;
  LiveFixture() {
    if (demoContainer().empty()) return;
    std::filesystem::create_directories(motion);
    std::filesystem::copy_file(loadManifest(demoContainer()).dir + "/xs_target.bin", motion + "/xs_target.bin");
    if (runFixture({"motion", "dir", "--out", motion}) != 0 || runFixture({"speech", "--out", wav, "--text", "Hello, how are you today?"}) != 0)
      return;
    speech = tool::readWav(wav, size_t(16000) * 60);
    ok = speech.size() > 8000;
  }
};

const LiveFixture& live() {
  static LiveFixture f;
  return f;
}

// One le-live run on the demo: its exit, standard error, report keys and
// frame kinds ("0" idle, "1" speech, "2" ramp, one character a frame).
struct Live {
  Cmd cmd;
  std::map<std::string, std::string> rep;
  std::string kinds;
  size_t count(char k) const { return size_t(std::count(kinds.begin(), kinds.end(), k)); }
};

Live leLive(const TempDir& tmp, const std::string& args) {
  Live l;
  const std::string report = tmp / "report.txt";
  l.cmd = run(tmp, quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + args + " --report " + quote(report));
  const std::string text = exists(report) ? readFile(report) : "";
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at), colon = text.find(": ", at);
    if (colon < nl) l.rep[text.substr(at, colon - at)] = text.substr(colon + 2, nl - colon - 2);
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  l.kinds = l.rep["kinds"];
  return l;
}

// The MP4's sound decoded to 16 kHz mono s16 by the ffmpeg CLI.
std::vector<int16_t> decodeSound(const TempDir& tmp, const std::string& mp4) {
  const std::string raw = tmp / "sound.raw";
  const Cmd r = run(tmp, "ffmpeg -nostdin -v error -y -i " + quote(mp4) + " -vn -f s16le -ac 1 -ar 16000 " + quote(raw));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string b = exists(raw) ? readFile(raw) : "";
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

double rms(const std::vector<int16_t>& s, size_t from, size_t to) {
  double e = 0;
  to = std::min(to, s.size());
  for (size_t i = from; i < to; ++i) e += double(s[i]) * s[i];
  return to > from ? std::sqrt(e / double(to - from)) : 0;
}

// Normalised correlation of a[ao ...] and b[bo ...] over n samples.
double correlation(const std::vector<int16_t>& a, size_t ao, const std::vector<int16_t>& b, size_t bo, size_t n) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n && ao + i < a.size() && bo + i < b.size(); ++i) {
    ab += double(a[ao + i]) * b[bo + i];
    aa += double(a[ao + i]) * a[ao + i];
    bb += double(b[bo + i]) * b[bo + i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

TEST(LeLive, FastRunGoesIdleSpeechRampIdleWithTheSpeechUnderTheMouth) {
  ASSERT_TRUE(live().ok) << "demo, motion or speech fixture failed";
  TempDir tmp;
  const std::string mp4 = tmp / "live.mp4", sheet = tmp / "sheet.png";
  const Live l = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                                 " --fast --end-marks --lead 0.4 --tail 0.6 --threads 2 --sheet " + quote(sheet) + " --sheet-frames 6");
  ASSERT_EQ(l.cmd.status, 0) << l.cmd.err;
  EXPECT_NE(l.cmd.err.find("le-live: stats: delivered "), std::string::npos) << l.cmd.err;
  const std::string& kinds = l.kinds;
  EXPECT_EQ(std::to_string(kinds.size()), l.rep.at("frames"));
  // idle+, speech+ (every pushed sample, 640 a frame), exactly the 6-frame end
  // ramp, idle+.
  const size_t s0 = kinds.find('1'), n = (live().speech.size() + 639) / 640;
  EXPECT_TRUE(!kinds.empty() && s0 > 0 && kinds.back() == '0' && kinds == std::string(s0, '0') + std::string(n, '1') + "222222" + std::string(kinds.size() - s0 - n - 6, '0'))
      << kinds;
  const size_t r0 = s0 + n;
  EXPECT_EQ(l.rep.at("interrupted"), "no");
  EXPECT_GT(std::stod(l.rep.at("first_frame_latency_ms")), 0.0);
  EXPECT_GT(std::stod(l.rep.at("frames_per_second")), 0.0);
  // The motion generator pastes inline: the stage report says it measured nothing.
  EXPECT_NE(l.rep.at("stage_report").find("[le_utt-stage] MEASURED NOTHING"), std::string::npos);
  EXPECT_EQ(l.rep.at("stage_shares"), "not measured");
  EXPECT_EQ(readFile(sheet).substr(1, 3), "PNG");
  const Cmd streams = run(tmp, "ffprobe -v error -count_frames -show_entries stream=codec_name,sample_rate,nb_read_frames -of csv=p=0 " + quote(mp4));
  EXPECT_EQ(streams.out.rfind("h264," + std::to_string(kinds.size()) + "\naac,16000,", 0), 0u) << streams.out << streams.err;

  // The sound: the pushed speech, starting at the first speech frame; silence
  // two frames away from any speech frame.
  const std::vector<int16_t> sound = decodeSound(tmp, mp4);
  ASSERT_GE(sound.size(), kinds.size() * 640 - 1024);
  const size_t at = s0 * 640, len = live().speech.size();
  EXPECT_GT(correlation(sound, at, live().speech, 0, len), 0.9);
  EXPECT_LT(correlation(sound, at + 3 * 640, live().speech, 0, len), 0.5);  // not shifted by frames
  EXPECT_LT(rms(sound, 0, (s0 - 2) * 640), 30.0);
  EXPECT_LT(rms(sound, (r0 + 2) * 640, kinds.size() * 640), 30.0);
  EXPECT_GT(rms(sound, at, at + len), 500.0);
}

// Without --motion the bundle's own streaming models speak; their frontend is
// found beside them with W2V_ONNX unset, and the pipelined paste measures the
// stage shares.
TEST(LeLive, TheDemosOwnStreamingEngineSpeaksAndTheStageSharesAreMeasured) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const ScopedEnv noW2v("W2V_ONNX", std::nullopt);
  const Live l = leLive(tmp, quote(live().wav) + " -o " + quote(tmp / "own.mp4") + " --fast --end-marks --tail 0.4 --steady -");
  ASSERT_EQ(l.cmd.status, 0) << l.cmd.err;
  // The demo's rewritten director leaves onnxruntime nothing to warn about;
  // a file gets no colour codes; the stage report went to the report only.
  for (const char* absent : {"[onnxruntime]", "\x1b", "[le_utt-stage]"}) EXPECT_EQ(l.cmd.err.find(absent), std::string::npos) << absent << l.cmd.err;
  EXPECT_NE(l.cmd.err.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << l.cmd.err;
  // Without a chunk director the warm-up has nothing to fail on.
  EXPECT_EQ(l.rep.at("render_failures"), "0") << l.rep.at("render_status");
  EXPECT_EQ(l.rep.at("render_status"), "ok");
  EXPECT_EQ(l.count('1'), (live().speech.size() + 639) / 640) << l.kinds;
  EXPECT_EQ(l.count('2'), 6u) << l.kinds;
  EXPECT_EQ(l.rep.at("stage_report").rfind("[le_utt-stage] pipe=0 jobsB=0 jobsC=", 0), 0u) << l.rep.at("stage_report");
  const double a = std::stod(l.rep.at("stage_share_render")), b = std::stod(l.rep.at("stage_share_borrow")),
               c = std::stod(l.rep.at("stage_share_paste"));
  EXPECT_NEAR(a + b + c, 100.0, 0.2);
  EXPECT_GT(a, 0.0);
  EXPECT_GT(c, 0.0);
  EXPECT_EQ(b, 0.0);  // no teeth borrow attached
}

TEST(LeLive, InterruptCutsTheSpeechIntoTheShortRampThenIdle) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "cut.mp4";
  // Speech starts at 0.2 s; the interrupt lands 0.8 s into it. Eager frames
  // make the motion generator speak before its first full chunk of audio.
  const Live l = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                                 " --fast --eager 3 --lead 0.2 --tail 0.4 --interrupt 1.0");
  ASSERT_EQ(l.cmd.status, 0) << l.cmd.err;
  EXPECT_NE(l.cmd.err.find("(interrupted)"), std::string::npos) << l.cmd.err;
  EXPECT_EQ(l.rep.at("interrupted"), "yes");
  EXPECT_LT(std::stod(l.rep.at("speech_seconds_pushed")), double(live().speech.size()) / 16000.0);
  // Speech frames, then the 4-frame interrupt ramp where the host pulled the
  // interrupt (1.0 s, frame 25), then idle to the end.
  const size_t s0 = l.kinds.find('1'), r0 = 25;
  ASSERT_LT(s0, r0) << l.kinds;
  EXPECT_EQ(l.kinds, std::string(s0, '0') + std::string(r0 - s0, '1') + "2222" + std::string(l.kinds.size() - r0 - 4, '0'));
  // The video ends on silence: nothing after the cut sounds.
  const std::vector<int16_t> sound = decodeSound(tmp, mp4);
  EXPECT_LT(rms(sound, (r0 + 2) * 640, sound.size()), 30.0);
  EXPECT_GT(rms(sound, s0 * 640, r0 * 640), 500.0);
}

// Raw samples from standard input in 7 ms pushes, paced by the clock: the
// frames cover the timeline and pulling at 25 fps cannot deliver them faster
// than their own duration.
TEST(LeLive, RealTimeRunOfRawSpeechFromStandardInput) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string raw = tmp / "speech.raw";
  writeFile(raw, std::string(reinterpret_cast<const char*>(live().speech.data()), 8000 * 2));  // 0.5 s
  const Live l = leLive(tmp, "- -o " + quote(tmp / "rt.mp4") + " --motion " + quote(live().motion) +
                                 " --end-marks --chunk-ms 7 --lead 0.2 --tail 0.5 < " + quote(raw));
  ASSERT_EQ(l.cmd.status, 0) << l.cmd.err;
  EXPECT_EQ(l.rep.at("mode"), "realtime");
  EXPECT_EQ(l.rep.at("speech_seconds_pushed"), "0.500");
  EXPECT_EQ(l.count('1'), 13u) << l.kinds;  // 8000 samples: 12.5 frames
  const double frames = std::stod(l.rep.at("frames"));
  EXPECT_GE(frames, 30);
  EXPECT_GE(std::stod(l.rep.at("run_seconds")), (frames - 1) / 25.0);
}

TEST(LeLive, RefusesBadUsageAndOtherAudioFormatsWithOneLineErrors) {
  TempDir tmp;
  const Cmd help = run(tmp, quote(LE_LIVE_EXE) + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: le-live BUNDLE AUDIO -o OUT.mp4"), std::string::npos);
  ASSERT_TRUE(live().ok);
  const std::string stereo = tmp / "stereo.wav", mp4 = tmp / "x.mp4";
  ASSERT_EQ(run(tmp, "ffmpeg -nostdin -v error -y -i " + quote(live().wav) + " -ac 2 -ar 22050 " + quote(stereo)).status, 0);
  const std::string demo = quote(demoContainer()) + " ";
  const struct {
    std::string args;
    int status;
    std::string says;
  } rows[] = {
      {"", 2, "le-live: no BUNDLE and AUDIO given (le-live --help for usage)\n"},
      {"b a.wav", 2, "le-live: no output given (-o OUT.mp4) (le-live --help for usage)\n"},
      {"b a.wav -o x.mp4 --interrupt nan", 2, "--interrupt wants seconds in [0, 3600], got 'nan'"},
      {"b a.wav -o x.mp4 --chunk-ms 0", 2, "--chunk-ms"},
      {demo + quote(stereo) + " -o " + quote(mp4) + " --motion " + quote(live().motion), 1,
       "holds 22050 Hz, 2 channel(s), 16-bit PCM; le-live takes 16 kHz mono 16-bit PCM"},
      // An engine directory without models: the pipeline's warm-up message.
      {demo + quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(tmp / "nothing"), 1,
       "le-live: the audio engine did not start: "},
  };
  for (const auto& r : rows) {
    const Cmd c = run(tmp, quote(LE_LIVE_EXE) + " " + r.args);
    EXPECT_EQ(c.status, r.status) << r.args;
    EXPECT_NE(c.err.find(r.says), std::string::npos) << r.args << ": " << c.err;
    if (r.status == 2 || r.says.find("holds") != std::string::npos) {
      EXPECT_EQ(countOf(c.err, "\n"), 1) << c.err;  // refused before the bundle loads: one line
    }
    EXPECT_FALSE(exists(mp4));
  }
}

}  // namespace
}  // namespace le::test
