// The live pipeline on fake seams: frame order and kinds, ramps, utterance
// ends, interrupts, back-pressure and fault injection.
#include <gtest/gtest.h>

#include <random>

#include "testkit/testkit.h"
#include "pipeline/utt_fakes.h"

namespace le::test {
namespace {

// Every frame of a stream without interrupts shows the driver frame after the
// previous one: idle, speech and ramp continue the video where it was.
void expectConsecutive(const std::vector<Frame>& fs, int nt) {
  for (size_t i = 1; i < fs.size(); ++i) {
    ASSERT_EQ(fs[i].info.sequence, fs[i - 1].info.sequence + 1) << i;
    ASSERT_EQ(fs[i].idx, (fs[i - 1].idx + 1) % nt) << "frame " << i;
    ASSERT_EQ(fs[i].info.driver_index, fs[i].idx);
  }
}

std::vector<Frame> pullN(le_utt* u, int n) {
  std::vector<Frame> out;
  for (int i = 0; i < n; ++i) {
    auto f = nextFrame(u);
    if (!f) break;
    out.push_back(*f);
  }
  return out;
}

// Pulls until `pred` holds for a frame (that frame included), at most `limit`.
template <class P>
std::vector<Frame> pullUntil(le_utt* u, P pred, int limit = 400) {
  std::vector<Frame> out;
  while (int(out.size()) < limit) {
    auto f = nextFrame(u);
    if (!f) break;
    out.push_back(*f);
    if (pred(*f)) break;
  }
  return out;
}

// Pulls until the n-th ramp frame (included).
std::vector<Frame> pullRamps(le_utt* u, int n) {
  int ramps = 0;
  return pullUntil(u, [&](const Frame& f) { return f.info.kind == LE_UTT_RAMP && ++ramps == n; });
}

// The speech_number of every speech frame, in order.
std::vector<int> speechNumbers(const std::vector<Frame>& fs) {
  std::vector<int> numbers;
  for (const Frame& f : fs)
    if (f.info.kind == LE_UTT_SPEECH) numbers.push_back(f.info.speech_number);
  return numbers;
}

int count(const std::vector<Frame>& fs, int kind) {
  int n = 0;
  for (const Frame& f : fs) n += f.info.kind == kind;
  return n;
}

class PipelineModes : public ::testing::TestWithParam<int> {};

TEST_P(PipelineModes, IdleFramesFollowTheDriverInOrder) {
  Rig rig;
  rig.pipelinePaste = GetParam();
  Destroy d{rig.make()};
  const auto fs = pullN(d.u, 25);
  ASSERT_EQ(fs.size(), 25u);
  for (size_t i = 0; i < fs.size(); ++i) {
    EXPECT_EQ(fs[i].info.sequence, i);
    EXPECT_EQ(fs[i].info.kind, LE_UTT_IDLE);
    EXPECT_EQ(fs[i].info.speech_number, -1);
    EXPECT_EQ(fs[i].idx, int(i % 10));
    EXPECT_FALSE(fs[i].pasted);
  }
  EXPECT_GT(rig.frames.walks.load(), 0);
}

TEST_P(PipelineModes, EndOfUtteranceGivesSpeechThenTheEndRamp) {
  Rig rig;
  rig.pipelinePaste = GetParam();
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  auto before = pullN(d.u, 3);
  const auto audio = speech(12);
  ASSERT_EQ(le_utt_push_audio(d.u, audio.data(), int(audio.size())), 1);
  le_utt_end_utterance(d.u);
  auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  auto tail = pullN(d.u, 5 + 4);  // the rest of the ramp and idle after it
  before.insert(before.end(), fs.begin(), fs.end());
  before.insert(before.end(), tail.begin(), tail.end());
  expectConsecutive(before, 10);
  ASSERT_EQ(count(before, LE_UTT_SPEECH), 12);
  ASSERT_EQ(count(before, LE_UTT_RAMP), 6);

  int speechNo = 0;
  size_t firstRamp = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    const Frame& f = before[i];
    if (f.info.kind == LE_UTT_SPEECH) {
      EXPECT_EQ(f.info.speech_number, speechNo++);
      EXPECT_TRUE(f.pasted);
      EXPECT_FLOAT_EQ(f.kd0, float(f.idx * 100) + kDelta);  // the engine's driven row
    }
    if (f.info.kind == LE_UTT_RAMP && firstRamp == 0) firstRamp = i;
  }
  // Ramp frame k of 6 keeps (1 - k/6) of the last speech frame's offset.
  for (int k = 1; k <= 6; ++k) {
    const Frame& f = before[firstRamp + size_t(k) - 1];
    ASSERT_EQ(f.info.kind, LE_UTT_RAMP);
    EXPECT_EQ(f.info.speech_number, -1);
    EXPECT_NEAR(f.kd0, float(f.idx * 100) + (1.f - float(k) / 6.f) * kDelta, 1e-4f) << k;
    EXPECT_FLOAT_EQ(f.si, float(f.idx));
  }
  EXPECT_FLOAT_EQ(before[firstRamp + 5].kd0, float(before[firstRamp + 5].idx * 100));  // pure target
  EXPECT_EQ(before.back().info.kind, LE_UTT_IDLE);
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  EXPECT_EQ(st.first_frames, 1u);
  EXPECT_EQ(st.speech_frames_delivered, 12u);
  EXPECT_GE(st.first_frame_latency_ms, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Paste, PipelineModes, ::testing::Values(0, 1),
                         [](const auto& i) { return i.param ? "Pipelined" : "Inline"; });

TEST(Pipeline, PushThenEndWithoutPauseEndsTheUtterance) {
  // Before the engine is ready (the audio waits) and after it.
  for (bool warmFirst : {false, true}) {
    Rig rig;
    Destroy d{rig.make()};
    if (warmFirst) {
      ASSERT_TRUE(waitReady(d.u));
    }
    const auto audio = speech(3);
    le_utt_push_audio(d.u, audio.data(), int(audio.size()));
    le_utt_end_utterance(d.u);
    // Idle frames come as fast as they are pulled while the warm-up runs.
    const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; }, 1 << 20);
    EXPECT_EQ(count(fs, LE_UTT_SPEECH), 3) << warmFirst;
    ASSERT_FALSE(fs.empty());
    EXPECT_EQ(fs.back().info.kind, LE_UTT_RAMP) << warmFirst;
  }
}

TEST(Pipeline, EndMarkWithoutUtteranceIsIgnoredAndNegativeGapNeverEnds) {
  Rig rig;  // gap -1
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  le_utt_end_utterance(d.u);  // nothing to end: must not end the next one
  pullN(d.u, 4);
  const auto audio = speech(5);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.speech_number == 4; }, 60);
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 5);
  // Nothing more comes: the utterance stays open without a mark.
  EXPECT_FALSE(nextFrame(d.u, 300ms).has_value());
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  EXPECT_EQ(st.state, 2);
  le_utt_end_utterance(d.u);
  const auto after = pullN(d.u, 6);
  ASSERT_EQ(after.size(), 6u);
  EXPECT_EQ(count(after, LE_UTT_RAMP), 6);
}

TEST(Pipeline, SilenceGapEndsTheUtteranceByItself) {
  Rig rig;
  rig.opts.gapS = 0;  // 0.6 s
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(4);
  const double t0 = le::utt::nowMs();
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  ASSERT_FALSE(fs.empty());
  EXPECT_EQ(fs.back().info.kind, LE_UTT_RAMP);
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 4);
  EXPECT_GE(le::utt::nowMs() - t0, 600.0);
}

TEST(Pipeline, WithoutTargetRowsUtterancesEndStraightToIdle) {
  Rig rig;
  rig.withXs = false;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  auto fs = pullN(d.u, 2);
  const auto audio = speech(4);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  auto more = pullUntil(d.u, [](const Frame& f) { return f.info.speech_number == 3; });
  auto idle = pullN(d.u, 10);
  fs.insert(fs.end(), more.begin(), more.end());
  fs.insert(fs.end(), idle.begin(), idle.end());
  expectConsecutive(fs, 10);
  EXPECT_EQ(count(fs, LE_UTT_RAMP), 0);
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 4);
}

TEST(Pipeline, InterruptDropsUnreadFramesAndRampsFromTheLastPulled) {
  Rig rig;
  rig.opts.interruptRampFrames = 0;  // default 4
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(200);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.speech_number == 5; });
  ASSERT_EQ(fs.back().info.speech_number, 5);
  // Let the ring fill with unread speech.
  for (int i = 0; i < 200 && le_utt_frames_available(d.u) < 8; ++i) std::this_thread::sleep_for(1ms);
  le_utt_interrupt(d.u);
  const int last = fs.back().idx;
  const auto after = pullN(d.u, 8);
  ASSERT_EQ(after.size(), 8u);
  for (int k = 1; k <= 4; ++k) {
    const Frame& f = after[size_t(k) - 1];
    ASSERT_EQ(f.info.kind, LE_UTT_RAMP) << k;
    EXPECT_EQ(f.idx, (last + k) % 10);
    EXPECT_NEAR(f.kd0, float(f.idx * 100) + (1.f - float(k) / 4.f) * kDelta, 1e-4f);
  }
  for (size_t i = 4; i < 8; ++i) {
    EXPECT_EQ(after[i].info.kind, LE_UTT_IDLE);
    EXPECT_EQ(after[i].idx, (last + int(i) + 1) % 10);
  }
  EXPECT_EQ(after[0].info.sequence, fs.back().info.sequence + 1 + 8)  // eight unread frames dropped
      << "the ring held " << 8 << " frames";
  // A new utterance after the interrupt starts cleanly.
  const auto again = speech(3);
  le_utt_push_audio(d.u, again.data(), int(again.size()));
  le_utt_end_utterance(d.u);
  const auto next = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(next, LE_UTT_SPEECH), 3);
}

TEST(Pipeline, InterruptAfterAnIdleFrameGoesOnIdleFromThatFrame) {
  Rig rig;
  Destroy d{rig.make()};
  const auto fs = pullN(d.u, 7);
  ASSERT_EQ(fs.size(), 7u);
  le_utt_interrupt(d.u);
  const auto after = pullN(d.u, 12);
  ASSERT_EQ(after.size(), 12u);
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].info.kind, LE_UTT_IDLE);
    EXPECT_EQ(after[i].idx, (fs.back().idx + 1 + int(i)) % 10);  // wraps at 10
  }
}

TEST(Pipeline, AudioPushedAfterTheFinishStartsTheNextUtterance) {
  Rig rig;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto a = speech(6), b = speech(4);
  le_utt_push_audio(d.u, a.data(), int(a.size()));
  le_utt_end_utterance(d.u);
  auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_SPEECH; });
  le_utt_push_audio(d.u, b.data(), int(b.size()));
  le_utt_end_utterance(d.u);
  const auto more = pullRamps(d.u, 12);
  fs.insert(fs.end(), more.begin(), more.end());
  expectConsecutive(fs, 10);
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 10);
  EXPECT_EQ(speechNumbers(fs), (std::vector<int>{0, 1, 2, 3, 4, 5, 0, 1, 2, 3}));
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  EXPECT_EQ(st.first_frames, 2u);
}

// The end mark sits between two pushes in the host's order: the audio after
// it belongs to the next utterance even when the run thread sees the mark
// and both pushes in one pass (here the mark, the push and the next mark
// come back to back while the first utterance is running).
TEST(Pipeline, AudioPushedRightAfterAnEndMarkStartsTheNextUtterance) {
  Rig rig;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto a = speech(6), b = speech(4);
  le_utt_push_audio(d.u, a.data(), int(a.size()));
  auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_SPEECH; });
  le_utt_end_utterance(d.u);
  le_utt_push_audio(d.u, b.data(), int(b.size()));
  le_utt_end_utterance(d.u);
  const auto more = pullRamps(d.u, 12);
  fs.insert(fs.end(), more.begin(), more.end());
  expectConsecutive(fs, 10);
  EXPECT_EQ(speechNumbers(fs), (std::vector<int>{0, 1, 2, 3, 4, 5, 0, 1, 2, 3}));
  EXPECT_EQ(count(more, LE_UTT_RAMP), 12);
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  EXPECT_EQ(st.first_frames, 2u);
}

// Two marks with nothing pushed between them end one utterance, not two.
TEST(Pipeline, RepeatedEndMarksWithoutAudioBetweenThemCountOnce) {
  Rig rig;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto a = speech(5), b = speech(3);
  le_utt_push_audio(d.u, a.data(), int(a.size()));
  le_utt_end_utterance(d.u);
  le_utt_end_utterance(d.u);
  le_utt_push_audio(d.u, b.data(), int(b.size()));
  le_utt_end_utterance(d.u);
  EXPECT_EQ(speechNumbers(pullRamps(d.u, 12)), (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2}));
}

TEST(Pipeline, ChunkDirectorRendersFullChunksInOrder) {
  Rig rig;
  rig.opts.steadyModel = nullptr;  // "b24_fp32"
  rig.chunk.batch = 4;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  EXPECT_EQ(rig.chunkMade.load(), 1);
  auto fs = pullN(d.u, 1);
  const auto audio = speech(16);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  auto more = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  fs.insert(fs.end(), more.begin(), more.end());
  expectConsecutive(fs, 10);
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 16);
  EXPECT_EQ(rig.chunk.maxN.load(), 4);
}

TEST(Pipeline, ChunkWarmUpFailureIsNotedAndServingGoesOn) {
  Rig rig;
  rig.opts.steadyModel = nullptr;
  rig.chunkThrows = true;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  char msg[128];
  int failures = 0;
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), 0);
  EXPECT_EQ(failures, 1);
  EXPECT_STREQ(msg, "cpu warm-up: cannot open model_b24_fp32.onnx");
  const auto audio = speech(3);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 3);
}

TEST(Pipeline, ChunkDirectorOnAnotherProviderThanCoreMLNativeIsDropped) {
  Rig rig;
  rig.opts.steadyModel = nullptr;
  rig.director.ep = "coreml-native-ane";
  rig.chunk.batch = 4;
  rig.chunk.ep = "cpu";
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  EXPECT_EQ(rig.chunkMade.load(), 1);
  const auto audio = speech(8);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 8);
  EXPECT_EQ(rig.chunk.calls.load(), 0);  // neither the warm-up nor speech used it
  EXPECT_EQ(rig.director.maxN.load(), 1);
}

TEST(Pipeline, SteadyModelDashBuildsNoChunkDirector) {
  Rig rig;  // steady_model "-"
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  EXPECT_EQ(rig.chunkMade.load(), 0);
}

TEST(Pipeline, WarmUpSetsTheEngineEagerValue) {
  for (const auto& [eager, expected] : {std::pair{-2, 3}, {5, 5}, {0, -1}}) {
    Rig rig;
    rig.opts.eager = eager;
    Destroy d{rig.make()};
    ASSERT_TRUE(waitReady(d.u));
    EXPECT_EQ(rig.engine.eager.load(), expected) << eager;
  }
}

TEST(Pipeline, HybridEagerRisesUnderBacklog) {
  Rig rig;
  rig.opts.eager = -2;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  auto first = pullN(d.u, 1);
  // 60 frames ready at once, pulled 32 at a time while the host is slow: the
  // backlog passes 23.
  const auto audio = speech(60);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  std::vector<Frame> fs;
  while (rig.engine.eager.load() != 24 && fs.size() < 200) {
    auto f = nextFrame(d.u, 500ms);
    if (!f) break;
    fs.push_back(*f);
  }
  EXPECT_EQ(rig.engine.eager.load(), 24);
  le_utt_end_utterance(d.u);
  const auto rest = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  fs.insert(fs.end(), rest.begin(), rest.end());
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 60);
}

TEST(Pipeline, StageReportAtDestruction) {
  ScopedEnv report("LE_UTT_STAGE_REPORT", "1");
  for (int pipe : {1, 0}) {
    Rig rig;
    rig.pipelinePaste = pipe;
    le_utt* u = rig.make();
    ASSERT_TRUE(waitReady(u));
    const auto audio = speech(4);
    le_utt_push_audio(u, audio.data(), int(audio.size()));
    le_utt_end_utterance(u);
    pullUntil(u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
    ::testing::internal::CaptureStderr();
    le_utt_destroy(u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (pipe) {
      EXPECT_EQ(err.rfind("[le_utt-stage] pipe=0 jobsB=0 jobsC=", 0), 0u) << err;
      EXPECT_NE(err.find(" over 4 speech frames\n"), std::string::npos) << err;
    } else {
      EXPECT_EQ(err.rfind("[le_utt-stage] MEASURED NOTHING", 0), 0u) << err;
      EXPECT_NE(err.find("4 speech frames delivered"), std::string::npos) << err;
    }
  }
}

TEST(PipelineFaults, EngineFailingMidUtteranceClosesItAndTheStreamGoesOn) {
  Rig rig;
  rig.engine.failPullAt = 5;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(12);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; }, 100);
  const auto rest = pullN(d.u, 6);
  fs.insert(fs.end(), rest.begin(), rest.end());
  // Up to the failing frame the rows arrived; then the ramp and idle.
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 5);
  EXPECT_EQ(count(fs, LE_UTT_RAMP), 6);
  char msg[160];
  int failures = 0;
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), 0);
  EXPECT_EQ(failures, 1);
  EXPECT_STREQ(msg, "cpu engine: fake engine failed at frame 5");
  rig.engine.failPullAt = -1;
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto next = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(next, LE_UTT_SPEECH), 12);
}

TEST(PipelineFaults, EngineStallingAfterTheFinishClosesTheUtterance) {
  Rig rig;
  rig.engine.stallAt = 3;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(8);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 3);
  ASSERT_EQ(fs.back().info.kind, LE_UTT_RAMP);
  char msg[160];
  le_utt_render_status(d.u, msg, sizeof msg, nullptr);
  EXPECT_STREQ(msg, "cpu engine: the engine stopped at 3 of 8 frames after the finish");
}

TEST(PipelineFaults, DriverIndexOutsideTheDriverNeverReachesTheRenderer) {
  Rig rig;
  rig.engine.badIndexAt = 2;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(6);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  const auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; });
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 2);
  for (const Frame& f : fs) EXPECT_LT(f.idx, 10);
  char msg[160];
  le_utt_render_status(d.u, msg, sizeof msg, nullptr);
  EXPECT_STREQ(msg, "cpu engine: driver index 10 outside [0,10)");
}

TEST(PipelineFaults, RendererThrowingOnOneFrameLatchesAndTheStreamGoesOn) {
  Rig rig;
  rig.director.throwAtSpeech = 5;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(8);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  auto fs = pullUntil(d.u, [](const Frame& f) { return f.info.kind == LE_UTT_RAMP; }, 100);
  // Frame 5 is not rendered again: the utterance closes and ramps back.
  EXPECT_EQ(count(fs, LE_UTT_SPEECH), 5);
  ASSERT_EQ(fs.back().info.kind, LE_UTT_RAMP);
  char msg[160];
  int failures = 0;
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), -1);
  EXPECT_EQ(failures, 1);
  EXPECT_STREQ(msg, "cpu render: boom");
  const auto again = speech(3);
  le_utt_push_audio(d.u, again.data(), int(again.size()));
  le_utt_end_utterance(d.u);
  const auto next = pullUntil(d.u, [](const Frame& f) { return f.info.speech_number == 2; });
  EXPECT_EQ(count(next, LE_UTT_SPEECH), 3);
}

TEST(PipelineFaults, DriverFailingOnOneFrameKeepsTheStreamDelivering) {
  for (int pipe : {0, 1}) {
    Rig rig;
    rig.pipelinePaste = pipe;
    rig.frames.failIdx = 3;
    Destroy d{rig.make()};
    const auto fs = pullN(d.u, 20);
    ASSERT_EQ(fs.size(), 20u) << pipe;
    for (const Frame& f : fs) EXPECT_NE(f.idx, 3);
    char msg[160];
    int failures = 0;
    EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), -1);
    EXPECT_GE(failures, 2);
    EXPECT_STREQ(msg, "cpu paste: driver failed at 3");
  }
}

TEST(PipelineFaults, WarmUpFailuresReportThroughReady) {
  {
    Rig rig;
    rig.engine.reportNt = 7;
    Destroy d{rig.make()};
    EXPECT_FALSE(waitReady(d.u));
    EXPECT_EQ(le_utt_ready(d.u), -1);
    EXPECT_STREQ(le_utt_last_error(), "engine NT 7 != bundle NT 10");
    // Idle frames still flow; a push is refused with the warm-up's message,
    // an empty one too.
    const auto audio = speech(3);
    for (const int n : {int(audio.size()), 0}) {
      EXPECT_EQ(le_utt_push_audio(d.u, audio.data(), n), 0);
      EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: engine NT 7 != bundle NT 10");
    }
    const auto fs = pullN(d.u, 12);
    EXPECT_EQ(count(fs, LE_UTT_IDLE), 12);
  }
  {
    Rig rig;
    rig.engine.createThrows = true;
    Destroy d{rig.make()};
    EXPECT_FALSE(waitReady(d.u));
    EXPECT_STREQ(le_utt_last_error(), "le_a2x_create: fake refused");
    const int16_t one = 1;
    EXPECT_EQ(le_utt_push_audio(d.u, &one, 1), 0);
    EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: le_a2x_create: fake refused");
  }
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
  std::uniform_int_distribution<int> pause(0, 2);
  std::vector<Frame> fs;
  while (fs.size() < 3000) {
    auto f = nextFrame(d.u);
    if (!f) break;
    fs.push_back(*f);
    if (pause(rng) == 0) std::this_thread::sleep_for(200us);
  }
  done = true;
  pusher.join();
  ASSERT_EQ(fs.size(), 3000u);
  expectConsecutive(fs, 10);
  int speech = 0, utterances = 0;
  for (size_t i = 0; i < fs.size(); ++i) {
    const Frame& f = fs[i];
    const int prev = i ? fs[i - 1].info.kind : LE_UTT_IDLE;
    if (f.info.kind == LE_UTT_SPEECH) {
      ++speech;
      if (f.info.speech_number == 0) {
        ++utterances;
      } else {
        ASSERT_TRUE(prev == LE_UTT_SPEECH && fs[i - 1].info.speech_number == f.info.speech_number - 1) << i;
      }
    }
    if (f.info.kind == LE_UTT_RAMP) {
      ASSERT_NE(prev, LE_UTT_IDLE) << i;
    }
  }
  EXPECT_GT(speech, 100);
  EXPECT_GT(utterances, 2);
}

TEST(PipelineLoad, CreateDestroyMidSpeechFiftyTimes) {
  for (int i = 0; i < 50; ++i) {
    Rig rig;
    rig.pipelinePaste = i % 2;
    le_utt* u = rig.make();
    const auto audio = speech(40);
    le_utt_push_audio(u, audio.data(), int(audio.size()));
    if (i % 3 == 0) waitReady(u);
    if (i % 5 == 0) nextFrame(u, 20ms);
    le_utt_destroy(u);
  }
}

TEST(PipelineStaleness, InterruptWhileTheEngineWorksDropsItsAnswer) {
  Rig rig;
  rig.engine.availDelayMs = 20;
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = speech(30);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  std::this_thread::sleep_for(5ms);  // the first request is in the engine
  le_utt_interrupt(d.u);
  // Nothing of the dropped utterance may follow: only idle frames.
  const auto fs = pullN(d.u, 15);
  ASSERT_EQ(fs.size(), 15u);
  EXPECT_EQ(count(fs, LE_UTT_IDLE), 15);
}

}  // namespace
}  // namespace le::test
