// The a2x engine on the fixture models: create refusals and diagnostics,
// streaming readiness, index walks, finish/total, whole-clip deltas against
// streamed rows, both frontend paths, and lips that open with speech.
//
// The frontend is process-wide and its pair search runs once, so tests that
// depend on which frontend is loaded skip when an earlier test in the same
// process fixed another one; ctest runs each test in its own process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "audio/a2x_fixture.h"
#include "le/audio/a2x.h"
#include "le/audio/frontend.h"
#include "le/le_a2x.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit,
// whatever the caller does; the leak checker of sanitizer builds skips it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libonnxruntime.so\n"; }

namespace le::test {
namespace {

using audio::Frontend;

#define REQUIRE_FRESH_FRONTEND()                                                       \
  do {                                                                                 \
    ASSERT_FALSE(a2xTree().empty());                                                   \
    if (Frontend::loaded() != nullptr) GTEST_SKIP() << "frontend fixed by an earlier test"; \
  } while (0)

struct Handle {
  explicit Handle(const std::string& model, int threads = 1) : a(le_a2x_create(a2xPath(model).c_str(), threads)) {}
  ~Handle() { le_a2x_destroy(a); }
  le_a2x* a;
};

std::string createError(const std::string& model) {
  le_a2x* a = le_a2x_create(a2xPath(model).c_str(), 1);
  const std::string err = a != nullptr ? "created" : le_a2x_last_error();
  le_a2x_destroy(a);
  return err;
}

constexpr int kLipRows[6] = {6, 12, 14, 17, 19, 20};

// Mean lip opening of a delta row: lower lips down minus upper lips up.
double lipOpening(const float* row) {
  double s = 0;
  for (int k : {17, 19, 20}) s += row[3 * k + 1];
  for (int k : {6, 12, 14}) s -= row[3 * k + 1];
  return s / 6;
}

TEST(A2xCreate, RefusalsCarryTheirMessages) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  {
    ScopedEnv unset("W2V_ONNX", std::nullopt);
    EXPECT_EQ(createError("model"), "le_a2x_create: $W2V_ONNX not set");
  }
  {
    ScopedEnv bad("W2V_ONNX", a2xPath("fe_legacy/nothing.onnx"));
    EXPECT_EQ(createError("model"), "le_a2x_create: shared w2v load failed");
    EXPECT_EQ(Frontend::loaded(), nullptr);
  }
  EXPECT_EQ(createError("model_no_window"), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  EXPECT_EQ(createError("model_h_big"), "le_a2x_create: meta h out of range");
  EXPECT_EQ(createError("model_layers_big"), "le_a2x_create: meta layers out of range");
  for (const char* m : {"model_short_pos", "model_short_norm", "model_short_xs"})
    EXPECT_EQ(createError(m), "le_a2x_create: pos/norm/xs_target read failed") << m;
  // Long enough but not whole rows: a table written for another geometry.
  const struct {
    const char* model;
    std::string expected;
  } ragged[] = {
      {"model_ragged_pos", a2xPath("model_ragged_pos/a2x_pos.f32") +
                               " holds 2556 bytes, not whole rows of 16 float32 values (64 bytes) — refusing"},
      {"model_ragged_xs", a2xPath("model_ragged_xs/xs_target.bin") +
                              " holds 760 bytes, not whole rows of 63 float32 values (252 bytes) — refusing"},
  };
  for (const auto& r : ragged) EXPECT_EQ(createError(r.model), "le_a2x_create: " + r.expected) << r.model;
  EXPECT_EQ(createError("nowhere"), "le_a2x_create: a2x_meta.json missing in " + a2xPath("nowhere"));
  EXPECT_EQ(createError("model"), "created");
  EXPECT_STREQ(le_a2x_last_error(), "");
}

TEST(A2xCreate, DiagnosticsCadenceOnceWidthWarningAndLegacyNotice) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  testing::internal::CaptureStderr();
  { Handle h("model", 1); ASSERT_NE(h.a, nullptr); EXPECT_EQ(le_a2x_width(h.a), 0); EXPECT_EQ(le_a2x_nt(h.a), 3); }
  { Handle h("model_claims_wn", 1); ASSERT_NE(h.a, nullptr); EXPECT_EQ(le_a2x_width(h.a), 0); }
  { Handle h("model_wn", 1); ASSERT_NE(h.a, nullptr); EXPECT_EQ(le_a2x_width(h.a), 1); }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(err, "[le_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, threads=1\n"), 1) << err;
  EXPECT_EQ(countOf(err, "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH (width=0). Repackage this bundle.\n"), 1) << err;
  EXPECT_EQ(countOf(err, "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                         "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" +
                         a2xPath("fe_legacy/w2v.onnx") + ") as audio_encoder_fp16_window_{trunk,head}.onnx"),
            1) << err;
}

TEST(A2xCreate, PreloadKeepsTheFirstSession) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 1);
  Frontend* first = Frontend::loaded();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(le_a2x_preload_w2v(a2xPath("fe_pair/w2v.onnx").c_str()), 1);
  EXPECT_EQ(Frontend::loaded(), first);
  EXPECT_EQ(le_a2x_preload_w2v(a2xPath("missing.onnx").c_str()), 1);
  // A preloaded frontend serves handles created without W2V_ONNX.
  ScopedEnv unset("W2V_ONNX", std::nullopt);
  EXPECT_EQ(createError("model"), "created");
  EXPECT_EQ(Frontend::loaded(), first);
}

TEST(A2xStreaming, ReadinessHoldBackAndChunks) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  const std::vector<float> s = speechLong();
  ASSERT_GT(s.size(), 5120u * 20);
  ASSERT_EQ(le_a2x_push(h.a, s.data(), 4480), 1);
  EXPECT_EQ(le_a2x_avail(h.a), 0);
  ASSERT_EQ(le_a2x_push(h.a, s.data() + 4480, 5120 * 4 - 4480), 1);
  // 32 covered frames minus the frontend hold-back of 12 (the look-ahead is 2).
  EXPECT_EQ(le_a2x_avail(h.a), 20);
  ASSERT_EQ(le_a2x_push(h.a, s.data() + 5120 * 4, 5120 * 16), 1);
  EXPECT_EQ(le_a2x_avail(h.a), 84);  // one legacy chunk of 64 more
  EXPECT_EQ(le_a2x_avail(h.a), 160 - 12);
  EXPECT_EQ(le_a2x_push(h.a, s.data(), 0), 1);
  EXPECT_EQ(le_a2x_push(h.a, s.data(), -5), 1);
  EXPECT_EQ(le_a2x_avail(h.a), 148);
  EXPECT_EQ(le_a2x_total(h.a), -1);
}

TEST(A2xStreaming, HoldBackFollowsTheEnvironment) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  ScopedEnv right("LE_A2X_W2V_RIGHT", "-3");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  const std::vector<float> s = speech();
  le_a2x_push(h.a, s.data(), 5120 * 4);
  EXPECT_EQ(le_a2x_avail(h.a), 30);  // negative reads as 0: the look-ahead of 2 remains
}

// The same avail calls at the same block boundaries give identical rows
// however the audio between them was split into pushes.
TEST(A2xStreaming, PushSizeInvariance) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  const std::vector<float> s = speechLong();  // past frame 200: the second legacy window
  auto run = [&](const std::vector<int>& cuts) {
    Handle h("model");
    Pulled p;
    size_t at = 0;
    for (size_t block = 1; at < s.size(); ++block) {
      const size_t end = std::min(s.size(), block * 5120 * 3);
      size_t k = 0;
      while (at < end) {
        const int n = static_cast<int>(std::min<size_t>(end - at, static_cast<size_t>(cuts[k++ % cuts.size()])));
        le_a2x_push(h.a, s.data() + at, n);
        at += n;
      }
      le_a2x_avail(h.a);
      while (pullInto(h.a, p, 5) > 0) {
      }
    }
    le_a2x_finish(h.a);
    while (pullInto(h.a, p, 64) > 0) {
    }
    EXPECT_EQ(static_cast<int>(p.frames()), le_a2x_total(h.a));
    return p;
  };
  const Pulled one = run({1 << 30});
  const Pulled odd = run({1, 639, 641, 5119, 17, 3000});
  ASSERT_EQ(one.frames(), (s.size() + 639) / 640);
  EXPECT_EQ(one.idx, odd.idx);
  EXPECT_EQ(one.drv, odd.drv);
  EXPECT_EQ(one.src, odd.src);
}

TEST(A2xStreaming, FinishTotalAndIndexWalks) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  std::vector<float> s(640 * 9 + 1, 0.0f);
  auto indices = [&](int start, int dir, int loop) {
    EXPECT_EQ(le_a2x_reset(h.a, start, dir, loop), 1);
    return streamWhole(h.a, s, 3).idx;
  };
  using V = std::vector<int>;
  EXPECT_EQ(indices(0, 1, 0), (V{0, 1, 2, 1, 0, 1, 2, 1, 0, 1}));
  EXPECT_EQ(le_a2x_total(h.a), 10);
  EXPECT_EQ(indices(0, 1, 1), (V{0, 1, 2, 0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(indices(0, -1, 0), (V{0, 1, 2, 1, 0, 1, 2, 1, 0, 1}));
  EXPECT_EQ(indices(0, -1, 1), (V{0, 2, 1, 0, 2, 1, 0, 2, 1, 0}));
  // Continuation: the next utterance starts where the last pull stopped.
  EXPECT_EQ(indices(-1, -1, 1), (V{2, 1, 0, 2, 1, 0, 2, 1, 0, 2}));
  EXPECT_EQ(indices(-1, 1, 0), (V{1, 2, 1, 0, 1, 2, 1, 0, 1, 2}));

  // Half-pulled: continuation from the frame that was not handed out.
  ASSERT_EQ(le_a2x_reset(h.a, 1, 1, 1), 1);
  le_a2x_push(h.a, s.data(), static_cast<int>(s.size()));
  le_a2x_finish(h.a);
  Pulled p;
  ASSERT_EQ(pullInto(h.a, p, 4), 4);
  EXPECT_EQ(p.idx, (V{1, 2, 0, 1}));
  EXPECT_EQ(indices(-1, 1, 1).front(), 2);

  // Pull with n = 0 changes nothing; a push after finish is refused.
  ASSERT_EQ(le_a2x_reset(h.a, 0, 1, 1), 1);
  le_a2x_push(h.a, s.data(), static_cast<int>(s.size()));
  le_a2x_finish(h.a);
  EXPECT_EQ(le_a2x_pull(h.a, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(le_a2x_push(h.a, s.data(), 10), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: already finished");
  EXPECT_EQ(le_a2x_total(h.a), 10);
  Pulled all;
  while (pullInto(h.a, all, 4) > 0) {
  }
  EXPECT_EQ(all.frames(), 10u);
  EXPECT_EQ(le_a2x_avail(h.a), 0);
  EXPECT_EQ(le_a2x_set_eager(h.a, 3), 1);
}

TEST(A2xStreaming, SingleTargetRowGivesIndexZero) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model_nt1");
  ASSERT_NE(h.a, nullptr);
  EXPECT_EQ(le_a2x_nt(h.a), 1);
  const std::vector<float> s(640 * 5, 0.0f);
  for (int dir : {1, -1})
    for (int loop : {0, 1}) {
      le_a2x_reset(h.a, 7, dir, loop);
      const Pulled p = streamWhole(h.a, s);
      EXPECT_EQ(p.idx, std::vector<int>(5, 0));
    }
}

// With all audio pushed before the first avail and whole 64-frame pulls, the
// streamed schedule is the whole-clip one: every driven row is, bit for bit,
// its target row plus the le_a2x_deltas row of the same frame.
TEST(A2xWholeClip, StreamedRowsAreTargetPlusDeltas) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model_wn");
  ASSERT_NE(h.a, nullptr);
  const std::vector<float> s = speechLong();
  const int F = static_cast<int>((s.size() + 639) / 640);
  ASSERT_GT(F, 200);  // two legacy windows
  std::vector<float> d(static_cast<size_t>(F) * 63), wn(static_cast<size_t>(F));
  ASSERT_EQ(le_a2x_deltas_wn(h.a, s.data(), static_cast<int>(s.size()), d.data(), wn.data(), F), F);
  const Pulled p = streamWhole(h.a, s, 64);
  ASSERT_EQ(static_cast<int>(p.frames()), F);
  for (int t = 0; t < F; ++t) {
    for (int i = 0; i < 63; ++i) {
      const size_t k = static_cast<size_t>(t) * 63 + static_cast<size_t>(i);
      ASSERT_EQ(p.drv[k], p.src[k] + d[k]) << "frame " << t << " value " << i;
    }
    ASSERT_EQ(p.wn[static_cast<size_t>(t)], wn[static_cast<size_t>(t)]) << t;
  }
  // Too many frames: -2 and nothing written.
  std::vector<float> small(63 * 3, 7.0f);
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), 640 * 3 + 1, small.data(), 3), -2);
  for (float v : small) ASSERT_EQ(v, 7.0f);
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), 0, small.data(), 0), 0);
}

// Pulling 5 frames at a time runs the encoder over 5-frame blocks with their
// own left context and look-ahead. Each frame still sees exactly its band
// (4 frames back, 1 ahead) at its absolute positions, so the rows match the
// 64-frame whole-clip blocks up to the summation order inside onnxruntime.
TEST(A2xWholeClip, BlockSplitChangesRowsOnlyByRoundOff) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  const std::vector<float> s = speechLong();
  const int F = static_cast<int>((s.size() + 639) / 640);
  std::vector<float> d(static_cast<size_t>(F) * 63);
  ASSERT_EQ(le_a2x_deltas(h.a, s.data(), static_cast<int>(s.size()), d.data(), F), F);
  const Pulled p = streamWhole(h.a, s, 5);
  ASSERT_EQ(static_cast<int>(p.frames()), F);
  double worst = 0;
  for (size_t k = 0; k < d.size(); ++k) worst = std::max(worst, std::fabs(double(p.drv[k]) - p.src[k] - d[k]));
  EXPECT_LT(worst, 1e-4);
}

TEST(A2xWholeClip, WidthNeedsTheSecondOutput) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  const std::vector<float> s(640 * 4, 0.0f);
  std::vector<float> d(63 * 4), wn(4);
  EXPECT_EQ(le_a2x_deltas_wn(h.a, s.data(), static_cast<int>(s.size()), d.data(), wn.data(), 4), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  // Pulled width values are 0 without the output.
  const Pulled p = streamWhole(h.a, s);
  EXPECT_EQ(p.wn, std::vector<float>(4, 0.0f));
}

TEST(A2xWholeClip, NormalisationAppliesMeanAndStd) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle a("model"), b("model_norm2");
  ASSERT_NE(a.a, nullptr);
  ASSERT_NE(b.a, nullptr);
  const std::vector<float> s = speech();
  const int F = static_cast<int>((s.size() + 639) / 640);
  std::vector<float> da(static_cast<size_t>(F) * 63), db(da.size());
  ASSERT_EQ(le_a2x_deltas(a.a, s.data(), static_cast<int>(s.size()), da.data(), F), F);
  ASSERT_EQ(le_a2x_deltas(b.a, s.data(), static_cast<int>(s.size()), db.data(), F), F);
  const std::vector<float> norm = readF32(a2xPath("model/a2x_norm.f32"));
  for (size_t k = 0; k < da.size(); ++k) {
    const size_t i = k % 63;
    const double m = (da[k] - norm[i]) / norm[63 + i];  // the raw decoder value
    ASSERT_NEAR(db[k], m * 2.0 * norm[63 + i] + norm[i] + 0.25, 1e-5) << k;
  }
}

TEST(A2xLips, OpenInProportionToVoicedEnergy) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model");
  ASSERT_NE(h.a, nullptr);
  std::vector<float> s = speech();
  const size_t speechFrames = (s.size() + 639) / 640;
  s.resize(s.size() + 640 * 50, 0.0f);  // two seconds of silence after it
  const int F = static_cast<int>((s.size() + 639) / 640);
  std::vector<float> d(static_cast<size_t>(F) * 63);
  ASSERT_EQ(le_a2x_deltas(h.a, s.data(), static_cast<int>(s.size()), d.data(), F), F);
  // Frame loudness of the raw audio against the lip opening.
  std::vector<double> loud, open;
  for (int t = 0; t < F; ++t) {
    double e = 0;
    for (size_t i = static_cast<size_t>(t) * 640; i < std::min(s.size(), static_cast<size_t>(t + 1) * 640); ++i)
      e += double(s[i]) * s[i];
    loud.push_back(std::log(e / 640 + 1e-8));
    open.push_back(lipOpening(d.data() + static_cast<size_t>(t) * 63));
  }
  double speechOpen = 0, silentOpen = 0;
  for (size_t t = 0; t < speechFrames; ++t) speechOpen = std::max(speechOpen, open[t]);
  for (size_t t = speechFrames + 10; t < open.size(); ++t) silentOpen = std::max(silentOpen, open[t]);
  EXPECT_GT(speechOpen, 0.3);
  EXPECT_LT(silentOpen, 0.05 * speechOpen);
  // Opening follows loudness: a clear positive correlation over the clip.
  const double ml = std::accumulate(loud.begin(), loud.end(), 0.0) / F;
  const double mo = std::accumulate(open.begin(), open.end(), 0.0) / F;
  double cov = 0, vl = 0, vo = 0;
  for (int t = 0; t < F; ++t) {
    cov += (loud[t] - ml) * (open[t] - mo);
    vl += (loud[t] - ml) * (loud[t] - ml);
    vo += (open[t] - mo) * (open[t] - mo);
  }
  EXPECT_GT(cov / std::sqrt(vl * vo), 0.6);
  // Only the six lip rows move beyond the norm's mean.
  const std::vector<float> norm = readF32(a2xPath("model/a2x_norm.f32"));
  for (int t = 0; t < F; ++t)
    for (int k = 0; k < 21; ++k) {
      const bool lip = std::find(std::begin(kLipRows), std::end(kLipRows), k) != std::end(kLipRows);
      if (lip) continue;
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(d[static_cast<size_t>(t) * 63 + 3 * k + c], norm[3 * k + c]) << t << " kp " << k;
    }
}

TEST(A2xPriming, SilencePrimedStateStartsEveryUtterance) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  testing::internal::CaptureStderr();
  Handle primed("model_prime");
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(primed.a, nullptr);
  EXPECT_EQ(countOf(err, "[le_a2x] silence-primed AR state cached (24 frames)\n"), 1) << err;
  Handle plain("model");
  std::vector<float> s(640 * 2, 0.0f);
  std::vector<float> dp(126), dz(126);
  ASSERT_EQ(le_a2x_deltas(primed.a, s.data(), 1280, dp.data(), 2), 2);
  ASSERT_EQ(le_a2x_deltas(plain.a, s.data(), 1280, dz.data(), 2), 2);
  // Silence after primed silence is steady; from a zero state the lips move.
  EXPECT_NE(dp, dz);
  const Pulled a = streamWhole(primed.a, s);
  le_a2x_reset(primed.a, 0, 1, 1);
  const Pulled b = streamWhole(primed.a, s);
  EXPECT_EQ(a.drv, b.drv);
  for (size_t k = 0; k < 126; ++k) EXPECT_EQ(a.drv[k], a.src[k] + dp[k]);
  {
    ScopedEnv off("LE_A2X_SILENCE_PRIME", "0");
    testing::internal::CaptureStderr();
    Handle unprimed("model_prime");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("silence-primed"), std::string::npos);
    std::vector<float> du(126);
    ASSERT_EQ(le_a2x_deltas(unprimed.a, s.data(), 1280, du.data(), 2), 2);
    EXPECT_EQ(du, dz);
  }
}

TEST(A2xExtend, FailureLeavesTheRecurrenceWhereItWas) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model_bad_m");
  ASSERT_NE(h.a, nullptr);
  std::vector<float> s(640 * 10, 0.0f);
  le_a2x_push(h.a, s.data(), static_cast<int>(s.size()));
  le_a2x_finish(h.a);
  EXPECT_EQ(le_a2x_avail(h.a), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: a2x_dec: output m has 60 values, expected 63");
  Pulled p;
  EXPECT_EQ(pullInto(h.a, p, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: a2x_dec: output m has 60 values, expected 63");
  std::vector<float> d(63 * 10);
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), static_cast<int>(s.size()), d.data(), 10), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas: a2x_dec: output m has 60 values, expected 63");
}

// Samples that are not finite are refused at every entry point that takes
// them, naming the first one, and change nothing; a negative pull count is a
// bad argument.
TEST(A2xCarelessCaller, NonFiniteSamplesAndNegativeCountsAreRefused) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  Handle h("model_wn");
  ASSERT_NE(h.a, nullptr);
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* call;
    size_t at;
    float value;
    std::string text;
  } cases[] = {
      {"le_a2x_push", 0, std::numeric_limits<float>::quiet_NaN(), "sample 0 is nan, not a finite value"},
      {"le_a2x_push", 1279, inf, "sample 1279 is inf, not a finite value"},
      {"le_a2x_deltas", 700, -inf, "sample 700 is -inf, not a finite value"},
      {"le_a2x_deltas_wn", 3, std::numeric_limits<float>::quiet_NaN(), "sample 3 is nan, not a finite value"},
  };
  std::vector<float> out(63 * 2), wn(2);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<float> s(1280, 0.25f);
    s[c.at] = c.value;
    const std::string call = c.call;
    int r = 0;
    if (call == "le_a2x_push") r = le_a2x_push(h.a, s.data(), int(s.size()));
    else if (call == "le_a2x_deltas") r = le_a2x_deltas(h.a, s.data(), int(s.size()), out.data(), 2);
    else r = le_a2x_deltas_wn(h.a, s.data(), int(s.size()), out.data(), wn.data(), 2);
    EXPECT_EQ(r, call == "le_a2x_push" ? 0 : -1);
    EXPECT_EQ(std::string(le_a2x_last_error()), call + ": " + c.text);
    if (call == "le_a2x_push") {
      EXPECT_EQ(le_a2x_finish(h.a), 1);
      EXPECT_EQ(le_a2x_total(h.a), 0);  // nothing was appended
      le_a2x_reset(h.a, 0, 1, 1);
    }
  }
  // A clip longer than max_frames is refused by size before its samples are read.
  std::vector<float> one(1, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(le_a2x_deltas(h.a, one.data(), 641 * 1000, out.data(), 2), -2);
  // Pull counts: 0 reads nothing, a negative count is refused.
  std::vector<int> idx(4);
  std::vector<float> rows(63 * 4);
  EXPECT_EQ(le_a2x_pull(h.a, idx.data(), rows.data(), rows.data(), 0), 0);
  EXPECT_STREQ(le_a2x_last_error(), "");
  for (int n : {-1, -3, std::numeric_limits<int>::min()}) {
    EXPECT_EQ(le_a2x_pull(h.a, idx.data(), rows.data(), rows.data(), n), -1);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull: bad args");
    EXPECT_EQ(le_a2x_pull_wn(h.a, idx.data(), rows.data(), rows.data(), wn.data(), n), -1);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull_wn: bad args");
  }
}

// Every member of a model directory replaced by a FIFO or a device: create
// fails at once, naming the member.
TEST(A2xCreate, FifosAndDevicesInPlaceOfMembersFailAtOnce) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  const bool canMknod = [] {
    TempDir t;
    return ::mknod((t / "z").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
  }();
  for (const char* member : {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "xs_target.bin",
                             "a2x_enc_stream.onnx", "a2x_dec.onnx"}) {
    for (const bool fifo : {true, false}) {
      if (!fifo && !canMknod) continue;
      SCOPED_TRACE(std::string(member) + (fifo ? " as a FIFO" : " as a device"));
      TempDir t;
      for (const std::string& name : listDir(a2xPath("model")))
        writeFile(t / name, readFile(a2xPath("model/" + name)));
      const std::string path = t / member;
      ::unlink(path.c_str());
      ASSERT_EQ(fifo ? ::mkfifo(path.c_str(), 0644) : ::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
      const auto t0 = std::chrono::steady_clock::now();
      le_a2x* a = le_a2x_create(t.path().c_str(), 1);
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
      EXPECT_EQ(a, nullptr);
      EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_create: cannot open " + path);
      le_a2x_destroy(a);
    }
  }
}

// One utterance of s through a handle that lets consumed rows go and one that
// keeps them all, pushed block by block and pulled five frames at a time.
void longUtterance(const std::vector<float>& s, bool shortWindow) {
  const int64_t F = int64_t((s.size() + 639) / 640);
  audio::A2x bounded(a2xPath("model"), 1, shortWindow), reference(a2xPath("model"), 1, shortWindow);
  ASSERT_EQ(bounded.shortWindow(), shortWindow);
  reference.keepHistory(true);
  std::vector<float> rows[2];
  std::vector<int> idx(5);
  std::vector<float> src(5 * 63), drv(5 * 63);
  auto pullSome = [&](audio::A2x& a, std::vector<float>& out) {
    for (int64_t got; (got = a.pull(idx.data(), src.data(), drv.data(), nullptr, 5)) > 0;)
      out.insert(out.end(), drv.begin(), drv.begin() + got * 63);
  };
  size_t heldAt15s = 0, heldMax = 0;
  for (size_t at = 0; at < s.size(); at += 5120) {
    const int64_t n = int64_t(std::min<size_t>(5120, s.size() - at));
    int k = 0;
    for (audio::A2x* a : {&bounded, &reference}) {
      a->push(s.data() + at, n);
      a->avail();
      pullSome(*a, rows[k++]);
    }
    if (at >= 15 * 16000 && heldAt15s == 0) heldAt15s = bounded.heldBytes();
    heldMax = std::max(heldMax, bounded.heldBytes());
  }
  int k = 0;
  for (audio::A2x* a : {&bounded, &reference}) {
    a->finish();
    pullSome(*a, rows[k++]);
  }
  ASSERT_EQ(int64_t(rows[0].size()), F * 63);
  EXPECT_EQ(rows[0], rows[1]);
  // The first rows were let go, and the held state stopped growing: what
  // 40 s need is what 15 s needed, give or take one compaction's slack.
  EXPECT_GT(bounded.features().rows.base(), 0);
  EXPECT_EQ(reference.features().rows.base(), 0);
  ASSERT_GT(heldAt15s, 0u);
  EXPECT_LT(double(heldMax), 1.5 * double(heldAt15s));
  EXPECT_GT(reference.heldBytes(), 2 * heldMax);
  // Features for the encoder's reach and two compaction spans, far below the
  // 1000 frames of the clip.
  EXPECT_LT(bounded.features().rows.end() - bounded.features().rows.base(), 3 * audio::FrameRows::kMinDrop);
}

// One long utterance holds only what later frames read: pushed and pulled as
// a host would, block by block, it gives the very rows of a handle that keeps
// every row, and the state it holds stops growing once the first rows are let
// go.
TEST(A2xMemory, ALongUtteranceHoldsOnlyWhatLaterFramesRead) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair");  // both frontends: the legacy window and the short-window pair
  const std::vector<float> sentence = speechLong();
  std::vector<float> s;
  while (s.size() < size_t(40 * 16000)) s.insert(s.end(), sentence.begin(), sentence.end());
  for (const bool shortWindow : {false, true}) {
    SCOPED_TRACE(shortWindow ? "short window" : "legacy window");
    longUtterance(s, shortWindow);
  }
}

}  // namespace
}  // namespace le::test
