// le-live end to end on the demo identity with the fixture motion generator:
// the frame kinds run idle -> speech -> ramp -> idle, the MP4 holds as many
// video frames as were delivered and an AAC track whose sound sits under the
// speech frames and is the pushed speech; the interrupt cuts the speech and
// gives the short ramp; raw PCM from standard input; the command line's errors.
#include <gtest/gtest.h>

#include <chrono>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"
#include "tools/cli_run.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

// Demo identity plus a motion directory built on its target rows, and about
// 1.8 s of espeak-ng speech as a 16 kHz mono WAV; made once per process.
struct LiveFixture {
  TempDir dir;
  std::string motion, wav;
  std::vector<int16_t> speech;
  bool ok = false;
  LiveFixture() {
    if (demoContainer().empty()) return;
    const Manifest m = loadManifest(demoContainer());
    motion = dir / "motion";
    std::system(("mkdir -p " + quote(motion) + " && cp " + quote(m.dir + "/xs_target.bin") + " " + quote(motion))
                    .c_str());
    if (runFixture({"motion", "dir", "--out", motion}) != 0) return;
    wav = dir / "speech.wav";
    const std::string raw = dir / "espeak.wav";
    if (std::system(("espeak-ng -s 170 -w " + quote(raw) + " 'Hello, how are you today?' && ffmpeg -nostdin -v error "
                     "-y -i " + quote(raw) + " -ar 16000 -ac 1 -c:a pcm_s16le " + quote(wav))
                        .c_str()) != 0)
      return;
    // The samples themselves, for comparison with what the MP4 carries.
    const std::string pcm = dir / "speech.raw";
    if (std::system(("ffmpeg -nostdin -v error -y -i " + quote(wav) + " -f s16le " + quote(pcm)).c_str()) != 0)
      return;
    const std::string b = readFile(pcm);
    speech.resize(b.size() / 2);
    std::memcpy(speech.data(), b.data(), speech.size() * 2);
    ok = speech.size() > 8000;
  }
};

const LiveFixture& live() {
  static LiveFixture f;
  return f;
}

Cmd leLive(const TempDir& tmp, const std::string& args) {
  return run(tmp, quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + args);
}

std::map<std::string, std::string> readReport(const std::string& path) {
  std::map<std::string, std::string> r;
  const std::string text = exists(path) ? readFile(path) : "";
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    const std::string line = text.substr(at, nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) r[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return r;
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

std::string probeStreams(const TempDir& tmp, const std::string& mp4) {
  const Cmd r = run(tmp, "ffprobe -v error -count_frames -show_entries stream=codec_name,sample_rate,nb_read_frames "
                         "-of csv=p=0 " + quote(mp4));
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
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
  const std::string mp4 = tmp / "live.mp4", report = tmp / "report.txt", sheet = tmp / "sheet.png";
  const Cmd r = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                                " --fast --end-marks --lead 0.4 --tail 0.6 --threads 2 --report " + quote(report) +
                                " --sheet " + quote(sheet) + " --sheet-frames 6");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("le-live: stats: delivered "), std::string::npos) << r.err;
  auto rep = readReport(report);
  const std::string kinds = rep["kinds"];
  ASSERT_FALSE(kinds.empty()) << readFile(report);
  EXPECT_EQ(std::to_string(kinds.size()), rep["frames"]);
  // idle+, speech+, exactly the 6-frame end ramp, idle+.
  const size_t s0 = kinds.find('1'), r0 = kinds.find('2'), i1 = kinds.find('0', s0);
  ASSERT_NE(s0, std::string::npos) << kinds;
  ASSERT_NE(r0, std::string::npos) << kinds;
  EXPECT_EQ(kinds.find_first_not_of('0'), s0) << kinds;
  EXPECT_EQ(kinds.find_first_not_of('1', s0), r0) << kinds;
  EXPECT_EQ(i1, r0 + 6) << kinds;
  EXPECT_EQ(kinds.find_first_not_of('0', i1), std::string::npos) << kinds;
  // Every pushed sample became a speech frame (640 samples each).
  EXPECT_EQ(r0 - s0, (live().speech.size() + 639) / 640) << kinds;
  EXPECT_EQ(rep["interrupted"], "no");
  EXPECT_GT(std::stod(rep["first_frame_latency_ms"]), 0.0);
  EXPECT_GT(std::stod(rep["frames_per_second"]), 0.0);
  // The motion generator pastes inline: the stage report says it measured nothing.
  EXPECT_NE(rep["stage_report"].find("[le_utt-stage] MEASURED NOTHING"), std::string::npos) << readFile(report);
  EXPECT_EQ(rep["stage_shares"], "not measured");
  EXPECT_EQ(readFile(sheet).substr(1, 3), "PNG");

  const std::string streams = probeStreams(tmp, mp4);
  EXPECT_NE(streams.find("h264,"), std::string::npos) << streams;
  EXPECT_NE(streams.find("h264," + std::to_string(kinds.size())), std::string::npos) << streams;
  EXPECT_NE(streams.find("aac,16000"), std::string::npos) << streams;

  // The sound: the pushed speech, starting at the first speech frame; silence
  // two frames away from any speech frame.
  const std::vector<int16_t> sound = decodeSound(tmp, mp4);
  ASSERT_GE(sound.size(), kinds.size() * 640 - 1024);
  const size_t at = s0 * 640, n = live().speech.size();
  EXPECT_GT(correlation(sound, at, live().speech, 0, n), 0.9);
  EXPECT_LT(correlation(sound, at + 3 * 640, live().speech, 0, n), 0.5);  // not shifted by frames
  EXPECT_LT(rms(sound, 0, (s0 - 2) * 640), 30.0);
  EXPECT_LT(rms(sound, (r0 + 2) * 640, kinds.size() * 640), 30.0);
  EXPECT_GT(rms(sound, at, at + n), 500.0);
}

// Without --motion the bundle's own streaming models speak; their frontend is
// found beside them with W2V_ONNX unset, and the pipelined paste measures the
// stage shares.
TEST(LeLive, TheDemosOwnStreamingEngineSpeaksAndTheStageSharesAreMeasured) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "own.mp4", report = tmp / "report.txt";
  const Cmd r = run(tmp, "env -u W2V_ONNX " + quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " +
                             quote(live().wav) + " -o " + quote(mp4) + " --fast --end-marks --tail 0.4 --steady - -v --report " +
                             quote(report));
  ASSERT_EQ(r.status, 0) << r.err;
  // The demo's rewritten director leaves onnxruntime nothing to warn about;
  // a file gets no colour codes; the stage report went to the report only;
  // -v shows the library's info lines and onnxruntime's.
  EXPECT_EQ(r.err.find("[onnxruntime] warning"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[onnxruntime] info: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("[le_utt-stage]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << r.err;
  auto rep = readReport(report);
  // Without a chunk director the warm-up has nothing to fail on.
  EXPECT_EQ(rep["render_failures"], "0") << rep["render_status"];
  EXPECT_EQ(rep["render_status"], "ok");
  const std::string kinds = rep["kinds"];
  EXPECT_EQ(size_t(std::count(kinds.begin(), kinds.end(), '1')), (live().speech.size() + 639) / 640) << kinds;
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), '2'), 6) << kinds;
  EXPECT_EQ(rep["stage_report"].rfind("[le_utt-stage] pipe=0 jobsB=0 jobsC=", 0), 0u) << rep["stage_report"];
  const double a = std::stod(rep["stage_share_render"]), b = std::stod(rep["stage_share_borrow"]),
               c = std::stod(rep["stage_share_paste"]);
  EXPECT_NEAR(a + b + c, 100.0, 0.2);
  EXPECT_GT(a, 0.0);
  EXPECT_GT(c, 0.0);
  EXPECT_EQ(b, 0.0);  // no teeth borrow attached
}

TEST(LeLive, InterruptCutsTheSpeechIntoTheShortRampThenIdle) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "cut.mp4", report = tmp / "report.txt";
  // Speech starts at 0.2 s; the interrupt lands 0.8 s into it. Eager frames
  // make the motion generator speak before its first full chunk of audio.
  const Cmd r = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                                " --fast --eager 3 --lead 0.2 --tail 0.4 --interrupt 1.0 --report " + quote(report));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("(interrupted)"), std::string::npos) << r.err;
  auto rep = readReport(report);
  const std::string kinds = rep["kinds"];
  EXPECT_EQ(rep["interrupted"], "yes");
  EXPECT_LT(std::stod(rep["speech_seconds_pushed"]), live().speech.size() / 16000.0);
  const size_t s0 = kinds.find('1'), r0 = kinds.find('2');
  ASSERT_NE(s0, std::string::npos) << kinds;
  ASSERT_NE(r0, std::string::npos) << kinds;
  // Speech frames, then the 4-frame interrupt ramp, then idle to the end.
  EXPECT_EQ(kinds.find_first_not_of('1', s0), r0) << kinds;
  EXPECT_EQ(kinds.find_first_not_of('2', r0), r0 + 4) << kinds;
  EXPECT_EQ(kinds.find_first_not_of('0', r0 + 4), std::string::npos) << kinds;
  EXPECT_EQ(kinds.find('1', r0), std::string::npos) << kinds;
  // The ramp starts where the host pulled the interrupt: at 1.0 s, frame 25.
  EXPECT_EQ(r0, 25u) << kinds;
  // The video ends on silence: nothing after the cut sounds.
  const std::vector<int16_t> sound = decodeSound(tmp, mp4);
  EXPECT_LT(rms(sound, (r0 + 2) * 640, sound.size()), 30.0);
  EXPECT_GT(rms(sound, s0 * 640, r0 * 640), 500.0);
}

TEST(LeLive, RawSpeechFromStandardInput) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string raw = tmp / "speech.raw", mp4 = tmp / "stdin.mp4", report = tmp / "report.txt";
  writeFile(raw, std::string(reinterpret_cast<const char*>(live().speech.data()), 16000 * 2));  // 1 s
  const Cmd r = run(tmp, quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " - -o " + quote(mp4) + " --motion " +
                             quote(live().motion) + " --fast --end-marks --chunk-ms 7 --tail 0.5 --report " +
                             quote(report) + " < " + quote(raw));
  ASSERT_EQ(r.status, 0) << r.err;
  auto rep = readReport(report);
  EXPECT_EQ(rep["speech_seconds_pushed"], "1.000");
  EXPECT_EQ(std::count(rep["kinds"].begin(), rep["kinds"].end(), '1'), 25) << rep["kinds"];
}

TEST(LeLive, RealTimeRunIsPacedByTheClock) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string raw = tmp / "speech.raw", mp4 = tmp / "rt.mp4", report = tmp / "report.txt";
  writeFile(raw, std::string(reinterpret_cast<const char*>(live().speech.data()), 8000 * 2));  // 0.5 s
  const Cmd r = run(tmp, quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " - -o " + quote(mp4) + " --motion " +
                             quote(live().motion) + " --end-marks --lead 0.2 --tail 0.5 --report " + quote(report) +
                             " < " + quote(raw));
  ASSERT_EQ(r.status, 0) << r.err;
  auto rep = readReport(report);
  // The frames cover at least the timeline, and pulling at 25 fps cannot
  // deliver them faster than their own duration.
  const double frames = std::stod(rep["frames"]);
  EXPECT_GE(frames, 30);
  EXPECT_GE(std::stod(rep["run_seconds"]), (frames - 1) / 25.0);
  EXPECT_EQ(rep["mode"], "realtime");
}

TEST(LeLive, RefusesBadUsageAndOtherAudioFormatsWithOneLineErrors) {
  TempDir tmp;
  const Cmd help = run(tmp, quote(LE_LIVE_EXE) + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: le-live BUNDLE AUDIO -o OUT.mp4"), std::string::npos);
  const Cmd none = run(tmp, quote(LE_LIVE_EXE));
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, "le-live: no BUNDLE and AUDIO given (le-live --help for usage)\n");
  const Cmd noOut = run(tmp, quote(LE_LIVE_EXE) + " b a.wav");
  EXPECT_EQ(noOut.status, 2);
  EXPECT_EQ(noOut.err, "le-live: no output given (-o OUT.mp4) (le-live --help for usage)\n");
  const Cmd badT = run(tmp, quote(LE_LIVE_EXE) + " b a.wav -o x.mp4 --interrupt nan");
  EXPECT_EQ(badT.status, 2);
  EXPECT_NE(badT.err.find("--interrupt wants seconds in [0, 3600], got 'nan'"), std::string::npos) << badT.err;

  ASSERT_TRUE(live().ok);
  const std::string mp4 = tmp / "x.mp4";
  writeFile(tmp / "notes.wav", "not audio at all");
  const Cmd junk = leLive(tmp, quote(tmp / "notes.wav") + " -o " + quote(mp4) + " --motion " + quote(live().motion));
  EXPECT_EQ(junk.status, 1);
  EXPECT_EQ(junk.err.rfind("le-live: cannot open audio " + tmp / "notes.wav" + ": ", 0), 0u) << junk.err;
  EXPECT_EQ(countOf(junk.err, "\n"), 1) << junk.err;
  EXPECT_FALSE(exists(mp4));
  // An engine directory without models: the pipeline's warm-up message.
  const Cmd noEngine = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(tmp / "nothing"));
  EXPECT_EQ(noEngine.status, 1);
  EXPECT_NE(noEngine.err.find("le-live: the audio engine did not start: "), std::string::npos) << noEngine.err;
  EXPECT_FALSE(exists(mp4));
}


// Outputs are checked before anything runs, a signal ends the run with a
// playable video and a report saying so, "-o -" streams to a pipe, and on a
// terminal a progress line is redrawn in place.
TEST(LeLive, ABadReportPathFailsBeforeTheFirstFrameAndTheOldVideoStays) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "x.mp4";
  writeFile(mp4, "old");
  const auto t0 = std::chrono::steady_clock::now();
  const Cmd r = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                                " --report " + quote(tmp / "no/run.txt"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "le-live: cannot write report " + tmp / "no/run.txt" + ": directory " + tmp / "no" +
                       " does not exist\n");
  // Before the bundle opens: a real-time run of this speech takes seconds.
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
  EXPECT_EQ(readFile(mp4), "old");
  const Cmd sheet = leLive(tmp, quote(live().wav) + " -o " + quote(mp4) + " --sheet -");
  EXPECT_EQ(sheet.status, 2);
  EXPECT_NE(sheet.err.find("--sheet - : standard output carries only the video"), std::string::npos) << sheet.err;
}

// Shell: waits (up to a minute) until process $p has written 20 kB of video
// under its temporary name, so the signal falls mid-run on a loaded machine.
std::string untilFramesFlow(const std::string& dir) {
  return "for i in $(seq 300); do s=$(stat -c %s " + quote(dir + "/.x.mp4.part-") +
         "$p 2>/dev/null || echo 0); [ \"$s\" -gt 20000 ] && break; sleep 0.2; done; ";
}

TEST(LeLive, SigintMidRunLeavesAPlayableVideoAndAReportMarkedInterrupted) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const std::string mp4 = tmp / "x.mp4", report = tmp / "run.txt";
  for (const char* sig : {"INT", "TERM"}) {
    SCOPED_TRACE(sig);
    const Cmd r = run(tmp, std::string("(") + quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " +
                               quote(live().wav) + " -o " + quote(mp4) + " --motion " + quote(live().motion) +
                               " --tail 20 --report " + quote(report) + " & p=$!; " + untilFramesFlow(tmp.path()) + "kill -" +
                               sig + " $p; wait $p; echo status=$?)");
    EXPECT_NE(r.out.find("status=130"), std::string::npos) << r.out << r.err;
    const auto rep = readReport(report);
    EXPECT_EQ(rep.at("run_status"), std::string("interrupted (SIG") + sig + ")");
    const int frames = std::stoi(rep.at("frames"));
    EXPECT_GT(frames, 10);
    EXPECT_LT(frames, 25 * 20);
    // The index is there: ffprobe counts exactly the frames the report names.
    const std::string streams = probeStreams(tmp, mp4);
    EXPECT_NE(streams.find("h264," + std::to_string(frames)), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac,16000"), std::string::npos) << streams;
  }
}

TEST(LeLive, DashOutputStreamsMatroskaWithVideoAndSoundToAPipe) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  const Cmd r = run(tmp, quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + quote(live().wav) +
                             " -o - --fast -q --motion " + quote(live().motion) +
                             " | ffprobe -v error -show_entries stream=codec_name:format=format_name -of csv=p=0 -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("h264"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("aac"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("matroska"), std::string::npos) << r.out;
  EXPECT_FALSE(exists(tmp / "-"));
  // A reader that leaves early ends the run with one line.
  const Cmd cut = run(tmp, "((" + quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + quote(live().wav) +
                               " -o - --fast -q --motion " + quote(live().motion) +
                               "; echo status=$? >&2) | head -c 2000 > /dev/null)");
  EXPECT_NE(cut.err.find("le-live: standard output was closed by its reader after "), std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("status=0"), std::string::npos) << cut.err;
}

TEST(LeLive, RealTimeReportsCountLateFramesAndFastRunsDoNot) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  for (const bool fast : {false, true}) {
    const Cmd r = leLive(tmp, quote(live().wav) + " -o " + quote(tmp / "x.mp4") + " --motion " + quote(live().motion) +
                                  " --tail 0.2 --report " + quote(tmp / "run.txt") + (fast ? " --fast -q" : ""));
    ASSERT_EQ(r.status, 0) << r.err;
    if (fast) {
      EXPECT_EQ(r.err, "") << "-q: nothing on standard error after a success";
    }
    const auto rep = readReport(tmp / "run.txt");
    EXPECT_EQ(rep.at("run_status"), "complete");
    if (fast) {
      EXPECT_EQ(rep.at("late_frames"), "not measured");
      continue;
    }
    const long late = std::stol(rep.at("late_frames"));
    const double worst = std::stod(rep.at("max_lateness_ms"));
    EXPECT_GE(late, 0);
    EXPECT_LE(late, std::stol(rep.at("frames")));
    // No late frame without a lateness beyond one frame period, and back.
    EXPECT_EQ(late > 0, worst > 40.0) << late << " " << worst;
  }
}


TEST(LeLive, OnATerminalTheProgressLineIsRedrawnInPlace) {
  ASSERT_TRUE(live().ok);
  TempDir tmp;
  if (run(tmp, "command -v script").status != 0) GTEST_SKIP() << "no script(1) for a pseudo-terminal";
  const std::string cmd = quote(LE_LIVE_EXE) + " " + quote(demoContainer()) + " " + quote(live().wav) + " -o " +
                          quote(tmp / "x.mp4") + " --fast --tail 0.2 --motion " + quote(live().motion);
  const Cmd r = run(tmp, "script -qec " + quote(cmd) + " /dev/null");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\rle-live: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" speech "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(" late "), std::string::npos) << "--fast measures no lateness: " << r.out;
}

}  // namespace
}  // namespace le::test
