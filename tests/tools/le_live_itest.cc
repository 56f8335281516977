// le-live end to end on the demo identity with the fixture motion generator:
// the kinds run idle -> speech -> ramp -> idle and the MP4 carries as many
// video frames plus the pushed speech under the speech frames; the bundle's
// own streaming engine from raw standard input; the interrupt's short ramp;
// real-time pacing; signals, "-o -" and the terminal's progress line; and
// every command-line refusal in one table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"
#include "tools/cli_run.h"
#include "tools/demo_fixture.h"
#include "tools/wav_reader.h"

namespace le::test {
namespace {

// Demo identity, a motion directory on its target rows, and about 2 s of
// espeak-ng speech as a 16 kHz mono WAV and as raw samples; made once.
struct LiveFixture {
  TempDir dir;
  std::string motion = dir / "motion", wav = dir / "speech.wav", raw = dir / "speech.raw";
  std::vector<int16_t> speech;
  bool ok = false;
  LiveFixture() {
    if (demoContainer().empty() || ::mkdir(motion.c_str(), 0755) != 0) return;
    // The motion directory takes its driver length from the demo's target rows.
    writeFile(motion + "/xs_target.bin", readFile(loadManifest(demoContainer()).dir + "/xs_target.bin"));
    if (runFixture({"speech", "--out", wav, "--text", "Hello, how are you today?"}) != 0 ||
        runFixture({"motion", "dir", "--out", motion}) != 0)
      return;
    speech = tool::readSpeech(wav);
    writeFile(raw, std::string(reinterpret_cast<const char*>(speech.data()), speech.size() * 2));
    ok = speech.size() > 8000;
  }
  size_t frames() const { return (speech.size() + 639) / 640; }
};

const LiveFixture& live() {
  static LiveFixture f;
  return f;
}

// le-live on the demo bundle with the fixture speech and motion.
std::string liveCmd(const std::string& args) {
  return quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + quote(live().wav) + " --motion " + quote(live().motion) + " " + args;
}
Cmd leLive(const TempDir& tmp, const std::string& args) { return run(tmp, liveCmd(args)); }

std::string probeStreams(const TempDir& tmp, const std::string& mp4) {
  return ffprobe(tmp, mp4, "stream=codec_name,sample_rate,nb_read_frames");
}

// Normalised correlation of a[ao ...] and b over b's length.
double correlation(const std::vector<int16_t>& a, size_t ao, const std::vector<int16_t>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < b.size() && ao + i < a.size(); ++i)
    ab += double(a[ao + i]) * b[i], aa += double(a[ao + i]) * a[ao + i], bb += double(b[i]) * b[i];
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

TEST(LeLive, FastRunGoesIdleSpeechRampIdleWithTheSpeechUnderTheMouth) {
  ASSERT_TRUE(live().ok) << "demo, motion or speech fixture failed";
  TempDir tmp;
  const std::string mp4 = tmp / "live.mp4";
  const Cmd r = leLive(tmp, "-o " + quote(mp4) + " --fast --end-marks --lead 0.4 --tail 0.6 --threads 2 --report " +
                                quote(tmp / "r.txt") + " --sheet " + quote(tmp / "sheet.png") + " --sheet-frames 6");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("le-live: stats: delivered "), std::string::npos) << r.err;
  auto rep = readReport(tmp / "r.txt");
  const std::string kinds = rep["kinds"];
  const size_t s0 = kinds.find('1'), r0 = kinds.find_first_not_of('1', s0);
  ASSERT_NE(s0, std::string::npos) << kinds;
  // idle+, one speech frame per 640 pushed samples, the 6-frame ramp, idle+.
  EXPECT_EQ(kinds, std::string(s0, '0') + std::string(live().frames(), '1') + "222222" +
                       std::string(kinds.size() - s0 - live().frames() - 6, '0'));
  EXPECT_EQ(std::to_string(kinds.size()), rep["frames"]);
  EXPECT_EQ(std::make_tuple(rep["interrupted"], rep["late_frames"], rep["stage_shares"]),
            std::make_tuple("no", "not measured", "not measured"));
  EXPECT_GT(std::stod(rep["first_frame_latency_ms"]), 0.0);
  // The motion generator pastes inline: the stage report measured nothing.
  EXPECT_EQ(rep["stage_report"].rfind("[le_utt-stage] MEASURED NOTHING", 0), 0u) << rep["stage_report"];
  EXPECT_EQ(readFile(tmp / "sheet.png").substr(1, 3), "PNG");
  const std::string streams = probeStreams(tmp, mp4);
  EXPECT_NE(streams.find("h264," + std::to_string(kinds.size()) + "\naac,16000,"), std::string::npos) << streams;
  // The sound is the pushed speech from the first speech frame on, not
  // shifted by frames; silence two frames away from any speech frame.
  const std::vector<int16_t> sound = tool::readSpeech(mp4);
  EXPECT_GT(correlation(sound, s0 * 640, live().speech), 0.9);
  EXPECT_LT(correlation(sound, (s0 + 3) * 640, live().speech), 0.5);
  EXPECT_LT(rms(sound, 0, (s0 - 2) * 640), 30.0);
  EXPECT_LT(rms(sound, (r0 + 2) * 640, sound.size()), 30.0);
}

// Without --motion the bundle's own streaming models speak (their frontend is
// found beside them, W2V_ONNX unset), fed raw samples from standard input in
// 7 ms pieces; the pipelined paste measures the stage shares. Pushes start at
// --lead 1.5 as `make demo` does: the README gives the idle lead it leaves.
TEST(LeLive, TheDemosOwnEngineSpeaksRawStandardInputAndSharesAreMeasured) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const Cmd r = run(tmp, "env -u W2V_ONNX " + quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " - -o " +
                             quote(tmp / "x.mp4") + " --fast --end-marks --lead 1.5 --chunk-ms 7 --tail 0.4 --steady - -v " +
                             "--report " + quote(tmp / "r.txt") + " < " + quote(live().raw));
  ASSERT_EQ(r.status, 0) << r.err;
  // No onnxruntime warning on the demo's director, -v shows info lines, a file
  // gets no colour codes, the stage report goes to the report only.
  EXPECT_EQ(std::make_tuple(countOf(r.err, "[onnxruntime] warning"), countOf(r.err, "\x1b"), countOf(r.err, "[le_utt-stage]")),
            std::make_tuple(0, 0, 0)) << r.err;
  EXPECT_NE(r.err.find("[onnxruntime] info: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << r.err;
  auto rep = readReport(tmp / "r.txt");
  EXPECT_EQ(std::make_pair(rep["render_failures"], rep["render_status"]), std::make_pair(std::string("0"), std::string("ok")));
  EXPECT_NEAR(std::stod(rep["speech_seconds_pushed"]), double(live().speech.size()) / 16000, 0.001);
  EXPECT_EQ(std::make_pair(size_t(countOf(rep["kinds"], "1")), countOf(rep["kinds"], "2")), std::make_pair(live().frames(), 6))
      << rep["kinds"];
  const double lead = double(rep["kinds"].find('1')) / 25.0;
  EXPECT_TRUE(lead >= 2.0 && lead <= 2.6) << lead;
  EXPECT_NE(readFile(std::string(LE_SOURCE_DIR) + "/README.md").find("idle lead of `out/demo.mp4` is about 2.3 s"),
            std::string::npos);
  EXPECT_EQ(rep["stage_report"].rfind("[le_utt-stage] pipe=0 jobsB=0 jobsC=", 0), 0u) << rep["stage_report"];
  const double a = std::stod(rep["stage_share_render"]), b = std::stod(rep["stage_share_borrow"]),
               c = std::stod(rep["stage_share_paste"]);
  EXPECT_NEAR(a + b + c, 100.0, 0.2);
  EXPECT_TRUE(a > 0 && c > 0 && b == 0) << a << " " << b << " " << c;  // no teeth borrow attached
}

TEST(LeLive, InterruptCutsTheSpeechIntoTheShortRampThenIdle) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "cut.mp4";
  // Speech from 0.2 s, the interrupt at 1.0 s; eager frames let the motion
  // generator speak before its first full chunk.
  const Cmd r = leLive(tmp, "-o " + quote(mp4) + " --fast --eager 3 --lead 0.2 --tail 0.4 --interrupt 1.0 --report " +
                                quote(tmp / "r.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("(interrupted)"), std::string::npos) << r.err;
  auto rep = readReport(tmp / "r.txt");
  const std::string kinds = rep["kinds"];
  EXPECT_EQ(rep["interrupted"], "yes");
  EXPECT_LT(std::stod(rep["speech_seconds_pushed"]), live().speech.size() / 16000.0);
  // Speech, then at frame 25 (1.0 s, where the host interrupted) the
  // 4-frame interrupt ramp, then idle to the end.
  const size_t s0 = kinds.find('1');
  ASSERT_TRUE(s0 < 25 && kinds.size() > 29) << kinds;
  EXPECT_EQ(kinds, std::string(s0, '0') + std::string(25 - s0, '1') + "2222" + std::string(kinds.size() - 29, '0'));
  const std::vector<int16_t> sound = tool::readSpeech(mp4);
  EXPECT_LT(rms(sound, 27 * 640, sound.size()), 30.0);
  EXPECT_GT(rms(sound, s0 * 640, 25 * 640), 500.0);
}

// Pulling at 25 fps cannot deliver faster than the frames' own duration; the
// late frames agree with the worst lateness; -q leaves standard error empty.
TEST(LeLive, RealTimeRunIsPacedByTheClockAndCountsLateFrames) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const Cmd r = leLive(tmp, "-o " + quote(tmp / "x.mp4") + " -q --end-marks --lead 0.2 --tail 0.3 --report " + quote(tmp / "r.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto rep = readReport(tmp / "r.txt");
  const double frames = std::stod(rep.at("frames"));
  EXPECT_GE(frames, 30);
  EXPECT_GE(std::stod(rep.at("run_seconds")), (frames - 1) / 25.0);
  EXPECT_EQ(std::make_pair(rep.at("mode"), rep.at("run_status")), std::make_pair(std::string("realtime"), std::string("complete")));
  const long late = std::stol(rep.at("late_frames"));
  EXPECT_TRUE(late >= 0 && late <= frames) << late;
  EXPECT_EQ(late > 0, std::stod(rep.at("max_lateness_ms")) > 40.0) << late;
}

TEST(LeLive, RefusesBadUsageWithOneLineBeforeAnyWork) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string exe = quote(LE_LIVE_EXE), mp4 = tmp / "x.mp4", usage = " (le-live --help for usage)\n";
  writeFile(tmp / "notes.wav", "not audio at all");
  struct Case { std::string cmd; int status; std::string err; };  // err: the whole line, or its start when it ends in "..."
  std::vector<Case> cases = {
      {exe, 2, "le-live: no BUNDLE and AUDIO given" + usage},
      {exe + " b a.wav", 2, "le-live: no output given (-o OUT.mp4)" + usage},
      {exe + " b a.wav -o x.mp4 --interrupt nan", 2, "le-live: --interrupt wants seconds in [0, 3600], got 'nan'..."},
      {exe + " b a.wav -o x.mp4 --sheet -", 2, "le-live: --sheet - : standard output carries only the video..."},
      {exe + " " + quote(demoContainer()) + " " + quote(tmp / "notes.wav") + " -o " + quote(mp4), 1,
       "le-live: cannot open audio " + tmp / "notes.wav" + ": ..."},
      {exe + " " + quote(demoContainer()) + " " + quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(tmp / "none"), 1,
       "le-live: the audio engine did not start: ..."},
      // A bundle that is not there: outputs are refused before it is opened.
      {exe + " b " + quote(live().wav) + " -o " + quote(mp4) + " --report " + quote(tmp / "no/r.txt"), 1,
       "le-live: cannot write report " + tmp / "no/r.txt" + ": directory " + tmp / "no" + " does not exist\n"},
  };
#ifdef LE_LIVE_SERVE
  for (const auto& [args, error] : std::vector<std::pair<std::string, std::string>>{
           {"", "takes one BUNDLE and no AUDIO"}, {"127.0.0.1:8080", "takes one BUNDLE and no AUDIO"},
           {"b.imx speech.wav", "takes one BUNDLE and no AUDIO"}, {":8080 b.imx", "takes one BUNDLE and no AUDIO"},
           {"b.imx -o x.mp4", "writes no video; leave out -o"}, {"127.0.0.1:65536 b.imx", "127.0.0.1:65536: the port must be 0 .. 65535"},
           {"'my host:80' b.imx", "my host:80: not an address"}})
    cases.push_back({exe + " --serve " + args, 2, "le-live: --serve " + error + usage});
  // 192.0.2.1 is reserved for documentation: no interface has it.
  cases.push_back({exe + " --serve 192.0.2.1:8080 " + quote(demoContainer()), 1, "le-live: cannot listen on 192.0.2.1:8080..."});
#endif
  writeFile(mp4, "old");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmd);
    const Cmd r = run(tmp, c.cmd);
    EXPECT_EQ(r.status, c.status);
    const bool prefix = c.err.size() > 3 && c.err.substr(c.err.size() - 3) == "...";
    EXPECT_EQ(prefix ? r.err.substr(0, c.err.size() - 3) : r.err, prefix ? c.err.substr(0, c.err.size() - 3) : c.err);
    EXPECT_EQ(std::make_pair(countOf(r.err, "\n"), r.out), std::make_pair(1, std::string())) << r.err;
    EXPECT_EQ(readFile(mp4), "old");
  }
  EXPECT_NE(run(tmp, exe + " --help").out.find("usage: le-live BUNDLE AUDIO -o OUT.mp4"), std::string::npos);
}

// A signal ends the run with a playable video and a report saying so.
TEST(LeLive, SigintMidRunLeavesAPlayableVideoAndAReportMarkedInterrupted) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  for (const char* sig : {"INT", "TERM"}) {
    SCOPED_TRACE(sig);
    const Cmd r = signalMidRun(tmp, liveCmd("-o " + quote(tmp / "x.mp4") + " --tail 20 --report " + quote(tmp / "r.txt")),
                               tmp / ".x.mp4.part-", sig);
    EXPECT_NE(r.out.find("status=130"), std::string::npos) << r.out << r.err;
    const auto rep = readReport(tmp / "r.txt");
    EXPECT_EQ(rep.at("run_status"), std::string("interrupted (SIG") + sig + ")");
    const int frames = std::stoi(rep.at("frames"));
    EXPECT_TRUE(frames > 10 && frames < 25 * 20) << frames;
    // The index is written: ffprobe counts exactly the frames reported.
    const std::string streams = probeStreams(tmp, tmp / "x.mp4");
    EXPECT_NE(streams.find("h264," + std::to_string(frames) + "\naac,16000,"), std::string::npos) << streams;
  }
}

// "-o -" streams Matroska to a pipe while the progress line, on a terminal,
// is redrawn in place; a reader that leaves ends the run without an error.
TEST(LeLive, DashOutputStreamsMatroskaToAPipeUnderTheTerminalsProgressLine) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  if (run(tmp, "command -v script").status != 0) GTEST_SKIP() << "no script(1) for a pseudo-terminal";
  const std::string cmd = liveCmd("-o - --fast --tail 0.2");
  const Cmd r = run(tmp, "script -qec " + quote(cmd + " | ffprobe -v error -show_entries stream=codec_name:format=format_name "
                                                      "-of csv=p=0 -") + " /dev/null");
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* s : {"h264", "aac", "matroska", "\rle-live: ", " speech "}) EXPECT_NE(r.out.find(s), std::string::npos) << s << r.out;
  EXPECT_EQ(r.out.find(" late "), std::string::npos) << "--fast measures no lateness: " << r.out;
  EXPECT_FALSE(exists(tmp / "-"));
  const Cmd cut = run(tmp, "((" + cmd + " -q; echo status=$? >&2) | head -c 2000 > /dev/null)");
  EXPECT_NE(cut.err.find("le-live: standard output was closed by its reader after "), std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("status=0"), std::string::npos) << cut.err;
}

}  // namespace
}  // namespace le::test
