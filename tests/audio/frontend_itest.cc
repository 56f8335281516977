// The shared frontend on the fixture models: the pair search and its
// messages, LT from the model or the first run, both paths on the same speech,
// numpy references of the window normalisation and the trunk resampling, and
// two handles on two threads sharing the sessions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "audio/a2x_fixture.h"
#include "le/audio/a2x.h"
#include "le/audio/frontend.h"
#include "le/runtime/half.h"

namespace le::test {
namespace {

using audio::A2x;
using audio::Frontend;

#define REQUIRE_FRESH_FRONTEND()                                                            \
  do {                                                                                      \
    ASSERT_FALSE(a2xTree().empty());                                                        \
    if (Frontend::loaded() != nullptr) GTEST_SKIP() << "frontend fixed by an earlier test"; \
  } while (0)

std::string createLog(const std::string& model = "model") {
  testing::internal::CaptureStderr();
  le_a2x* a = le_a2x_create(a2xPath(model).c_str(), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(a, nullptr) << le_a2x_last_error();
  le_a2x_destroy(a);
  return err;
}

std::string loadedLine(const std::string& lt, const std::string& trunk, const std::string& head) {
  return "[le_a2x] short-window w2v frontend loaded (LT=" + lt + ") trunk=" + trunk + " (" +
         std::to_string(audio::fileSize(trunk)) + " B) head=" + head + " (" + std::to_string(audio::fileSize(head)) +
         " B)\n";
}

TEST(A2xPair, BesideTheModelUnderItsCurrentNames) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair");
  const std::string err = createLog();
  EXPECT_EQ(countOf(err, loadedLine("399", a2xPath("fe_pair/audio_encoder_fp16_window_trunk.onnx"),
                                    a2xPath("fe_pair/audio_encoder_fp16_window_head.onnx"))),
            1)
      << err;
  EXPECT_EQ(createLog().find("short-window"), std::string::npos);  // searched once per process
  A2x a(a2xPath("model"), 1);
  EXPECT_TRUE(a.shortWindow());
  EXPECT_EQ(a.right(), 12 + 8);
  EXPECT_EQ(a.chunk(), 8);
}

TEST(A2xPair, OlderNamesBesideTheModel) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair32");
  EXPECT_EQ(countOf(createLog(), loadedLine("399", a2xPath("fe_pair32/w2v_trunk32.onnx"),
                                            a2xPath("fe_pair32/w2v_head32.onnx"))),
            1);
}

TEST(A2xPair, VariablesNameThePairOnlyTogether) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("fe_pair/audio_encoder_fp16_window_trunk.onnx"));
  const std::string err = createLog();
  EXPECT_NE(err.find("[le_a2x] short-window audio frontend NOT DEPLOYED on this plane"), std::string::npos) << err;
  EXPECT_NE(err.find("Serving the LEGACY 8s window — same reference quality"), std::string::npos) << err;
}

TEST(A2xPair, BothVariablesWin) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("fe_pair32/w2v_trunk32.onnx"));
  ScopedEnv head("LE_A2X_W2V_HEAD_ONNX", a2xPath("fe_pair32/w2v_head32.onnx"));
  EXPECT_EQ(countOf(createLog(), loadedLine("399", a2xPath("fe_pair32/w2v_trunk32.onnx"),
                                            a2xPath("fe_pair32/w2v_head32.onnx"))),
            1);
}

TEST(A2xPair, BrokenPairFallsBackToTheLegacyWindow) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_legacy");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("model/a2x_meta.json"));
  ScopedEnv head("LE_A2X_W2V_HEAD_ONNX", a2xPath("model/a2x_meta.json"));
  const std::string err = createLog();
  EXPECT_EQ(err.find("[le_a2x] short-window w2v load FAILED ("), err.find("[le_a2x] short-window")) << err;
  EXPECT_NE(err.find(") — legacy 8s path\n"), std::string::npos) << err;
  A2x a(a2xPath("model"), 1);
  EXPECT_FALSE(a.shortWindow());
  EXPECT_EQ(a.right(), 12);
}

TEST(A2xPair, OpenTrunkLengthComesFromTheFirstRun) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_dyn");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("fe_dyn/trunk.onnx"));
  ScopedEnv head("LE_A2X_W2V_HEAD_ONNX", a2xPath("fe_dyn/head.onnx"));
  EXPECT_EQ(countOf(createLog(), loadedLine("from-first-run", a2xPath("fe_dyn/trunk.onnx"), a2xPath("fe_dyn/head.onnx"))),
            1);
  EXPECT_EQ(Frontend::loaded()->trunkPositions(), -1);
  A2x a(a2xPath("model"), 1);
  const std::vector<float> s = speech();
  a.push(s.data(), static_cast<int64_t>(s.size()));
  a.finish();
  while (a.avail() > 0) {
    std::vector<int> idx(64);
    std::vector<float> src(64 * 63), drv(src.size());
    a.pull(idx.data(), src.data(), drv.data(), nullptr, 64);
  }
  EXPECT_EQ(a.pulled(), a.total());
  EXPECT_EQ(Frontend::loaded()->trunkPositions(), 399);
}

// Both paths on one speech clip: rows of 12 x 768 binary16 values per frame,
// and the loudness channel agrees between them.
TEST(A2xPaths, LegacyAndShortWindowGiveTheSameGeometry) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair");
  A2x legacy(a2xPath("model"), 1, false), shortw(a2xPath("model"), 1, true);
  ASSERT_FALSE(legacy.shortWindow());
  ASSERT_TRUE(shortw.shortWindow());
  const std::vector<float> s = speech();
  const int64_t F = static_cast<int64_t>((s.size() + 639) / 640);
  // Before finish the short-window path holds back its window's right edge too.
  shortw.push(s.data(), 5120 * 5);
  EXPECT_EQ(shortw.readiness().ready, 40 - 20);
  EXPECT_EQ(shortw.avail(), 8);
  // Features for 8 frames plus the look-ahead of 2: two trunk windows.
  EXPECT_EQ(shortw.featDone(), 16);
  for (A2x* a : {&legacy, &shortw}) {
    if (a == &legacy) a->push(s.data(), static_cast<int64_t>(s.size()));
    else a->push(s.data() + 5120 * 5, static_cast<int64_t>(s.size()) - 5120 * 5);
    a->finish();
    while (a->avail() > 0) {
      std::vector<int> idx(64);
      std::vector<float> src(64 * 63), drv(src.size());
      a->pull(idx.data(), src.data(), drv.data(), nullptr, 64);
    }
    ASSERT_EQ(a->pulled(), F);
    ASSERT_GE(a->featDone(), F);
    // A clip this short keeps every row.
    const audio::FeatureRows& rows = a->features();
    ASSERT_EQ(rows.rows.base(), 0);
    ASSERT_GE(rows.rows.end(), F);
    for (int64_t f = 0; f < F; ++f)
      for (int64_t i = 0; i < audio::kFeatRow; ++i)
        ASSERT_EQ(audio::roundToHalf(rows.row(f)[i]), rows.row(f)[i]) << f << " " << i;
  }
  // Loudness (channel 0 of layer 0) per frame: close paths, same shape.
  double cov = 0, va = 0, vb = 0, ma = 0, mb = 0;
  for (int64_t f = 0; f < F; ++f) {
    ma += legacy.features().row(f)[0];
    mb += shortw.features().row(f)[0];
  }
  ma /= F;
  mb /= F;
  for (int64_t f = 0; f < F; ++f) {
    const double a = legacy.features().row(f)[0] - ma;
    const double b = shortw.features().row(f)[0] - mb;
    cov += a * b;
    va += a * a;
    vb += b * b;
  }
  EXPECT_GT(cov / std::sqrt(va * vb), 0.7);
}

// Features >= encoded >= decoded >= pulled after every call, on both paths,
// with pushes that straddle block edges and pulls of odd sizes.
TEST(A2xPaths, FrontiersStayOrdered) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair");
  const std::vector<float> s = speechLong();
  for (bool shortWindow : {false, true}) {
    A2x a(a2xPath("model"), 1, shortWindow);
    std::vector<int> idx(7);
    std::vector<float> src(7 * 63), drv(src.size());
    auto ordered = [&] {
      return a.featDone() >= a.encDone() && a.encDone() >= a.decDone() && a.decDone() >= a.pulled();
    };
    size_t at = 0;
    for (size_t step = 0; at < s.size(); ++step) {
      const size_t n = std::min(s.size() - at, size_t{3001} + 977 * (step % 5));
      a.push(s.data() + at, static_cast<int64_t>(n));
      at += n;
      a.avail();
      ASSERT_TRUE(ordered()) << shortWindow << " at " << at;
      a.pull(idx.data(), src.data(), drv.data(), nullptr, 7);
      ASSERT_TRUE(ordered()) << shortWindow << " at " << at;
      ASSERT_LE(a.decDone(), a.readiness().ready);
    }
    a.finish();
    while (a.pull(idx.data(), src.data(), drv.data(), nullptr, 7) > 0) ASSERT_TRUE(ordered());
    EXPECT_EQ(a.pulled(), a.total()) << shortWindow;
  }
}

TEST(A2xPaths, NumpyReferencesOfNormalisationAndResampling) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_pair");
  TempDir d;
  std::vector<float> w = speech();
  w.resize(audio::kTrunkSamples);
  for (size_t i = 0; i < w.size(); ++i) w[i] = w[i] * 3.0f + 0.01f;  // a DC offset to remove
  writeFile(d / "win.f32", std::string(reinterpret_cast<const char*>(w.data()), w.size() * 4));
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
  for (const auto& [frame, end] : {std::pair<int64_t, int64_t>{0, 20 * 640}, {208, (208 + 20) * 640},
                                   {296, (296 + 20) * 640}}) {
    std::vector<float> rows(8 * 640);
    audio::resampleTrunk(trunk.data(), lt, frame, end, rows.data());
    ASSERT_EQ(runFixture({"a2x-ref", "resample", "--in", d / "trunk.f16", "--out", d / "rows.f32", "--lt", "399",
                          "--frame", std::to_string(frame), "--end", std::to_string(end)}),
              0);
    const std::vector<float> want = readF32(d / "rows.f32");
    ASSERT_EQ(want.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i], want[i]) << "frame " << frame << " value " << i;
  }
  // A window whose frames fall before the trunk's first position.
  std::vector<float> rows(8 * 640);
  EXPECT_THROW(audio::resampleTrunk(trunk.data(), lt, 0, 80 * 640, rows.data()), std::runtime_error);
}

// Two handles on two threads share the frontend sessions (and the trunk
// length fixed by whichever runs first) and give the rows of one handle alone.
TEST(A2xThreads, TwoHandlesMatchOneAlone) {
  REQUIRE_FRESH_FRONTEND();
  A2xEnv env("fe_dyn");
  ScopedEnv trunk("LE_A2X_W2V_WIN_ONNX", a2xPath("fe_dyn/trunk.onnx"));
  ScopedEnv head("LE_A2X_W2V_HEAD_ONNX", a2xPath("fe_dyn/head.onnx"));
  const std::vector<float> s = speech();
  auto run = [&](Pulled& out, std::string& err) {
    le_a2x* a = le_a2x_create(a2xPath("model").c_str(), 1);
    if (a == nullptr) {
      err = le_a2x_last_error();
      return;
    }
    out = streamWhole(a, s, 8);
    le_a2x_destroy(a);
  };
  Pulled p1, p2;
  std::string e1, e2;
  std::thread t1([&] { run(p1, e1); });
  std::thread t2([&] { run(p2, e2); });
  t1.join();
  t2.join();
  EXPECT_EQ(e1, "");
  EXPECT_EQ(e2, "");
  Pulled alone;
  std::string e0;
  run(alone, e0);
  ASSERT_EQ(alone.frames(), (s.size() + 639) / 640);
  EXPECT_EQ(p1.drv, alone.drv);
  EXPECT_EQ(p2.drv, alone.drv);
  EXPECT_EQ(p1.idx, alone.idx);
}

}  // namespace
}  // namespace le::test
