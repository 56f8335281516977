// The pipeline's engine adapters over the real engines and their fixture
// models: espeak-ng speech streams to exactly the engine's total with driver
// indices in range and their target rows, failures carry the engines' own messages
// (creation keeps the create call's name, a run-time failure no prefix).
#include <gtest/gtest.h>

#include <cmath>

#include "audio/a2x_fixture.h"
#include "le/pipeline/engine.h"
#include "testkit/testkit.h"

namespace le::test {
namespace {

using utt::createEngine;
using utt::EngineKind;

struct Streamed { std::vector<int32_t> idx; std::vector<float> target, driven; int32_t total = -1; };

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

// Target rows are the directory's xs_target rows of the driver indices, so
// target and driven cannot trade places.
void expectWholeUtterance(const Streamed& s, size_t samples, const std::string& dir, int32_t nt, int32_t start) {
  const auto frames = int32_t((samples + 639) / 640);
  EXPECT_EQ(s.total, frames);
  ASSERT_EQ(int32_t(s.idx.size()), frames);
  const std::vector<float> xs = readF32(dir + "/xs_target.bin");
  for (size_t k = 0; k < s.idx.size(); ++k) {
    ASSERT_TRUE(s.idx[k] >= 0 && s.idx[k] < nt) << k;
    for (size_t j = 0; j < 63; ++j) ASSERT_EQ(s.target[k * 63 + j], xs[size_t(s.idx[k]) * 63 + j]) << k << " " << j;
  }
  EXPECT_EQ(s.idx[0], start);
  for (float v : s.driven) ASSERT_TRUE(std::isfinite(v));
  // Speech moves the face: some driven row differs from its target row.
  double moved = 0;
  for (size_t i = 0; i < s.driven.size(); ++i) moved = std::max(moved, double(std::fabs(s.driven[i] - s.target[i])));
  EXPECT_GT(moved, 1e-4);
}

// Both engines, twice each (a reset starts the next utterance); the a2x walk
// loops over its 3 driver frames from the start index.
TEST(EngineAdapters, EachEngineStreamsSpeechToItsTotalAndRefusesAudioAfterTheFinish) {
  ASSERT_FALSE(a2xTree().empty());
  A2xEnv env("fe_legacy");
  TempDir tmp;
  ASSERT_EQ(runFixture({"motion", "dir", "--out", tmp / "motion"}), 0);
  const struct {
    EngineKind kind;
    std::string dir;
    int32_t nt, start;
  } engines[] = {{EngineKind::A2x, a2xPath("model"), 3, 1}, {EngineKind::Motion, tmp / "motion", 12, 5}};
  const std::vector<float> s = speech();
  for (const auto& k : engines) {
    EXPECT_EQ(utt::selectEngine(k.dir), k.kind);
    auto e = createEngine(k.kind, k.dir, 1, "");
    ASSERT_EQ(e->nt(), k.nt);
    for (int32_t start : {k.start, 0}) {
      e->reset(start, 1);
      const Streamed out = streamAll(*e, s);
      expectWholeUtterance(out, s.size(), k.dir, k.nt, start);
      for (size_t i = 0; k.kind == EngineKind::A2x && i < out.idx.size(); ++i) ASSERT_EQ(out.idx[i], int32_t((start + i) % 3)) << i;
      EXPECT_EQ(errorOf([&] { e->push(s.data(), 640); }), "audio pushed after the finish");
    }
  }
}

// Creation keeps the create call's name, once; a decode failure the engine
// records is thrown with the engine's own message, no C function's prefix
// (the pipeline names the stage).
TEST(EngineAdapters, FailuresCarryTheEnginesOwnMessages) {
  TempDir tmp;
  EXPECT_EQ(errorOf([&] { createEngine(EngineKind::Motion, tmp / "none", 1, ""); }),
            "le_motion_create: cannot open " + tmp / "none/meta.json");
  ASSERT_FALSE(a2xTree().empty());
  A2xEnv env("fe_legacy");
  const std::string why = errorOf([&] { createEngine(EngineKind::A2x, a2xPath("model_no_window"), 1, ""); });
  EXPECT_EQ(why.rfind("le_a2x_create: ", 0), 0u) << why;
  EXPECT_EQ(why.find("le_a2x_create: le_a2x_create"), std::string::npos) << why;
  auto e = createEngine(EngineKind::A2x, a2xPath("model_bad_m"), 1, "");  // its decoder emits 60 values, not 63
  const std::vector<float> s(640 * 6, 0.1f);
  e->push(s.data(), int64_t(s.size()));
  e->finish();
  EXPECT_EQ(errorOf([&] { e->avail(); }), "a2x_dec: output m has 60 values, expected 63");
}

}  // namespace
}  // namespace le::test
