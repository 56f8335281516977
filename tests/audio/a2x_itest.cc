// The a2x engine and its shared frontend on the fixture models: create
// refusals and diagnostics, the pair search, streaming readiness and index
// walks, whole-clip and streamed rows against a numpy transcription of the
// frontend, encoder and decoder, both frontend paths, priming, failures, and
// two handles on two threads.
//
// The frontend is process-wide and its pair search runs once, so tests that
// depend on which frontend is loaded skip when an earlier test in the same
// process fixed another one; ctest runs each test in its own process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "audio/a2x_fixture.h"
#include "audio/long_utterance.h"
#include "le/audio/a2x.h"
#include "le/audio/frontend.h"
#include "le/le_a2x.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit,
// whatever the caller does; the leak checker of sanitizer builds skips it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

namespace le::test {
namespace {

using audio::A2x;
using audio::Frontend;

// Points the engines at frontend fe for the test; skips when an earlier test
// in this process fixed another one.
#define FRESH_FRONTEND(fe)                                                                \
  ASSERT_FALSE(a2xTree().empty());                                                        \
  if (Frontend::loaded() != nullptr) GTEST_SKIP() << "frontend fixed by an earlier test"; \
  A2xEnv env(fe)

struct Handle {
  explicit Handle(const std::string& model) : a(le_a2x_create(a2xPath(model).c_str(), 1)) {}
  ~Handle() { le_a2x_destroy(a); }
  le_a2x* a;
};

// Creates and destroys a handle; "created" or the refusal. What it printed is
// appended to *log.
std::string create(const std::string& model, std::string* log = nullptr) {
  testing::internal::CaptureStderr();
  le_a2x* a = le_a2x_create(a2xPath(model).c_str(), 1);
  const std::string err = a != nullptr ? "created" : le_a2x_last_error();
  le_a2x_destroy(a);
  const std::string printed = testing::internal::GetCapturedStderr();
  if (log) *log += printed;
  return err;
}

TEST(A2xCreate, RefusalsAndDiagnostics) {
  FRESH_FRONTEND("fe_legacy");
  std::string all;  // everything the creations printed; the cadence line comes with the first
  {
    ScopedEnv unset("W2V_ONNX", std::nullopt);
    EXPECT_EQ(create("model", &all), "le_a2x_create: $W2V_ONNX not set");
    ScopedEnv bad("W2V_ONNX", a2xPath("fe_legacy/nothing.onnx"));
    EXPECT_EQ(create("model", &all), "le_a2x_create: shared w2v load failed");
    EXPECT_EQ(Frontend::loaded(), nullptr);
  }
  const std::pair<const char*, std::string> refusals[] = {
      // The meta's ranges are the parser's own tests: one refusal shows it is asked.
      {"model_no_window", "meta lacks causal window/left (not a streaming a2x)"},
      {"model_short_pos", "pos/norm/xs_target read failed"}, {"model_short_norm", "pos/norm/xs_target read failed"},
      {"model_short_xs", "pos/norm/xs_target read failed"},
      {"nowhere", "a2x_meta.json missing in " + a2xPath("nowhere")},
      // Long enough but not whole rows: a table written for another geometry.
      {"model_ragged_pos", a2xPath("model_ragged_pos/a2x_pos.f32") +
                               " holds 2556 bytes, not whole rows of 16 float32 values (64 bytes) — refusing"},
      {"model_ragged_xs", a2xPath("model_ragged_xs/xs_target.bin") +
                              " holds 760 bytes, not whole rows of 63 float32 values (252 bytes) — refusing"}};
  for (const auto& [model, why] : refusals) EXPECT_EQ(create(model, &all), "le_a2x_create: " + why) << model;
  for (const auto& [model, width] : {std::pair{"model", 0}, {"model_claims_wn", 0}, {"model_wn", 1}}) {
    testing::internal::CaptureStderr();
    Handle h(model);
    all += testing::internal::GetCapturedStderr();
    ASSERT_NE(h.a, nullptr) << model;
    EXPECT_EQ(std::make_pair(le_a2x_width(h.a), le_a2x_nt(h.a)), std::make_pair(width, 3)) << model;
  }
  EXPECT_STREQ(le_a2x_last_error(), "");
  const std::string lines[] = {
      "[le_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, threads=1\n",
      "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH (width=0). "
      "Repackage this bundle.\n",
      "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither LE_A2X_W2V_WIN_ONNX/"
      "LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" + a2xPath("fe_legacy/w2v.onnx") +
          ") as audio_encoder_fp16_window_{trunk,head}.onnx"};
  for (const std::string& line : lines) EXPECT_EQ(countOf(all, line), 1) << all;
  // A preload keeps the session it found first.
  Frontend* first = Frontend::loaded();
  for (const std::string& p : {std::string(), a2xPath("fe_pair/w2v.onnx"), a2xPath("missing.onnx")})
    EXPECT_EQ(le_a2x_preload_w2v(p.empty() ? nullptr : p.c_str()), 1) << p;
  EXPECT_EQ(Frontend::loaded(), first);
  ScopedEnv unset("W2V_ONNX", std::nullopt);  // a preloaded frontend serves handles without it
  EXPECT_EQ(create("model"), "created");
  EXPECT_EQ(Frontend::loaded(), first);
}

// Which pair the search finds, per environment: {frontend dir, trunk, head,
// the line that must appear, short window, whether the variables name trunk
// and head (else they are unset and the pair lies beside the model)}.
class A2xPair
    : public testing::TestWithParam<std::tuple<const char*, const char*, const char*, const char*, bool, bool>> {};

TEST_P(A2xPair, SearchAndLines) {
  const auto& [fe, trunkVar, headVar, want, shortWindow, viaEnv] = GetParam();
  FRESH_FRONTEND(fe);
  const auto var = [&](const char* rel) { return rel && viaEnv ? std::optional<std::string>(a2xPath(rel)) : std::nullopt; };
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", var(trunkVar)), head("LE_A2X_W2V_HEAD_ONNX", var(headVar));
  std::string log;
  ASSERT_EQ(create("model", &log), "created");
  std::string line = want;
  for (const char* tag : {"{T}", "{H}"})
    if (const size_t at = line.find(tag); at != std::string::npos) {
      const std::string path = a2xPath(tag[1] == 'T' ? trunkVar : headVar);
      line.replace(at, 3, path + " (" + std::to_string(audio::fileSize(path)) + " B)");
    }
  EXPECT_EQ(countOf(log, line), 1) << log;
  EXPECT_EQ(countOf(log, "[le_a2x] short-window"), 1) << log;
  std::string again;
  create("model", &again);
  EXPECT_EQ(again.find("short-window"), std::string::npos);  // searched once per process
  A2x a(a2xPath("model"), 1);
  EXPECT_EQ(std::make_tuple(a.shortWindow(), a.right(), a.chunk()),
            shortWindow ? std::make_tuple(true, int64_t(20), int64_t(8)) : std::make_tuple(false, int64_t(12), int64_t(64)));
}

INSTANTIATE_TEST_SUITE_P(
    Frontends, A2xPair,
    testing::Values(
        std::make_tuple("fe_pair", "fe_pair/audio_encoder_fp16_window_trunk.onnx", "fe_pair/audio_encoder_fp16_window_head.onnx",
                        "[le_a2x] short-window w2v frontend loaded (LT=399) trunk={T} head={H}\n", true, true),
        std::make_tuple("fe_pair32", "fe_pair32/w2v_trunk32.onnx", "fe_pair32/w2v_head32.onnx",
                        "[le_a2x] short-window w2v frontend loaded (LT=399) trunk={T} head={H}\n", true, false),
        std::make_tuple("fe_dyn", "fe_dyn/trunk.onnx", "fe_dyn/head.onnx",
                        "[le_a2x] short-window w2v frontend loaded (LT=from-first-run) trunk={T} head={H}\n", true, true),
        std::make_tuple("fe_legacy", "fe_pair/audio_encoder_fp16_window_trunk.onnx", nullptr,
                        "Serving the LEGACY 8s window — same reference quality", false, true),  // only together
        std::make_tuple("fe_legacy", "model/a2x_meta.json", "model/a2x_meta.json",
                        ") — legacy 8s path\n", false, true)));  // a broken pair

TEST(A2xStreaming, ReadinessHoldBackChunksAndPushSizeInvariance) {
  FRESH_FRONTEND("fe_legacy");
  const std::vector<float> s = speechLong();
  {
    Handle h("model");
    // {samples pushed so far, avail}: 32 covered frames minus the hold-back of
    // 12 (the look-ahead is 2); then one legacy chunk of 64 per call.
    size_t at = 0;
    for (const auto& [upTo, avail] : {std::pair{4480, 0}, {5120 * 4, 20}, {5120 * 20, 84}, {5120 * 20, 148}}) {
      ASSERT_EQ(le_a2x_push(h.a, s.data() + at, int(size_t(upTo) - at)), 1);
      at = size_t(upTo);
      EXPECT_EQ(le_a2x_avail(h.a), avail) << upTo;
    }
    EXPECT_EQ(le_a2x_push(h.a, s.data(), 0) + le_a2x_push(h.a, s.data(), -5), 2);
    EXPECT_EQ(std::make_pair(le_a2x_avail(h.a), le_a2x_total(h.a)), std::make_pair(148, -1));
  }
  {
    ScopedEnv right("LE_A2X_W2V_RIGHT", "-3");  // reads as 0: the look-ahead of 2 remains
    Handle h("model");
    le_a2x_push(h.a, s.data(), 5120 * 4);
    EXPECT_EQ(le_a2x_avail(h.a), 30);
  }
  // The same avail calls at the same block edges give identical rows however
  // the audio between them was split (past frame 200: the second window).
  const auto run = [&](const std::vector<int>& cuts) {
    Handle h("model");
    Pulled p;
    for (size_t at = 0, block = 1, k = 0; at < s.size(); ++block) {
      for (const size_t end = std::min(s.size(), block * 5120 * 3); at < end;) {
        const int n = int(std::min<size_t>(end - at, size_t(cuts[k++ % cuts.size()])));
        le_a2x_push(h.a, s.data() + at, n);
        at += size_t(n);
      }
      le_a2x_avail(h.a);
      while (pullInto(h.a, p, 5) > 0) {
      }
    }
    le_a2x_finish(h.a);
    while (pullInto(h.a, p, 64) > 0) {
    }
    EXPECT_EQ(int(p.frames()), le_a2x_total(h.a));
    return p;
  };
  const Pulled one = run({1 << 30}), odd = run({1, 639, 641, 5119, 17, 3000});
  ASSERT_EQ(one.frames(), (s.size() + 639) / 640);
  EXPECT_EQ(std::tie(one.idx, one.drv, one.src), std::tie(odd.idx, odd.drv, odd.src));
}

TEST(A2xStreaming, FinishTotalAndIndexWalks) {
  FRESH_FRONTEND("fe_legacy");
  Handle h("model");
  const std::vector<float> s(640 * 9 + 1, 0.0f);
  using V = std::vector<int>;
  // {start, direction, loop, indices}: -1 continues where the last pull stopped.
  const std::tuple<int, int, int, V> walks[] = {
      {0, 1, 0, {0, 1, 2, 1, 0, 1, 2, 1, 0, 1}}, {0, 1, 1, {0, 1, 2, 0, 1, 2, 0, 1, 2, 0}},
      {0, -1, 0, {0, 1, 2, 1, 0, 1, 2, 1, 0, 1}}, {0, -1, 1, {0, 2, 1, 0, 2, 1, 0, 2, 1, 0}},
      {-1, -1, 1, {2, 1, 0, 2, 1, 0, 2, 1, 0, 2}}, {-1, 1, 0, {1, 2, 1, 0, 1, 2, 1, 0, 1, 2}}};
  for (const auto& [start, dir, loop, want] : walks) {
    EXPECT_EQ(le_a2x_reset(h.a, start, dir, loop), 1);
    EXPECT_EQ(streamWhole(h.a, s, 3).idx, want) << start << " " << dir << " " << loop;
    EXPECT_EQ(le_a2x_total(h.a), 10);
  }
  // Half pulled: the continuation starts at the frame not handed out.
  le_a2x_reset(h.a, 1, 1, 1);
  le_a2x_push(h.a, s.data(), int(s.size()));
  le_a2x_finish(h.a);
  Pulled p;
  ASSERT_EQ(pullInto(h.a, p, 4), 4);
  EXPECT_EQ(p.idx, (V{1, 2, 0, 1}));
  le_a2x_reset(h.a, -1, 1, 1);
  EXPECT_EQ(streamWhole(h.a, s, 3).idx.front(), 2);
  // Pull with n = 0 changes nothing; a push after finish is refused.
  EXPECT_EQ(le_a2x_pull(h.a, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(le_a2x_push(h.a, s.data(), 10), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: already finished");
  EXPECT_EQ(std::make_pair(le_a2x_avail(h.a), le_a2x_set_eager(h.a, 3)), std::make_pair(0, 1));
}

// Whole-clip deltas and streamed rows, pulled in blocks of 64 and of 5,
// against a numpy transcription of the encoder and decoder fed with the
// engine's feature rows, which in turn are the legacy frontend's numpy rows
// rounded to binary16. The streamed 5-frame blocks see every frame's band at
// its absolute positions, so they differ from the 64-frame ones only in the
// summation order inside onnxruntime: float32 round-off, amplified at most
// tenfold by the recurrence, against the 1e-4 tolerance.
TEST(A2xWholeClip, RowsMatchTheNumpyTranscription) {
  FRESH_FRONTEND("fe_legacy");
  const std::vector<float> s = speechLong();
  const int F = int((s.size() + 639) / 640);
  ASSERT_GT(F, 200);  // two legacy windows
  TempDir d;
  std::vector<float> feat;
  for (const char* model : {"model_wn", "model_norm2"}) {
    A2x a(a2xPath(model), 1);
    a.push(s.data(), int64_t(s.size()));
    a.finish();
    std::vector<int> idx(static_cast<size_t>(F));
    std::vector<float> src(size_t(F) * 63), drv(src.size()), wn(static_cast<size_t>(F));
    ASSERT_EQ(a.pull(idx.data(), src.data(), drv.data(), wn.data(), F), F);
    ASSERT_EQ(a.features().rows.base(), 0);  // a clip this short keeps every row
    feat.clear();
    for (int64_t f = 0; f < F; ++f) feat.insert(feat.end(), a.features().row(f), a.features().row(f) + audio::kFeatRow);
    writeF32(d / "feat.f32", feat);
    ASSERT_EQ(runFixture({"a2x-ref", "deltas", "--in", d / "feat.f32", "--model", a2xPath(model), "--out", d / "ref.f32"}), 0);
    const std::vector<float> ref = readF32(d / "ref.f32");
    ASSERT_EQ(ref.size(), src.size());
    Handle h(model);
    std::vector<float> whole(src.size()), width(static_cast<size_t>(F));
    ASSERT_EQ(le_a2x_width(h.a) ? le_a2x_deltas_wn(h.a, s.data(), int(s.size()), whole.data(), width.data(), F)
                                : le_a2x_deltas(h.a, s.data(), int(s.size()), whole.data(), F), F);
    const Pulled five = streamWhole(h.a, s, 5);
    ASSERT_EQ(int(five.frames()), F);
    for (size_t k = 0; k < ref.size(); ++k) {
      ASSERT_NEAR(drv[k] - src[k], ref[k], 1e-4) << model << " frame " << k / 63 << " value " << k % 63;
      ASSERT_EQ(drv[k], src[k] + whole[k]) << "64-frame blocks are the whole-clip schedule, bit for bit";
      ASSERT_NEAR(five.drv[k] - five.src[k], ref[k], 1e-4) << model << " frame " << k / 63;
    }
    for (int k = 0; k < F; ++k) {
      ASSERT_EQ(wn[size_t(k)], width[size_t(k)]) << k;
      ASSERT_NEAR(five.wn[size_t(k)], width[size_t(k)], 1e-6) << k;  // a sigmoid of the context: the same round-off
    }
  }
  // The features: window by window, the numpy frontend rounded to binary16
  // (one binary16 step apart where float32 and float64 round differently).
  for (int64_t k = 0; 100 * k < F; ++k) {
    std::vector<float> w(128000, 0.0f);
    std::copy(s.begin() + std::min<ptrdiff_t>(64000 * k, ptrdiff_t(s.size())),
              s.begin() + std::min<ptrdiff_t>(64000 * k + 128000, ptrdiff_t(s.size())), w.begin());
    writeF32(d / "win.f32", w);
    ASSERT_EQ(runFixture({"a2x-ref", "legacy", "--in", d / "win.f32", "--out", d / "rows.f32"}), 0);
    const std::vector<float> rows = readF32(d / "rows.f32");
    for (int64_t j = k ? 100 : 0; j < 200 && 100 * k + j < F; ++j)  // a frame comes from the first window holding it
      for (int64_t c = 0; c < audio::kFeatRow; c += 97) {
        const float got = feat[size_t((100 * k + j) * audio::kFeatRow + c)], want = rows[size_t(j * audio::kFeatRow + c)];
        ASSERT_LE(std::fabs(got - want), std::ldexp(std::fabs(want), -10) + 1e-6f) << "frame " << 100 * k + j << " value " << c;
      }
  }
  Handle h("model");
  std::vector<float> small(63 * 3, 7.0f), wn(3);
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), 640 * 3 + 1, small.data(), 3), -2);  // too many frames: nothing written
  EXPECT_EQ(small, std::vector<float>(small.size(), 7.0f));
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), 0, small.data(), 0), 0);
  EXPECT_EQ(le_a2x_deltas_wn(h.a, s.data(), 640 * 3, small.data(), wn.data(), 3), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  EXPECT_EQ(streamWhole(h.a, std::vector<float>(640 * 4, 0.0f)).wn, std::vector<float>(4, 0.0f));
}

TEST(A2xPriming, SilencePrimedStateStartsEveryUtterance) {
  FRESH_FRONTEND("fe_legacy");
  std::string log;
  ASSERT_EQ(create("model_prime", &log), "created");
  EXPECT_EQ(countOf(log, "[le_a2x] silence-primed AR state cached (24 frames)\n"), 1) << log;
  Handle primed("model_prime"), plain("model");
  const std::vector<float> s(640 * 2, 0.0f);
  std::vector<float> dp(126), dz(126), du(126);
  ASSERT_EQ(le_a2x_deltas(primed.a, s.data(), 1280, dp.data(), 2), 2);
  ASSERT_EQ(le_a2x_deltas(plain.a, s.data(), 1280, dz.data(), 2), 2);
  EXPECT_NE(dp, dz);  // from a zero state silence moves the lips
  const Pulled a = streamWhole(primed.a, s);
  le_a2x_reset(primed.a, 0, 1, 1);
  const Pulled b = streamWhole(primed.a, s);
  EXPECT_EQ(a.drv, b.drv);
  for (size_t k = 0; k < 126; ++k) EXPECT_EQ(a.drv[k], a.src[k] + dp[k]);
  ScopedEnv off("LE_A2X_SILENCE_PRIME", "0");
  log.clear();
  ASSERT_EQ(create("model_prime", &log), "created");
  EXPECT_EQ(log.find("silence-primed"), std::string::npos);
  Handle unprimed("model_prime");
  ASSERT_EQ(le_a2x_deltas(unprimed.a, s.data(), 1280, du.data(), 2), 2);
  EXPECT_EQ(du, dz);
}

TEST(A2xExtend, FailureLeavesTheRecurrenceWhereItWas) {
  FRESH_FRONTEND("fe_legacy");
  Handle h("model_bad_m");
  std::vector<float> s(640 * 10, 0.0f), d(63 * 10);
  le_a2x_push(h.a, s.data(), int(s.size()));
  le_a2x_finish(h.a);
  const std::string why = "a2x_dec: output m has 60 values, expected 63";
  EXPECT_EQ(le_a2x_avail(h.a), 0);
  EXPECT_EQ(le_a2x_last_error(), "le_a2x extend: " + why);
  Pulled p;
  EXPECT_EQ(pullInto(h.a, p, 4), 0);
  EXPECT_EQ(le_a2x_last_error(), "le_a2x extend: " + why);
  EXPECT_EQ(le_a2x_deltas(h.a, s.data(), int(s.size()), d.data(), 10), -1);
  EXPECT_EQ(le_a2x_last_error(), "le_a2x_deltas: " + why);
}

// Both frontend paths on one clip: rows of binary16 values whose loudness
// channel agrees; the frontiers stay ordered after every call, with pushes
// that straddle block edges and pulls of odd sizes; the short window holds
// back its right edge before finish.
TEST(A2xPaths, LegacyAndShortWindowFrontiersAndGeometry) {
  FRESH_FRONTEND("fe_pair");
  const std::vector<float> s = speechLong();
  const int64_t F = int64_t((s.size() + 639) / 640);
  A2x legacy(a2xPath("model"), 1, false), shortw(a2xPath("model"), 1, true);
  ASSERT_TRUE(!legacy.shortWindow() && shortw.shortWindow());
  shortw.push(s.data(), 5120 * 5);
  EXPECT_EQ(shortw.readiness().ready, 40 - 20);
  EXPECT_EQ(shortw.avail(), 8);
  EXPECT_EQ(shortw.featDone(), 16);  // 8 frames and the look-ahead: two trunk windows
  for (A2x* a : {&legacy, &shortw}) {
    std::vector<int> idx(7);
    std::vector<float> src(7 * 63), drv(src.size());
    const auto ordered = [&] { return a->featDone() >= a->encDone() && a->encDone() >= a->decDone() && a->decDone() >= a->pulled(); };
    for (size_t at = a == &legacy ? 0 : 5120 * 5, step = 0; at < s.size(); ++step) {
      const size_t n = std::min(s.size() - at, size_t{3001} + 977 * (step % 5));
      a->push(s.data() + at, int64_t(n));
      at += n;
      a->avail();
      ASSERT_TRUE(ordered()) << a->shortWindow() << " at " << at;
      a->pull(idx.data(), src.data(), drv.data(), nullptr, 7);
      ASSERT_TRUE(ordered() && a->decDone() <= a->readiness().ready) << a->shortWindow() << " at " << at;
    }
    a->finish();
    while (a->pull(idx.data(), src.data(), drv.data(), nullptr, 7) > 0) ASSERT_TRUE(ordered());
    ASSERT_EQ(a->pulled(), F);
    ASSERT_EQ(a->features().rows.base(), 0);  // a clip this short keeps every row
    for (int64_t f = 0; f < F; ++f)
      for (int64_t i = 0; i < audio::kFeatRow; ++i) ASSERT_EQ(audio::roundToHalf(a->features().row(f)[i]), a->features().row(f)[i]) << f << " " << i;
  }
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, n = double(F);  // the loudness channels' correlation
  for (int64_t f = 0; f < F; ++f) {
    const double a = legacy.features().row(f)[0], b = shortw.features().row(f)[0];
    sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
  }
  EXPECT_GT((n * sab - sa * sb) / std::sqrt((n * saa - sa * sa) * (n * sbb - sb * sb)), 0.7);
}

TEST(A2xPaths, NumpyReferencesOfNormalisationAndResampling) {
  FRESH_FRONTEND("fe_pair");
  TempDir d;
  std::vector<float> w = speech();
  w.resize(audio::kTrunkSamples);
  for (float& v : w) v = v * 3.0f + 0.01f;  // a DC offset to remove
  writeF32(d / "win.f32", w);
  audio::normaliseWindow(w.data(), w.size());
  ASSERT_EQ(runFixture({"a2x-ref", "normalise", "--in", d / "win.f32", "--out", d / "norm.f32"}), 0);
  const std::vector<float> ref = readF32(d / "norm.f32");
  ASSERT_EQ(ref.size(), w.size());
  for (size_t i = 0; i < w.size(); ++i) ASSERT_NEAR(w[i], ref[i], 1e-6f * (1.0f + std::fabs(ref[i]))) << i;
  Frontend& fe = Frontend::shared(a2xPath("fe_pair/w2v.onnx"), 1);
  ASSERT_TRUE(fe.shortWindow(1, a2xPath("fe_pair/w2v.onnx")));
  int64_t lt = 0;
  const std::vector<uint16_t> trunk = fe.runTrunk(w.data(), lt);
  ASSERT_EQ(lt, 399);
  writeFile(d / "trunk.f16", std::string(reinterpret_cast<const char*>(trunk.data()), trunk.size() * 2));
  for (const auto& [frame, end] : {std::pair<int64_t, int64_t>{0, 20 * 640}, {208, 228 * 640}, {296, 316 * 640}}) {
    std::vector<float> rows(8 * 640);
    audio::resampleTrunk(trunk.data(), lt, frame, end, rows.data());
    ASSERT_EQ(runFixture({"a2x-ref", "resample", "--in", d / "trunk.f16", "--out", d / "rows.f32", "--lt", "399", "--frame",
                          std::to_string(frame), "--end", std::to_string(end)}), 0);
    EXPECT_EQ(rows, readF32(d / "rows.f32")) << "frame " << frame;
  }
  std::vector<float> rows(8 * 640);  // frames before the trunk's first position
  EXPECT_THROW(audio::resampleTrunk(trunk.data(), lt, 0, 80 * 640, rows.data()), std::runtime_error);
}

// Two handles on two threads share the frontend sessions (and the trunk
// length fixed by whichever runs first) and give the rows of one handle alone.
TEST(A2xThreads, TwoHandlesMatchOneAlone) {
  FRESH_FRONTEND("fe_dyn");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("fe_dyn/trunk.onnx")), head("LE_A2X_W2V_HEAD_ONNX", a2xPath("fe_dyn/head.onnx"));
  const std::vector<float> s = speech();
  const auto run = [&](Pulled& out) {
    Handle h("model");
    if (h.a) out = streamWhole(h.a, s, 8);
  };
  Pulled p1, p2, alone;
  std::thread t1([&] { run(p1); }), t2([&] { run(p2); });
  t1.join();
  t2.join();
  run(alone);
  EXPECT_EQ(Frontend::loaded()->trunkPositions(), 399);
  ASSERT_EQ(alone.frames(), (s.size() + 639) / 640);
  EXPECT_EQ(std::tie(p1.drv, p1.idx, p2.drv), std::tie(alone.drv, alone.idx, alone.drv));
}

// Samples that are not finite are refused at every entry point that takes
// them, naming the first one, and change nothing; a negative pull count is a
// bad argument.
TEST(A2xCarelessCaller, NonFiniteSamplesAndNegativeCountsAreRefused) {
  FRESH_FRONTEND("fe_legacy");
  Handle h("model_wn");
  ASSERT_NE(h.a, nullptr);
  // One row per entry point that takes samples (the check is shared).
  const float inf = std::numeric_limits<float>::infinity();
  const std::tuple<std::string, size_t, float, std::string> cases[] = {
      {"le_a2x_push", 1279, inf, "sample 1279 is inf, not a finite value"},
      {"le_a2x_deltas", 0, -inf, "sample 0 is -inf, not a finite value"},
      {"le_a2x_deltas_wn", 3, std::numeric_limits<float>::quiet_NaN(), "sample 3 is nan, not a finite value"}};
  std::vector<float> out(63 * 2), wn(2);
  for (const auto& [call, at, value, text] : cases) {
    std::vector<float> s(1280, 0.25f);
    s[at] = value;
    const int r = call == "le_a2x_push"      ? le_a2x_push(h.a, s.data(), int(s.size()))
                  : call == "le_a2x_deltas" ? le_a2x_deltas(h.a, s.data(), int(s.size()), out.data(), 2)
                                            : le_a2x_deltas_wn(h.a, s.data(), int(s.size()), out.data(), wn.data(), 2);
    EXPECT_EQ(r, call == "le_a2x_push" ? 0 : -1) << call;
    EXPECT_EQ(std::string(le_a2x_last_error()), call + ": " + text);
  }
  EXPECT_EQ(le_a2x_finish(h.a), 1);
  EXPECT_EQ(le_a2x_total(h.a), 0);  // the refused push appended nothing
  // A clip longer than max_frames is refused by size before its samples are read.
  std::vector<float> one(1, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(le_a2x_deltas(h.a, one.data(), 641 * 1000, out.data(), 2), -2);
  // A negative pull count is refused (a count of 0 is the index-walk test's).
  std::vector<int> idx(4);
  std::vector<float> rows(63 * 4);
  for (int n : {-1, -3, std::numeric_limits<int>::min()}) {
    EXPECT_EQ(le_a2x_pull(h.a, idx.data(), rows.data(), rows.data(), n), -1);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull: bad args");
    EXPECT_EQ(le_a2x_pull_wn(h.a, idx.data(), rows.data(), rows.data(), wn.data(), n), -1);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull_wn: bad args");
  }
}

// A member that is a FIFO (a table, a model) is refused at once, naming it,
// never waited on: a blocking open would hang until the alarm ends the test.
TEST(A2xCreate, FifosInPlaceOfMembersAreRefusedAtOnce) {
  FRESH_FRONTEND("fe_legacy");
  ::alarm(30);
  for (const char* member : {"a2x_pos.f32", "a2x_enc_stream.onnx"}) {
    TempDir t;
    for (const std::string& name : listDir(a2xPath("model"))) writeFile(t / name, readFile(a2xPath("model/" + name)));
    const std::string path = t / member;
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    EXPECT_EQ(le_a2x_create(t.path().c_str(), 1), nullptr);
    EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_create: cannot open " + path);
  }
  ::alarm(0);
}

// Both frontends (the legacy window and the short-window pair) hold only
// what later frames read; features for the encoder's reach and two
// compaction spans stay far below the 1000 frames of the clip.
TEST(A2xMemory, ALongUtteranceHoldsOnlyWhatLaterFramesRead) {
  FRESH_FRONTEND("fe_pair");
  for (const bool shortWindow : {false, true}) {
    SCOPED_TRACE(shortWindow ? "short window" : "legacy window");
    A2x bounded(a2xPath("model"), 1, shortWindow), reference(a2xPath("model"), 1, shortWindow);
    ASSERT_EQ(bounded.shortWindow(), shortWindow);
    longUtteranceHoldsOnlyWhatLaterFramesRead(
        bounded, reference, speechLong(), 5120, 5,
        [](A2x& a, int* idx, float* src, float* drv, int n) { return a.pull(idx, src, drv, nullptr, n); },
        [](const A2x& a) { return a.features().rows.base(); });
    EXPECT_LT(bounded.features().rows.end() - bounded.features().rows.base(), 3 * audio::FrameRows::kMinDrop);
  }
}

}  // namespace
}  // namespace le::test
