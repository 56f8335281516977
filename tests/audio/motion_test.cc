// Motion generator pieces without models: meta.json and the count rule, the
// real transform against a double DFT, angles and rotations, frame emission on
// a hand-made record, the chunk schedule and the driver-index walk.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"
#include "le/audio/ort_graph.h"
#include "le/audio/pose.h"
#include "le/runtime/ort_env.h"
#include "testkit/testkit.h"

namespace le::motion {
namespace {

using le::test::errorOf;

TEST(MotionMeta, ReadsEveryKeyWithBlanksAroundTheColon) {
  const MotionMeta m = parseMotionMeta(
      "{\"nt\" : 12, \"n_src\":12,\n\"n_emo\": 3, \"s_bridge\": 0.5, \"delta_pitch\": -2.5e0}");
  EXPECT_EQ(m.nt, 12);
  EXPECT_EQ(m.nSrc, 12);
  EXPECT_EQ(m.nEmo, 3);
  EXPECT_FLOAT_EQ(m.sBridge, 0.5f);
  EXPECT_FLOAT_EQ(m.deltaPitch, -2.5f);
  EXPECT_FLOAT_EQ(parseMotionMeta("{\"nt\":1,\"n_src\":1,\"n_emo\":1,\"s_bridge\":1}").deltaPitch,
                  0.0f);
}

TEST(MotionMeta, RefusesMissingMalformedAndOutOfRangeNumbers) {
  const std::string base = "\"n_src\":4,\"n_emo\":2,\"s_bridge\":1";
  EXPECT_EQ(errorOf([&] { parseMotionMeta(base); }), "meta.json: missing nt");
  EXPECT_EQ(errorOf([] { parseMotionMeta("\"nt\":4,\"n_src\":4,\"n_emo\":2"); }),
            "meta.json: missing s_bridge");
  EXPECT_EQ(errorOf([&] { parseMotionMeta("\"nt\" 4," + base); }), "meta.json: bad nt");
  for (const char* v : {"0", "-3", "2.5", "1e7", "1000001", "nan", "inf", "\"4\"", "", "1e999"})
    EXPECT_EQ(errorOf([&] { parseMotionMeta(std::string("\"nt\":") + v + "," + base); }),
              "meta.json: bad nt")
        << v;
  EXPECT_EQ(parseMotionMeta("\"nt\":1e6," + base).nt, 1000000);
  EXPECT_EQ(errorOf([] { parseMotionMeta("\"nt\":4,\"n_src\":4,\"n_emo\":0,\"s_bridge\":1"); }),
            "meta.json: bad n_emo");
  EXPECT_EQ(
      errorOf([] { parseMotionMeta("\"nt\":4,\"n_src\":4,\"n_emo\":1,\"s_bridge\":1e40"); }),
      "meta.json: bad s_bridge");
  EXPECT_EQ(errorOf([] {
              parseMotionMeta("\"nt\":4,\"n_src\":4,\"n_emo\":1,\"s_bridge\":1,\"delta_pitch\":x");
            }),
            "meta.json: bad delta_pitch");
}

TEST(MotionFiles, ExactCountRuleNamesPathFoundAndExpected) {
  test::TempDir d;
  const std::string p = d / "t.bin";
  test::writeFile(p, std::string(4 * 5, '\0'));
  EXPECT_EQ(readExactFloats(p, 5).size(), 5u);
  EXPECT_EQ(errorOf([&] { readExactFloats(p, 6); }), p + ": 5 floats, expected 6");
  test::writeFile(p, std::string(4 * 5 + 3, '\0'));
  EXPECT_EQ(errorOf([&] { readExactFloats(p, 5); }), p + ": 5 floats, expected 5");
  EXPECT_EQ(errorOf([&] { readExactFloats(d / "none.bin", 1); }), "cannot open " + d / "none.bin");
  // A count whose byte size overflows is refused before anything is read.
  EXPECT_NE(errorOf([&] { readExactFloats(p, int64_t{1} << 62); }), "(no error)");
}

TEST(MotionMel, RealTransformAgreesWithDoubleDft) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> x(kFftLen);
  for (float& v : x) v = u(rng);
  std::vector<float> mag(kFftBins);
  magnitude512(x.data(), mag.data());
  for (int b = 0; b < kFftBins; ++b) {
    double re = 0, im = 0;
    for (int n = 0; n < kFftLen; ++n) {
      const double a = -2.0 * M_PI * double(b) * n / kFftLen;
      re += x[n] * std::cos(a);
      im += x[n] * std::sin(a);
    }
    EXPECT_NEAR(mag[b], std::hypot(re, im), 1e-4 * (1.0 + std::hypot(re, im))) << b;
  }
}

TEST(MotionMel, AnalysisBufferPlacesTheWindowAfterHalfAFrame) {
  std::vector<float> audio(6000);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = float(i + 1);
  std::vector<float> buf(kAnalysisLen, -1.0f);
  fillAnalysis(audio.data(), int64_t(audio.size()), -2000, buf.data());
  EXPECT_EQ(buf[0], 0.0f);
  EXPECT_EQ(buf[kAnalysisPad + 1999], 0.0f);   // sample -1
  EXPECT_EQ(buf[kAnalysisPad + 2000], 1.0f);   // sample 0
  EXPECT_EQ(buf[kAnalysisPad + 4479], 2480.0f);
  EXPECT_EQ(buf[kAnalysisPad + 4480], 0.0f);
  fillAnalysis(audio.data(), int64_t(audio.size()), 5000, buf.data());
  EXPECT_EQ(buf[kAnalysisPad + 999], 6000.0f);
  EXPECT_EQ(buf[kAnalysisPad + 1000], 0.0f);  // past the pushed audio
  fillAnalysis(audio.data(), int64_t(audio.size()), 7000, buf.data());
  for (float v : buf) ASSERT_EQ(v, 0.0f);
}

TEST(MotionPose, Bin66AndRotations) {
  std::vector<float> flat(66, 0.25f);
  EXPECT_NEAR(bin66(flat.data()), 0.0, 1e-9);  // E = 32.5
  std::vector<float> peak(66, -1e4f);
  peak[40] = 0.0f;
  EXPECT_NEAR(bin66(peak.data()), 22.5, 1e-9);
  peak[40] = -1e4f;
  peak[0] = 1e4f;  // large logits stay finite
  EXPECT_NEAR(bin66(peak.data()), -97.5, 1e-9);

  double R[9];
  poseToR(0, 0, 0, R);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], i % 4 == 0 ? 1.0 : 0.0, 1e-12);
  poseToR(90, 0, 0, R);  // pitch
  const double pitch[9] = {1, 0, 0, 0, 0, 1, 0, -1, 0};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], pitch[i], 1e-12) << i;
  poseToR(0, 90, 0, R);  // yaw
  const double yaw[9] = {0, 0, -1, 0, 1, 0, 1, 0, 0};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], yaw[i], 1e-12) << i;
  poseToR(0, 0, 90, R);  // roll
  const double roll[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], roll[i], 1e-12) << i;
}

// A record whose logits put all their mass on one bin.
std::vector<float> handRecord(int pitchBin, float scale) {
  std::vector<float> S(kRecord, 0.0f);
  for (int i = 0; i < 63; ++i) S[kRecExp + i] = 0.01f * float(i % 7);
  for (int i = 0; i < 63; ++i) S[kRecCanon + i] = 0.1f * float(i % 5) - 0.2f;
  for (int i = 0; i < 66; ++i) {
    S[kRecPitch + i] = i == pitchBin ? 1e4f : -1e4f;
    S[kRecRoll + i] = i == 32 || i == 33 ? 1e4f : -1e4f;  // 0 degrees
    S[kRecYaw + i] = i == 32 || i == 33 ? 1e4f : -1e4f;
  }
  S[kRecScale] = scale;
  S[kRecT + 0] = 0.5f;
  S[kRecT + 1] = -0.25f;
  S[kRecT + 2] = 9.0f;
  return S;
}

TEST(MotionEmit, ZeroPoseKeepsCanonicalPlusExpressionAndMovesOnlyLips) {
  // Bins 32 and 33 equally weighted: E = 32.5, 0 degrees, R = I.
  std::vector<float> S = handRecord(0, 2.0f);
  for (int i = 0; i < 66; ++i) S[kRecPitch + i] = i == 32 || i == 33 ? 1e4f : -1e4f;
  std::vector<float> g(63), g0(63, 0.0f), xs(63), xd(63);
  for (int i = 0; i < 63; ++i) g[i] = 0.001f * float(i);
  emitKeypoints(S.data(), g.data(), g0.data(), 0.5f, 0.0f, xs.data(), xd.data());
  const bool lip[21] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1};
  for (int k = 0; k < 21; ++k)
    for (int j = 0; j < 3; ++j) {
      const int i = 3 * k + j;
      const float shift = j == 0 ? 0.5f : j == 1 ? -0.25f : 0.0f;  // z never translated
      EXPECT_NEAR(xs[i], 2.0f * (S[kRecCanon + i] + S[kRecExp + i]) + shift, 1e-5) << i;
      const float de = lip[k] ? g[i] * 0.5f : 0.0f;
      EXPECT_NEAR(xd[i] - xs[i], 2.0f * de, 1e-5) << i;
    }
}

TEST(MotionEmit, NinetyDegreePitchRotatesAndDeltaPitchOnlyTurnsTheDrivenSet) {
  // Bin 62.5 -> 90 degrees: bins 62 and 63 equally weighted.
  std::vector<float> S = handRecord(0, 1.0f);
  for (int i = 0; i < 66; ++i) S[kRecPitch + i] = i == 62 || i == 63 ? 1e4f : -1e4f;
  std::vector<float> g(63, 0.0f), xs(63), xd(63);
  emitKeypoints(S.data(), g.data(), g.data(), 1.0f, -90.0f, xs.data(), xd.data());
  for (int k = 0; k < 21; ++k) {
    const float* c = S.data() + kRecCanon + 3 * k;
    const float* e = S.data() + kRecExp + 3 * k;
    // c R with R rows (1,0,0), (0,0,1), (0,-1,0): (c0, -c2, c1).
    EXPECT_NEAR(xs[3 * k + 0], c[0] + e[0] + 0.5f, 1e-5);
    EXPECT_NEAR(xs[3 * k + 1], -c[2] + e[1] - 0.25f, 1e-5);
    EXPECT_NEAR(xs[3 * k + 2], c[1] + e[2], 1e-5);
    // delta pitch -90 brings the driven set back to the identity rotation.
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(xd[3 * k + j], c[j] + e[j] + (j == 0 ? 0.5f : j == 1 ? -0.25f : 0.0f), 1e-5);
  }
}

std::vector<int64_t> walk(int64_t nt, int64_t start, int dir, bool loop, int n) {
  IndexWalk w;
  w.reset(nt, start, dir, loop);
  std::vector<int64_t> out;
  for (int i = 0; i < n; ++i) out.push_back(w.next());
  return out;
}

TEST(MotionIndexWalk, BouncesWithoutRepeatingEndsWrapsInLoopModeAndClampsStart) {
  using V = std::vector<int64_t>;
  EXPECT_EQ(walk(3, 0, 1, false, 7), (V{0, 1, 2, 1, 0, 1, 2}));
  EXPECT_EQ(walk(3, 0, 1, true, 7), (V{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(walk(3, 0, -1, false, 5), (V{0, 1, 2, 1, 0}));
  EXPECT_EQ(walk(3, 0, -1, true, 5), (V{0, 2, 1, 0, 2}));
  EXPECT_EQ(walk(1, 0, 1, false, 4), (V{0, 0, 0, 0}));
  EXPECT_EQ(walk(1, 0, -1, true, 3), (V{0, 0, 0}));
  EXPECT_EQ(walk(2, 0, 1, false, 5), (V{0, 1, 0, 1, 0}));
  EXPECT_EQ(walk(5, 99, 1, false, 3), (V{4, 3, 2}));
  EXPECT_EQ(walk(5, -7, -1, false, 3), (V{0, 1, 2}));
}

TEST(MotionSchedule, ChunkInputRepeatsTheLastAvailableFrame) {
  const int64_t frames = 75;
  std::vector<float> feat(size_t(frames) * kFeatDim);
  for (int64_t f = 0; f < frames; ++f) feat[size_t(f) * kFeatDim] = float(f);
  std::vector<float> in(size_t(kChunk) * kFeatDim);
  chunkInput(feat, frames, 0, in.data());
  EXPECT_EQ(in[74 * kFeatDim], 74.0f);
  EXPECT_EQ(in[79 * kFeatDim], 74.0f);
  chunkInput(feat, frames, 1, in.data());  // 70 .. 149
  EXPECT_EQ(in[0], 70.0f);
  EXPECT_EQ(in[4 * kFeatDim], 74.0f);
  EXPECT_EQ(in[79 * kFeatDim], 74.0f);
}

TEST(MotionSchedule, CrossFadeAndSmoothingTouchOnlyTheirRows) {
  std::vector<float> a(size_t(kChunk) * kMotionDim, 1.0f), b(size_t(kChunk) * kMotionDim, 3.0f);
  std::vector<float> rows;
  appendChunk(rows, a.data());
  ASSERT_EQ(rows.size(), size_t(kChunk) * kMotionDim);
  appendChunk(rows, b.data());
  ASSERT_EQ(rows.size(), size_t(150) * kMotionDim);
  auto at = [&](int t, int c) { return rows[size_t(t) * kMotionDim + c]; };
  // Expression values (not smoothed): the plain cross-fade 1 -> 3.
  for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(at(70 + i, 264), 1.0f + 2.0f * float(i) / 10.0f);
  EXPECT_FLOAT_EQ(at(69, 0), 1.0f);
  EXPECT_FLOAT_EQ(at(80, 0), 3.0f);
  // Smoothed row 70 boxes rows 69..71 as they were after the fade.
  EXPECT_NEAR(at(70, 0), (1.0f + 1.0f + 1.2f) / 3.0f, 1e-6);
  EXPECT_NEAR(at(79, 0), (2.6f + 2.8f + 3.0f) / 3.0f, 1e-6);
  // Ends shorten the box.
  std::vector<float> two(size_t(2) * kMotionDim, 0.0f);
  two[0] = 3.0f;
  smoothRows(two, -5, 99);
  EXPECT_FLOAT_EQ(two[0], 1.5f);
  EXPECT_FLOAT_EQ(two[kMotionDim], 1.5f);
}

TEST(MotionSchedule, LiveRowSmoothsPoseValuesAndClampsEverything) {
  std::vector<float> rows(size_t(3) * kMotionDim);
  for (int t = 0; t < 3; ++t)
    for (int c = 0; c < kMotionDim; ++c) rows[size_t(t) * kMotionDim + c] = float(t * 10);
  std::vector<float> mm(2 * kMotionDim);
  for (int c = 0; c < kMotionDim; ++c) {
    mm[c] = -100.0f;
    mm[kMotionDim + c] = c == 264 ? 15.0f : 100.0f;
  }
  std::vector<float> out(kMotionDim);
  liveRow(rows, 2, mm.data(), out.data());
  EXPECT_FLOAT_EQ(out[0], 15.0f);     // (10 + 20) / 2
  EXPECT_FLOAT_EQ(out[201], 15.0f);
  EXPECT_FLOAT_EQ(out[202], 20.0f);   // expression is not smoothed
  EXPECT_FLOAT_EQ(out[264], 15.0f);   // clamped
}

TEST(MotionSession, CoremlSelectorIsTheTextAfterTheFirstColon) {
  struct Case {
    const char* ep;
    const char* units;
  };
  for (const Case c : {Case{"coreml", "ALL"}, Case{"coreml:cpu", "CPUOnly"}, Case{"coreml:gpu", "CPUAndGPU"},
                       Case{"coreml:ane", "CPUAndNeuralEngine"}, Case{"coremlane", "ALL"},
                       Case{"coreml:ane:x", "ALL"}})
    EXPECT_STREQ(le::ort::coremlComputeUnits(coremlUnitOf(c.ep)), c.units) << c.ep;
}

TEST(MotionSession, InputShapeFollowsTheGraphWhenItFits) {
  using V = std::vector<int64_t>;
  EXPECT_EQ(audio::shapeFor({1, 80, 21}, 1680, {9}), (V{1, 80, 21}));
  EXPECT_EQ(audio::shapeFor({1, -1, 21}, 1680, {9}), (V{1, 80, 21}));
  EXPECT_EQ(audio::shapeFor({1, 21, 3}, 63, {1, 63}), (V{1, 21, 3}));
  EXPECT_EQ(audio::shapeFor({1, 64}, 63, {1, 63}), (V{1, 63}));
  EXPECT_EQ(audio::shapeFor({-1, -1}, 63, {1, 63}), (V{1, 63}));
  EXPECT_EQ(audio::shapeFor({}, 63, {1, 63}), (V{1, 63}));
}

}  // namespace
}  // namespace le::motion
