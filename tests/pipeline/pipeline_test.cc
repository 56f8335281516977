// The live pipeline on fake seams. One scenario runner plays a script of host
// calls and matches the kinds of the pulled frames (I idle, S speech, R ramp)
// against a pattern; every scenario also checks what each kind must carry.
// Then back-pressure, load, teardown, staleness, the settings the
// environment changes, the stage report and the C entry points.
#include <map>
#include <random>
#include <regex>

#include "pipeline/utt_fakes.h"

namespace le::test {
namespace {

struct Scenario {
  const char* name;
  std::function<void(Rig&)> setup;
  const char* script;
  const char* kinds;   // a regular expression over I, S and R
  bool consecutive;    // every frame shows the driver frame after the previous one
  const char* status;  // le_utt_render_status text, "" for none
};

const Scenario kScenarios[] = {
    {"Idle", nullptr, "p25", "I{25}", true, ""},
    {"SpeechThenTheEndRamp", nullptr, "w p3 s12 e r1 p9", "I{3}I*S{12}R{6}I{4}", true, ""},
    {"PushAndEndBeforeTheEngineIsReady", nullptr, "s3 e r1", "I*S{3}R", true, ""},
    {"AnEndMarkWithoutUtteranceIsIgnored", nullptr, "w e p4 s5 n4 q e p6", "I{4}I*S{5}R{6}", true, ""},
    {"WithoutTargetRowsNoRamp", [](Rig& r) { r.withXs = false; }, "w p2 s4 e n3 p10", "I{2}I*S{4}I{10}", true, ""},
    {"InterruptRampsFourFromTheLastPulled", [](Rig& r) { r.opts.interruptRampFrames = 0; }, "w s200 e n5 f8 x p8 s3 e r1",
     "I*S{6}R{4}I{4}I*S{3}R", true, ""},
    {"InterruptAfterIdleGoesOnIdle", nullptr, "p7 x p12", "I{19}", true, ""},
    {"AudioAfterTheFinishIsTheNextUtterance", nullptr, "w s6 e n0 s4 e r12", "I*S{6}R{6}I*S{4}R{6}", true, ""},
    {"AudioRightAfterAnEndMark", nullptr, "w s6 n0 e s4 e r12", "I*S{6}R{6}I*S{4}R{6}", true, ""},
    {"RepeatedEndMarksCountOnce", nullptr, "w s5 e e s3 e r12", "I*S{5}R{6}I*S{3}R{6}", true, ""},
    {"ChunkDirectorRendersChunks", [](Rig& r) { r.opts.steadyModel = nullptr, r.chunk.batch = 4; }, "w p1 s16 e r1",
     "I*S{16}R", true, ""},
    {"ChunkWarmUpFailureIsNoted", [](Rig& r) { r.opts.steadyModel = nullptr, r.chunkThrows = true; }, "w s3 e r1", "I*S{3}R",
     true, "cpu warm-up: cannot open model_b24_fp32.onnx"},
    {"ChunkOffCoreMLNativeIsDropped",
     [](Rig& r) { r.opts.steadyModel = nullptr, r.director.ep = "coreml-native-ane", r.chunk.batch = 4, r.chunk.ep = "cpu"; },
     "w s8 e r1", "I*S{8}R", true, ""},
    {"EngineFailingMidUtterance", [](Rig& r) { r.engine.failPullAt = 5; }, "w s12 e r1 p6", "I*S{5}R{6}I{1}", true,
     "cpu engine: fake engine failed at frame 5"},
    {"EngineStallingAfterTheFinish", [](Rig& r) { r.engine.stallAt = 3; }, "w s8 e r1", "I*S{3}R", true,
     "cpu engine: the engine stopped at 3 of 8 frames after the finish"},
    {"DriverIndexOutsideTheDriver", [](Rig& r) { r.engine.badIndexAt = 2; }, "w s6 e r1", "I*S{2}R", true,
     "cpu engine: driver index 10 outside [0,10)"},
    {"RendererThrowingOnOneFrame", [](Rig& r) { r.director.throwAtSpeech = 5; }, "w s8 e r1 p6 s3 e n2", "I*S{5}R{6}I*S{3}",
     true, "cpu render: boom"},
    {"DriverFailingOnOneFrameInline", [](Rig& r) { r.frames.failIdx = 3, r.pipelinePaste = 0; }, "p20", "I{20}", false,
     "cpu paste: driver failed at 3"},
    {"DriverFailingOnOneFramePipelined", [](Rig& r) { r.frames.failIdx = 3, r.pipelinePaste = 1; }, "p20", "I{20}", false,
     "cpu paste: driver failed at 3"},
    {"PipelinedPasteSpeech", [](Rig& r) { r.pipelinePaste = 1; }, "w p3 s12 e r1 p9", "I{3}I*S{12}R{6}I{4}", true, ""},
    // Pushed before the warm-up ends, which takes far less than the gap.
    {"SilenceGapEndsTheUtteranceByItself", [](Rig& r) { r.opts.gapS = 0; }, "s4 r1", "I*S{4}R", true, ""}};

class Pipeline : public testing::TestWithParam<Scenario> {};

TEST_P(Pipeline, Scenario) {
  const Scenario& sc = GetParam();
  Rig rig;
  if (sc.setup) sc.setup(rig);
  Destroy d{rig.make()};
  const double t0 = le::utt::nowMs();
  const std::vector<Frame> fs = play(d.u, sc.script);
  const std::string kinds = kindsOf(fs);
  EXPECT_TRUE(std::regex_match(kinds, std::regex(sc.kinds))) << kinds << " !~ " << sc.kinds;
  expectKindsCarryTheirRows(fs);
  for (size_t i = 1; i < fs.size(); ++i) {
    EXPECT_EQ(fs[i].info.driver_index, fs[i].idx);
    EXPECT_NE(fs[i].idx, rig.frames.failIdx.load());
    if (sc.consecutive) {
      ASSERT_EQ(fs[i].idx, (fs[i - 1].idx + 1) % 10) << "frame " << i << " of " << kinds;
    }
  }
  char msg[160] = "untouched";
  int failures = -1;
  le_utt_render_status(d.u, msg, sizeof msg, &failures);
  EXPECT_EQ(std::make_pair(std::string(msg), failures > 0), std::make_pair(std::string(sc.status), *sc.status != 0));
  {  // pushed int16 samples reach the engine as s / 32768, exactly
    std::lock_guard<std::mutex> lock(rig.engine.heardMu);
    for (size_t i = 0; i < rig.engine.heard.size(); ++i) EXPECT_EQ(rig.engine.heard[i], float(speech(1)[i]) / 32768.0f) << i;
  }
  // Scenario-specific facts the kinds cannot show.
  const std::string name = sc.name;
  le_utt_stats stats{};
  le_utt_get_stats(d.u, &stats);
  if (name == "SilenceGapEndsTheUtteranceByItself") {  // the default gap of 0.6 s
    EXPECT_GE(le::utt::nowMs() - t0, 600.0);
  }
  if (name == "SpeechThenTheEndRamp") {
    EXPECT_EQ(std::make_pair(stats.first_frames, stats.speech_frames_delivered), std::make_pair(uint64_t(1), uint64_t(12)));
  }
  if (name == "AudioAfterTheFinishIsTheNextUtterance") {
    EXPECT_EQ(stats.first_frames, uint64_t(2));
  }
  if (name == "InterruptRampsFourFromTheLastPulled") {
    size_t at = 0;  // the eight unread speech frames in the ring were dropped
    while (fs[at].info.kind != LE_UTT_RAMP) ++at;
    EXPECT_EQ(fs[at].info.sequence, fs[at - 1].info.sequence + 1 + 8);
  }
  if (name == "ChunkDirectorRendersChunks") {
    EXPECT_EQ(std::make_pair(rig.chunkMade.load(), rig.chunk.maxN.load()), std::make_pair(1, 4));
  }
  if (name == "ChunkOffCoreMLNativeIsDropped") {
    EXPECT_EQ(std::make_tuple(rig.chunkMade.load(), rig.chunk.calls.load(), rig.director.maxN.load()), std::make_tuple(1, 0, 1));
  }
  if (name == "Idle") {  // each idle frame keeps the prior's position at its own driver frame
    EXPECT_EQ(rig.chunkMade.load(), 0);
    std::lock_guard<std::mutex> lock(rig.frames.walkMu);
    ASSERT_GE(rig.frames.walked.size(), fs.size());
    for (size_t i = 0; i < fs.size(); ++i) EXPECT_EQ(rig.frames.walked[i], fs[i].idx) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, Pipeline, testing::ValuesIn(kScenarios), [](const auto& i) { return std::string(i.param.name); });

TEST(PipelineWarmUp, EagerValuesAndFailuresReportThroughReady) {
  for (const auto& [eager, expected] : {std::pair{-2, 3}, {5, 5}, {0, -1}}) {
    Rig rig;
    rig.opts.eager = eager;
    Destroy d{rig.make()};
    ASSERT_TRUE(waitReady(d.u));
    EXPECT_EQ(rig.engine.eager.load(), expected) << eager;
  }
  for (const bool nt : {true, false}) {
    Rig rig;
    rig.engine.reportNt = nt ? 7 : -1;
    rig.engine.createThrows = !nt;
    Destroy d{rig.make()};
    EXPECT_EQ(uttReadyWithin(d.u, 2000), -1);
    const std::string why = nt ? "engine NT 7 != bundle NT 10" : "le_a2x_create: fake refused";
    EXPECT_EQ(le_utt_last_error(), why);
    const auto audio = speech(3);
    for (const int n : {int(audio.size()), 0}) {  // a push is refused with the warm-up's message, an empty one too
      EXPECT_EQ(le_utt_push_audio(d.u, audio.data(), n), 0);
      EXPECT_EQ(le_utt_last_error(), "le_utt_push_audio: " + why);
    }
    const std::string kinds = kindsOf(play(d.u, "p12"));
    EXPECT_EQ(kinds, std::string(12, 'I'));  // idle goes on; the audio makes no speech
  }
}

TEST(PipelineLoad, HybridEagerRisesUnderBacklog) {
  Rig rig;
  rig.opts.eager = -2;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  play(d.u, "p1 s60");  // 60 frames at once, pulled 32 at a time while the host is slow
  int speechFrames = 0;
  for (int i = 0; i < 200 && rig.engine.eager.load() != 24; ++i) {
    auto f = nextFrame(d.u, 500ms);
    if (!f) break;
    speechFrames += f->info.kind == LE_UTT_SPEECH;
  }
  EXPECT_EQ(rig.engine.eager.load(), 24);
  for (const Frame& f : play(d.u, "e r1")) speechFrames += f.info.kind == LE_UTT_SPEECH;
  EXPECT_EQ(speechFrames, 60);
}

TEST(PipelineLoad, TwoHostThreadsAtUnevenPacesLoseNothing) {
  Rig rig;
  rig.opts.gapS = 0.05;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  std::atomic<bool> done{false};
  std::thread pusher([&] {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> len(1, 3000), pause(0, 3), mark(0, 9);
    std::vector<int16_t> buf(3000, 100);
    while (!done) {
      le_utt_push_audio(d.u, buf.data(), len(rng));
      if (mark(rng) == 0) le_utt_end_utterance(d.u);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
      if (mark(rng) == 1) std::this_thread::sleep_for(80ms);  // let the gap end it
    }
  });
  std::mt19937 rng(11);
  std::vector<Frame> fs;
  while (fs.size() < 3000) {
    auto f = nextFrame(d.u);
    if (!f) break;
    fs.push_back(*f);
    if (rng() % 3 == 0) std::this_thread::sleep_for(200us);
  }
  done = true;
  pusher.join();
  ASSERT_EQ(fs.size(), 3000u);
  expectKindsCarryTheirRows(fs);
  int speech = 0, utterances = 0;
  for (size_t i = 1; i < fs.size(); ++i) {
    ASSERT_EQ(std::make_pair(fs[i].info.sequence, fs[i].idx), std::make_pair(fs[i - 1].info.sequence + 1, (fs[i - 1].idx + 1) % 10)) << i;
    ASSERT_FALSE(fs[i].info.kind == LE_UTT_RAMP && fs[i - 1].info.kind == LE_UTT_IDLE) << i;
    speech += fs[i].info.kind == LE_UTT_SPEECH;
    utterances += fs[i].info.kind == LE_UTT_SPEECH && fs[i].info.speech_number == 0;
  }
  EXPECT_TRUE(speech > 100 && utterances > 2) << speech << " " << utterances;
}

// The threads of this process, once `want` or after a second. A joined thread
// may stay listed in /proc/self/task for a moment: the join returns when the
// kernel clears its thread id, before the task is reaped. A thread left
// running never leaves the list, so a second is plenty.
int threadsSettledAt(int want) {
  for (int i = 0; i < 200 && int(threadNames().size()) != want; ++i) std::this_thread::sleep_for(5ms);
  return int(threadNames().size());
}

// Created and destroyed mid-speech, before and after the warm-up, with and
// without pipelined paste: every frame pulled is whole, and no thread is
// left behind.
TEST(PipelineLoad, CreateDestroyMidSpeechFiftyTimes) {
  {  // process-wide state (pools of this thread) settles first; the rig outlives its pipeline
    Rig warmRig;
    Destroy warm{warmRig.make()};
  }
  const int before = int(threadNames().size());
  int pulled = 0;
  for (int i = 0; i < 50; ++i) {
    Rig rig(i % 2);
    le_utt* u = rig.make();
    const auto audio = speech(40);
    le_utt_push_audio(u, audio.data(), int(audio.size()));
    if (i % 3 == 0) waitReady(u);
    for (int k = 0; k < i % 4; ++k)
      if (auto f = nextFrame(u, 50ms)) {
        ++pulled;
        EXPECT_TRUE(f->idx >= 0 && f->idx < 10 && f->info.driver_index == f->idx) << i;
        EXPECT_TRUE(f->info.kind == LE_UTT_IDLE ? !f->pasted : f->pasted && f->si == float(f->idx)) << i;
      }
    le_utt_destroy(u);
    ASSERT_EQ(threadsSettledAt(before), before) << "after handle " << i;
  }
  EXPECT_GT(pulled, 20);
}

// An interrupt lands while the engine holds a request of the utterance (the
// fake engine says when it has one and waits to be released), and the next
// utterance starts before the engine answers: the answer arrives stale and
// nothing of it is shown, the new utterance has its own three frames only.
TEST(PipelineStaleness, InterruptWhileTheEngineWorksDropsItsAnswer) {
  Rig rig;
  rig.engine.hold = true;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(30);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  // Requests follow the host's pulls: pull (idle frames) until one is held.
  std::vector<Frame> fs;
  const auto held = [&] {
    std::lock_guard<std::mutex> lk(rig.engine.holdMu);
    return rig.engine.held;
  };
  for (int i = 0; i < 500 && !held(); ++i)
    if (auto f = nextFrame(d.u, 10ms)) fs.push_back(*f);
  ASSERT_TRUE(held());
  le_utt_interrupt(d.u);
  // Frames pulled after the interrupt and the new utterance's audio: the run
  // thread has taken both in before the engine answers. Once the audio is
  // taken no idle frame is made, so three wait in the ring before the push.
  for (const Frame& f : play(d.u, "p3 f3 s3 e p3")) fs.push_back(f);
  EXPECT_EQ(kindsOf(fs), std::string(fs.size(), 'I'));
  {
    std::lock_guard<std::mutex> lk(rig.engine.holdMu);
    rig.engine.released = true;
  }
  rig.engine.holdCv.notify_all();
  const std::string after = kindsOf(play(d.u, "r1"));
  EXPECT_TRUE(std::regex_match(after, std::regex("I*S{3}R"))) << after;
}

TEST(PipelineSettings, TheEnvironmentSwitchesAndTheStageReport) {
  std::map<std::string, std::string> vars;
  const utt::EnvFn env = [&](const char* k) -> std::optional<std::string> {
    const auto it = vars.find(k);
    return it == vars.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  utt::Options o;
  EXPECT_EQ(errorOf([&] { utt::resolveSettings(o, 1, env); }), "opts.motion_dir required");
  o.motionDir = "/m";
  // {eager option, LE_UTT_HYBRID, hybrid}: a fixed eager wins; only "0" or "" is off.
  for (const auto& [eager, hybrid, want] : {std::tuple{-2, "", true}, {5, "1", false}, {0, "1", true}, {0, "0", false},
                                            {0, "01", true}, {0, "", false}}) {
    o.eager = eager;
    vars["LE_UTT_HYBRID"] = hybrid;
    EXPECT_EQ(utt::resolveSettings(o, 1, env).hybrid, want) << eager << " '" << hybrid << "'";
  }
  // {backlog, hybrid eager, the next one}: up past 23, down below 12, held between.
  for (const auto& [backlog, now, next] : {std::tuple{24, 3, 24}, {23, 3, 3}, {23, 24, 24}, {12, 24, 24}, {11, 24, 3}})
    EXPECT_EQ(utt::hybridEager(backlog, now), next) << backlog << " " << now;
  // {LE_UTT_PIPELINE_PASTE, setting}: a number, on or off; anything else: the engine decides.
  for (const auto& [text, want] : {std::pair{"2", 1}, {"0", 0}, {"yes", -1}, {"", -1}}) {
    vars["LE_UTT_PIPELINE_PASTE"] = text;
    EXPECT_EQ(utt::resolveSettings(o, 1, env).pipelinePaste, want) << text;
  }
  for (const auto& [option, text, want] : {std::tuple{"b8", "-", ""}, {"b8", "", "b8"}, {"-", "", ""}, {nullptr, "", "b24_fp32"}}) {
    o.steadyModel = option;
    vars["LE_STEADY_MODEL"] = text;
    EXPECT_EQ(utt::resolveSettings(o, 1, env).steadyModel, want) << (option ? option : "(null)") << " '" << text << "'";
    // Only the chunk director nobody named may be missing from a bundle.
    EXPECT_EQ(utt::resolveSettings(o, 1, env).steadyDefault, option == nullptr && !*text) << (option ? option : "(null)");
  }
  for (const auto& [gapS, ms] : {std::pair{0.0, 600.0}, {NAN, 600.0}, {-0.1, -1.0}, {1.5, 1500.0}}) {
    o.gapS = gapS;
    EXPECT_EQ(utt::resolveSettings(o, 1, env).gapMs, ms) << gapS;  // NaN would silently mean never
  }
  // Ramps up to 10 s are taken, longer ones refused by name; below 1: the defaults.
  for (const auto& [ramp, interrupt, error] : {std::tuple{250, 250, ""}, {251, 4, "opts.ramp_frames 251 above the limit of 250"},
                                               {6, 251, "opts.interrupt_ramp_frames 251 above the limit of 250"},
                                               {INT32_MAX, 0, "opts.ramp_frames 2147483647 above the limit of 250"},
                                               {INT32_MIN, INT32_MIN, ""}}) {
    o.rampFrames = ramp, o.interruptRampFrames = interrupt;
    std::string got = "(no error)";
    EXPECT_EQ(errorOf([&] {
                const utt::Settings s = utt::resolveSettings(o, 1, env);
                got = std::to_string(s.rampFrames) + " " + std::to_string(s.interruptRampFrames);
              }),
              *error ? error : "(no error)") << ramp << " " << interrupt;
    if (!*error) {
      EXPECT_EQ(got, std::to_string(ramp >= 1 ? ramp : 6) + " " + std::to_string(interrupt >= 1 ? interrupt : 4));
    }
  }
  utt::StageTimes t;
  t.jobsC = 4, t.cTotal = 8.0, t.aFrames = 2, t.aTotal = 10.0, t.aWait = 4.0, t.latTotal = 9.0, t.latFrames = 3;
  EXPECT_EQ(utt::stageReport(t), "[le_utt-stage] pipe=0 jobsB=0 jobsC=4 stageA_ms=5.000 stageA_work_ms=3.000 stageA_wait_ms=2.000 "
                                 "stageB_ms=0.000 stageC_ms=2.000 deliver_lat_ms=3.000 over 3 speech frames");
  // At destruction, asked for: measured with pipelined paste, nothing inline.
  ScopedEnv report("LE_UTT_STAGE_REPORT", "1");
  for (int pipe : {1, 0}) {
    Rig rig(pipe);
    le_utt* u = rig.make();
    play(u, "w s4 e r1");
    testing::internal::CaptureStderr();
    le_utt_destroy(u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind(pipe ? "[le_utt-stage] pipe=0 jobsB=0 jobsC=" : "[le_utt-stage] MEASURED NOTHING \u2014 the stage report was "
                                                                        "asked for and the paste-job counter never advanced (pipe=0 "
                                                                        "jobsB=0 jobsC=0, 4 speech frames delivered).", 0), 0u) << err;
    if (pipe) {
      EXPECT_NE(err.find(" over 4 speech frames\n"), std::string::npos) << err;
    }
  }
}

TEST(UttCapi, ArgumentsBuffersAndStatusText) {
  int16_t s[4] = {};
  uint8_t buf[kFrameBytes];
  EXPECT_EQ(std::make_tuple(le_utt_ready(nullptr), le_utt_push_audio(nullptr, s, 4), le_utt_frames_available(nullptr)), std::make_tuple(-1, 0, 0));
  EXPECT_EQ(le_utt_pull_frame(nullptr, buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  le_utt_end_utterance(nullptr), le_utt_interrupt(nullptr), le_utt_get_stats(nullptr, nullptr), le_utt_destroy(nullptr);
  EXPECT_STREQ(le_utt_last_error(), "");
  Rig rig;
  rig.opts.steadyModel = nullptr;
  rig.chunkThrows = true;  // "cpu warm-up: cannot open model_b24_fp32.onnx"
  Destroy d{rig.make()};
  for (const auto& [p, n, want] : {std::tuple{static_cast<int16_t*>(nullptr), 4, 0}, {s, -1, 0}, {s, 0, 1}}) {
    EXPECT_EQ(le_utt_push_audio(d.u, p, n), want) << n;
    EXPECT_STREQ(le_utt_last_error(), want ? "" : "le_utt_push_audio: bad args");
  }
  // A too small buffer keeps the frame for the next call.
  play(d.u, "w f2");
  le_utt_frame_info info{};
  info.sequence = 99;
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf - 1, &info), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_EQ(info.sequence, 99u);
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf, &info), 1);
  EXPECT_EQ(std::make_pair(info.sequence, std::string(le_utt_last_error())), std::make_pair(uint64_t(0), std::string()));
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf, nullptr), 1);  // info may be null
  EXPECT_EQ(le_utt_pull_frame(d.u, nullptr, 100, nullptr), 0);
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  le_utt_get_stats(d.u, nullptr);
  EXPECT_EQ(std::make_tuple(st.frames_delivered, st.speech_frames_delivered, st.state), std::make_tuple(uint64_t(2), uint64_t(0), 0));
  // The status text is truncated and terminated; a zero size writes nothing.
  char msg[8], one[1] = {'x'}, untouched[4] = {'a', 'b', 'c', 0};
  int failures = -5;
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), 0);
  EXPECT_EQ(std::make_pair(std::string(msg), failures), std::make_pair(std::string("cpu war"), 1));
  le_utt_render_status(d.u, one, 1, nullptr);
  le_utt_render_status(d.u, untouched, 0, nullptr);
  EXPECT_EQ(std::make_pair(one[0], std::string(untouched)), std::make_pair('\0', std::string("abc")));
  EXPECT_EQ(le_utt_render_status(d.u, nullptr, 10, nullptr), 0);
}

}  // namespace
}  // namespace le::test
