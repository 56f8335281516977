// The pipeline's engine adapters over the real engines and their fixture
// models: espeak-ng speech streams to exactly the engine's total with driver
// indices in range and finite rows, failures carry the engines' own messages
// (creation keeps the create call's name), and a run-time engine failure
// reaches the pipeline's render status as stage "engine".
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/a2x_fixture.h"
#include "le/pipeline/engine.h"
#include "utt_fakes.h"

namespace le::test {
namespace {

using utt::createEngine;
using utt::EngineKind;

struct Streamed {
  std::vector<int32_t> idx;
  std::vector<float> target, driven;
  int32_t total = -1;
};

// Pushes the samples in three uneven pieces, finishes and pulls in blocks of
// 7 until the engine has nothing more.
Streamed streamAll(utt::Engine& e, const std::vector<float>& s) {
  Streamed out;
  const size_t a = s.size() / 5, b = s.size() / 2;
  e.push(s.data(), int64_t(a));
  e.push(s.data() + a, int64_t(b - a));
  e.push(s.data() + b, int64_t(s.size() - b));
  e.finish();
  for (int guard = 0; guard < 10000; ++guard) {
    const int32_t n = e.avail();
    if (n < 1) break;
    std::vector<int32_t> idx(7);
    std::vector<float> t(7 * 63), d(7 * 63);
    const int32_t got = e.pull(idx.data(), t.data(), d.data(), 7);
    EXPECT_GE(got, 1);
    if (got < 1) break;
    out.idx.insert(out.idx.end(), idx.begin(), idx.begin() + got);
    out.target.insert(out.target.end(), t.begin(), t.begin() + got * 63);
    out.driven.insert(out.driven.end(), d.begin(), d.begin() + got * 63);
  }
  out.total = e.total();
  return out;
}

void expectWholeUtterance(const Streamed& s, size_t samples, int32_t nt, int32_t start) {
  const auto frames = int32_t((samples + 639) / 640);
  EXPECT_EQ(s.total, frames);
  ASSERT_EQ(int32_t(s.idx.size()), frames);
  for (size_t k = 0; k < s.idx.size(); ++k) {
    ASSERT_GE(s.idx[k], 0) << k;
    ASSERT_LT(s.idx[k], nt) << k;
  }
  EXPECT_EQ(s.idx[0], start);
  for (float v : s.target) ASSERT_TRUE(std::isfinite(v));
  for (float v : s.driven) ASSERT_TRUE(std::isfinite(v));
  // Speech moves the face: some driven row differs from its target row.
  double moved = 0;
  for (size_t i = 0; i < s.driven.size(); ++i) moved = std::max(moved, double(std::fabs(s.driven[i] - s.target[i])));
  EXPECT_GT(moved, 1e-4);
}

TEST(EngineAdapters, A2xStreamsSpeechToItsTotalAndRefusesAudioAfterTheFinish) {
  ASSERT_FALSE(a2xTree().empty());
  A2xEnv env("fe_legacy");
  EXPECT_EQ(utt::selectEngine(a2xPath("model")), EngineKind::A2x);
  auto e = createEngine(EngineKind::A2x, a2xPath("model"), 1, "");
  ASSERT_EQ(e->nt(), 3);
  e->reset(1, 1);
  const std::vector<float> s = speech();
  const Streamed out = streamAll(*e, s);
  expectWholeUtterance(out, s.size(), 3, 1);
  // The walk loops over the 3 driver frames from the start index.
  for (size_t k = 0; k < out.idx.size(); ++k) ASSERT_EQ(out.idx[k], int32_t((1 + k) % 3)) << k;
  try {
    e->push(s.data(), 640);
    ADD_FAILURE() << "push after the finish accepted";
  } catch (const std::logic_error& x) {
    EXPECT_STREQ(x.what(), "audio pushed after the finish");
  }
  // A reset starts the next utterance: the same speech streams again.
  e->reset(0, 1);
  expectWholeUtterance(streamAll(*e, s), s.size(), 3, 0);
}

TEST(EngineAdapters, MotionGeneratorStreamsSpeechToItsTotal) {
  ASSERT_FALSE(a2xTree().empty());
  TempDir tmp;
  const std::string dir = tmp / "motion";
  ASSERT_EQ(runFixture({"motion", "dir", "--out", dir}), 0);
  EXPECT_EQ(utt::selectEngine(dir), EngineKind::Motion);
  auto e = createEngine(EngineKind::Motion, dir, 1, "");
  ASSERT_EQ(e->nt(), 12);
  e->reset(5, 1);
  const std::vector<float> s = speech();
  expectWholeUtterance(streamAll(*e, s), s.size(), 12, 5);
  EXPECT_THROW(e->push(s.data(), 640), std::logic_error);
}

TEST(EngineAdapters, CreationFailuresReadAsTheCreateCallsMessages) {
  TempDir tmp;
  try {
    createEngine(EngineKind::Motion, tmp / "none", 1, "");
    ADD_FAILURE() << "created";
  } catch (const std::runtime_error& x) {
    EXPECT_EQ(std::string(x.what()), "le_motion_create: cannot open " + tmp / "none/meta.json");
  }
  ASSERT_FALSE(a2xTree().empty());
  A2xEnv env("fe_legacy");
  try {
    createEngine(EngineKind::A2x, a2xPath("model_no_window"), 1, "");
    ADD_FAILURE() << "created";
  } catch (const std::runtime_error& x) {
    EXPECT_EQ(std::string(x.what()).rfind("le_a2x_create: ", 0), 0u) << x.what();
    EXPECT_EQ(std::string(x.what()).find("le_a2x_create: le_a2x_create"), std::string::npos) << x.what();
  }
}

TEST(EngineAdapters, RunTimeEngineFailureReachesTheRenderStatusAsStageEngine) {
  ASSERT_FALSE(a2xTree().empty());
  A2xEnv env("fe_legacy");
  Rig rig;
  rig.engine.nt = 3;
  // The decoder of this model emits 60 values instead of 63: the first
  // decode after audio arrives fails.
  rig.realEngine = [] { return createEngine(EngineKind::A2x, a2xPath("model_bad_m"), 1, ""); };
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  const auto audio = le::test::speech(6);
  le_utt_push_audio(d.u, audio.data(), int(audio.size()));
  le_utt_end_utterance(d.u);
  char msg[256] = {};
  int failures = 0;
  for (int i = 0; i < 300 && failures == 0; ++i) {
    nextFrame(d.u, 100ms);
    le_utt_render_status(d.u, msg, sizeof msg, &failures);
  }
  EXPECT_EQ(failures, 1);
  // The engine's own message behind the stage, no C function's prefix.
  EXPECT_NE(std::string(msg).find("cpu engine: "), std::string::npos) << msg;
  EXPECT_NE(std::string(msg).find("a2x_dec: output m has 60 values, expected 63"), std::string::npos) << msg;
  EXPECT_EQ(std::string(msg).find("le_a2x_avail"), std::string::npos) << msg;
  // Not fatal, and the stream goes on with idle frames.
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, nullptr), 0);
  int idle = 0;
  for (int i = 0; i < 40 && idle < 3; ++i)
    if (auto f = nextFrame(d.u)) idle += f->info.kind == LE_UTT_IDLE;
  EXPECT_EQ(idle, 3);
}

}  // namespace
}  // namespace le::test
