// The unified compose descriptor: manifest refusals, grids, ellipse
// parameters and gate against hand-computed values, boxes at and past the
// canvas edges, boxed forms against the full canvas, centroids and shifts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "le/tessera/tessera_pi.h"
#include "tessera/tessera_lips.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::Box;
using le::tessera::EllParams;
using le::tessera::UnifiedPi;
using le::test::mouthKp;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::string manifest(const std::string& pi, const std::string& unifiedExtra = "") {
  return "{\"format\":\"x\",\"unified\":{\"pi\":{" + pi + "}" + unifiedExtra + "}}";
}

const std::string& kGoodPi = le::test::kPiV2Fields;
UnifiedPi v2(int canvas = 160) { return le::test::piV2(canvas); }

const std::string kNoUnified =
    "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and "
    "cannot state the pi geometry it was baked with; refusing to guess one";

TEST(UnifiedPiManifest, RefusalsTable) {
  const std::string modeEllipse =
      "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail "
      "loud, never adapt (the stamped-geometry rule)";
  const std::string corner =
      "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot "
      "name must never be guessed";
  const std::string gate = "teeth-pi: unified.pi.prop_gate_scale must be a positive number";
  const std::string idxArr = "teeth-pi: unified.pi.lip_idx is not a non-empty array";
  const std::string idxRow = "teeth-pi: unified.pi.lip_idx names a row outside 0..20";
  const std::string geom = "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]";
  const std::string crop = "teeth-pi: engine renders at canvas 160 but unified.crop.canvas is ";
  const std::string modeOk = "\"mode\":\"prop\",";
  const std::string rest = "\"lip_idx\":[6],\"lip_geom_params\":[0.1,0.08,0.074]";
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {manifest(kGoodPi), 0, "teeth-pi: canvas 0 is not a render size within 1..8192"},
      {manifest(kGoodPi), 8193, "teeth-pi: canvas 8193 is not a render size within 1..8192"},
      {"{\"unified\":", 160, "teeth: manifest.json is not readable JSON: teeth: JSON truncated"},
      {"{}", 160, kNoUnified},
      {"{\"unified\":[1]}", 160, kNoUnified},
      {"{\"unified\":{}}", 160, "teeth: member JSON lacks key 'pi'"},
      {manifest("\"prop_gate_scale\":1," + rest), 160, "teeth: member JSON lacks key 'mode'"},
      {manifest(modeOk + rest), 160, "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_geom_params\":[0,0,0]"), 160,
       "teeth: member JSON lacks key 'lip_idx'"},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6]"), 160,
       "teeth: member JSON lacks key 'lip_geom_params'"},
      // Presence first, in key order: a bad mode does not hide a missing key.
      {manifest("\"mode\":\"ellipse\",\"lip_idx\":[6]"), 160, "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifest("\"mode\":3,\"prop_gate_scale\":1," + rest), 160, "teeth-pi: unified.pi.mode is not a string"},
      {manifest("\"mode\":\"ellipse\",\"prop_gate_scale\":0,\"lip_idx\":[],\"lip_geom_params\":[]"), 160,
       modeEllipse},
      {manifest(kGoodPi + ",\"corner_recovery\":\"yes\""), 160, corner},
      {manifest(kGoodPi + ",\"corner_recovery\":1"), 160, corner},
      {manifest(modeOk + "\"prop_gate_scale\":0," + rest), 160, gate},
      {manifest(modeOk + "\"prop_gate_scale\":\"1\"," + rest), 160, gate},
      {manifest(modeOk + "\"prop_gate_scale\":1e39," + rest), 160, gate},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[],\"lip_geom_params\":[0,0,0]"), 160, idxArr},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":6,\"lip_geom_params\":[0,0,0]"), 160, idxArr},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6,21],\"lip_geom_params\":[0,0,0]"), 160, idxRow},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[-1],\"lip_geom_params\":[0,0,0]"), 160, idxRow},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[1e300],\"lip_geom_params\":[0,0,0]"), 160, idxRow},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6],\"lip_geom_params\":[0.1,0.08]"), 160, geom},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6],\"lip_geom_params\":[0,0,0,0]"), 160, geom},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6],\"lip_geom_params\":[0,\"x\",0]"), 160, geom},
      {manifest(modeOk + "\"prop_gate_scale\":1,\"lip_idx\":[6],\"lip_geom_params\":[1e39,0,0]"), 160, geom},
      {manifest(kGoodPi, ",\"crop\":{\"canvas\":159.99}"), 160, crop + "159"},
      {manifest(kGoodPi, ",\"crop\":{\"canvas\":1e300}"), 160, crop + "1e+300"},
      {manifest(kGoodPi, ",\"crop\":{\"canvas\":\"160\"}"), 160, crop + "not a number"},
  };
  for (const auto& [text, canvas, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { UnifiedPi::fromManifestJson(text, canvas); }), want)
        << text << " @" << canvas;
}

TEST(UnifiedPiManifest, AcceptedForms) {
  // {appended to the pi block, appended to the unified block, corner recovery}
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"", "", false},
      {",\"corner_recovery\":false", "", false},
      {",\"corner_recovery\":true", "", true},
      {",\"corner_recovery\":\"lip_landmark_half\"", ",\"crop\":{\"canvas\":160.9}", true},
      {",\"corner_recovery\":true,\"corner_recovery\":\"junk\"", ",\"crop\":{}", true},
  };
  for (const auto& [extra, unified, corner] : cases) {
    const UnifiedPi u = UnifiedPi::fromManifestJson(manifest(kGoodPi + extra, unified), 160);
    EXPECT_EQ(std::tie(u.corner_recovery, u.mode, u.canvas), std::make_tuple(corner, std::string("prop"), 160))
        << extra;
  }
  const UnifiedPi u = UnifiedPi::fromManifestJson(manifest("\"mode\":\"prop\",\"prop_gate_scale\":1.25,"
      "\"lip_idx\":[6.9,20.99,-0.5,0],\"lip_geom_params\":[0.14,-0.02,0.074]"), 64);
  EXPECT_EQ(u.lip_idx, (std::vector<int32_t>{6, 20, 0, 0}));
  EXPECT_EQ((std::vector<float>{u.prop_gate_scale, u.pad_x, u.pad_y, u.down}),
            (std::vector<float>{1.25f, 0.14f, -0.02f, 0.074f}));
  EXPECT_EQ(UnifiedPi::fromManifestJson(manifest(kGoodPi), 8192).canvas, 8192);  // the bound is inclusive
}

TEST(UnifiedPiManifest, Grids) {
  const std::vector<std::pair<int, std::vector<float>>> cases = {
      {1, {-1.f}}, {2, {-1.f, 1.f}}, {3, {-1.f, 0.f, 1.f}}, {5, {-1.f, -0.5f, 0.f, 0.5f, 1.f}}};
  for (const auto& [canvas, grid] : cases) {
    const UnifiedPi u = v2(canvas);
    EXPECT_TRUE(u.gridX == grid && u.gridY == grid) << canvas;
  }
}

// All lips on one point: the minimum radii of both ellipses hold (the
// reference comparison never meets a gate that small).
TEST(UnifiedPiParams, PointMouthKeepsTheMinimumRadii) {
  const std::vector<float> point = mouthKp(0.3f, 0.2f, 0.f, 0.f);
  const EllParams l = v2().lipParams(point.data()), g = v2().gateParams(point.data(), nullptr);
  const double got[10] = {l.cx, l.cy, l.rx, l.ry, l.soft, g.cx, g.cy, g.rx, g.ry, g.soft};
  const double want[10] = {0.3, 0.274, 0.1, 0.1, 25.6, 0.3, 0.2, 0.004, 0.004, 1.024};
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(got[i], want[i], 2e-5 * std::max(1.0, std::fabs(want[i]))) << i;
}

// The teeth gate is the bare gate ellipse scaled by the aperture gate (whose
// values meet the numpy reference in the itest), here halfway up its ramp.
TEST(UnifiedPiParams, TeethGateIsTheScaledGateEllipse) {
  const UnifiedPi u = v2();
  const std::vector<float> kp = mouthKp(0.f, 0.3f, 0.1f, 0.0225f);
  float g = -1.f;
  u.gateParams(kp.data(), &g);
  EXPECT_NEAR(g, 0.15625f, 2e-4);
  std::vector<float> gated(160 * 160), bare(160 * 160);
  u.propTeethGate(kp.data(), gated.data());
  u.ellMask(kp.data(), 0.f, 0.f, 0.004f, 0.004f, 1.f, 0.f, bare.data());
  float peak = 0.f;
  for (size_t i = 0; i < bare.size(); ++i) {
    ASSERT_NEAR(gated[i], g * bare[i], 1e-6f);
    peak = std::max(peak, bare[i]);
  }
  EXPECT_GT(peak, 0.5f);  // the gate ellipse covers pixels
}

TEST(UnifiedPiBoxes, EllBoxTable) {
  const float big = 1e30f;
  const std::vector<std::tuple<int, EllParams, Box>> cases = {
      {160, {0, 0, 0.1f, 0.1f, 1}, {70, 70, 90, 90}},
      {160, {-0.5f, 0.25f, 0.2f, 0.05f, 1}, {22, 94, 58, 106}},
      {160, {5, 5, 0.1f, 0.1f, 1}, {160, 160, 160, 160}},      // past the far edge: empty
      {160, {-5, -5, 0.1f, 0.1f, 1}, {0, 0, 0, 0}},            // past the near edge: empty
      {160, {0, 0, big, big, 1}, {0, 0, 160, 160}},
      {160, {-big, big, 1, 1, 1}, {0, 160, 0, 160}},
      {160, {0, 0, kInf, 0.1f, 1}, {0, 0, 0, 0}},              // non-finite: empty
      {160, {kNaN, 0, 0.1f, 0.1f, 1}, {0, 0, 0, 0}},
      {2, {0, 0, 0.1f, 0.1f, 1}, {0, 0, 2, 2}},
      {1, {kNaN, 0, 0, 0, 0}, {0, 0, 1, 1}},                   // a 1-pixel canvas is all box
  };
  for (const auto& [canvas, p, want] : cases) {
    const Box b = v2(canvas).ellBox(p);
    EXPECT_EQ((std::vector<int>{b.x0, b.y0, b.x1, b.y1}),
              (std::vector<int>{want.x0, want.y0, want.x1, want.y1}))
        << canvas << " " << p.cx << "," << p.cy << " r " << p.rx << "," << p.ry;
  }
}

// Random frames at and past the canvas edges, huge and non-finite ones.
std::vector<std::vector<float>> edgeFrames() {
  std::vector<std::vector<float>> out;
  std::mt19937 rng(29);
  std::uniform_real_distribution<float> pos(-1.4f, 1.4f), half(0.f, 0.4f), ap(0.f, 0.07f);
  for (int i = 0; i < 24; ++i) out.push_back(mouthKp(pos(rng), pos(rng), half(rng), ap(rng)));
  out.push_back(mouthKp(0.f, 0.f, 1e30f, 1e30f));
  out.push_back(mouthKp(3e38f, -3e38f, 0.1f, 0.03f));
  out.push_back(mouthKp(0.999f, 0.999f, 0.001f, 0.025f));
  out.push_back(mouthKp(-1.f, -1.f, 0.f, 0.f));
  std::vector<float> nan = mouthKp(0.f, 0.f, 0.1f, 0.03f), inf = nan;
  nan[3 * 19 + 1] = kNaN;
  inf[3 * 6] = -kInf;
  out.push_back(nan);
  out.push_back(inf);
  return out;
}

// Sweep canvas sizes x frames: boxed == full, zero outside the support box,
// nothing written past the canvas.
TEST(UnifiedPiMasks, BoxedEqualsFullAndStaysInside) {
  const auto frames = edgeFrames();
  for (int canvas : {1, 2, 3, 17, 64, 160, 161}) {
    const UnifiedPi u = v2(canvas);
    const size_t n = size_t(canvas) * size_t(canvas);
    for (size_t f = 0; f < frames.size(); ++f) {
      SCOPED_TRACE("canvas " + std::to_string(canvas) + " frame " + std::to_string(f));
      std::vector<uint8_t> full(n + 64, 0xA5), boxed(n + 64, 0xA5);
      u.piU8(frames[f].data(), full.data());
      u.piU8Boxed(frames[f].data(), boxed.data());
      for (size_t i = n; i < n + 64; ++i) ASSERT_TRUE(boxed[i] == 0xA5 && full[i] == 0xA5) << i;
      ASSERT_EQ(0, std::memcmp(full.data(), boxed.data(), n));
      const Box b = u.supportBox(frames[f].data());
      ASSERT_TRUE(b.x0 >= 0 && b.y0 >= 0 && b.x1 <= canvas && b.y1 <= canvas && b.x0 <= b.x1 && b.y0 <= b.y1);
      int outside = 0;
      for (int y = 0; y < canvas; ++y)
        for (int x = 0; x < canvas; ++x)
          outside += full[size_t(y * canvas + x)] && (x < b.x0 || x >= b.x1 || y < b.y0 || y >= b.y1);
      EXPECT_EQ(outside, 0);
    }
  }
}

TEST(UnifiedPiMasks, ShrunkByClampsCallerBoxes) {
  const int canvas = 96;
  const UnifiedPi u = v2(canvas);
  const std::vector<float> kp = mouthKp(0.1f, 0.2f, 0.15f, 0.03f);
  const size_t n = size_t(canvas) * canvas;
  std::vector<float> shrink(n);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> val(-0.5f, 1.5f);
  for (auto& s : shrink) s = val(rng);
  shrink[size_t(60 * canvas + 52)] = kNaN;
  std::vector<uint8_t> pi(n);
  u.piU8(kp.data(), pi.data());
  const Box support = u.supportBox(kp.data());
  const std::vector<Box> boxes = {{-10, -10, 50, 70}, {30, 20, 1000, 1000},
                                  {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {80, 80, 50, 50}, {0, 0, 0, 0}};
  for (const Box& box : boxes) {
    std::vector<uint8_t> out(n + 32, 0xA5);
    u.piU8ShrunkBy(kp.data(), shrink.data(), box, out.data());
    for (size_t i = n; i < n + 32; ++i) ASSERT_EQ(out[i], 0xA5);
    int lit = 0;
    for (int y = 0; y < canvas; ++y)
      for (int x = 0; x < canvas; ++x) {
        const size_t i = size_t(y * canvas + x);
        const bool inside = x >= std::max(box.x0, support.x0) && x < std::min(box.x1, support.x1) &&
                            y >= std::max(box.y0, support.y0) && y < std::min(box.y1, support.y1);
        const uint8_t want = inside && shrink[i] > 0.f ? std::min(le::test::refByte(shrink[i]), pi[i]) : 0;
        ASSERT_EQ(out[i], want) << x << "," << y << " box " << box.x0 << "," << box.y0;
        lit += out[i] != 0;
      }
    if (box.x0 == -10) {
      EXPECT_GT(lit, 20);  // the table must reach the mask
    }
  }
}

TEST(UnifiedPiCentroid, HandMasks) {
  const UnifiedPi u = v2(4);
  std::vector<uint8_t> zero(16, 0), one(16, 0), corners(16, 127), band(16, 0);
  one[1 * 4 + 2] = 128;
  corners[0] = corners[15] = 255;
  for (int x = 0; x < 4; ++x) band[2 * 4 + x] = 200;
  const Box all{0, 0, 4, 4};
  // {mask, box, found, cx, cy}
  const std::vector<std::tuple<std::vector<uint8_t>, Box, bool, double, double>> cases = {
      {zero, all, false, 0, 0}, {one, all, true, 2, 1}, {corners, all, true, 1.5, 1.5},
      {corners, {2, 2, 4, 4}, true, 3, 3}, {corners, {-5, -5, 1, 1}, true, 0, 0},
      {corners, {5, 5, 9, 9}, false, 0, 0}, {corners, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, true, 1.5, 1.5},
      {band, {1, 0, 3, 4}, true, 1.5, 2},
  };
  for (const auto& [mask, box, found, wantX, wantY] : cases) {
    double cx = -1, cy = -1;
    EXPECT_EQ(u.piU8Centroid(mask.data(), box, &cx, &cy), found) << box.x0 << "," << box.y0;
    EXPECT_TRUE(!found || (cx == wantX && cy == wantY)) << box.x0 << ": " << cx << "," << cy;
  }
  double cx, cy;
  EXPECT_TRUE(u.piU8Centroid(corners.data(), &cx, &cy));
  EXPECT_DOUBLE_EQ(cx, 1.5);
}

TEST(UnifiedPiShift, RoundsHalfToEvenAndClamps) {
  const UnifiedPi u = v2(128);
  const std::vector<float> kp = mouthKp(0.05f, 0.1f, 0.15f, 0.03f);
  std::vector<uint8_t> mask(128 * 128);
  u.piU8(kp.data(), mask.data());
  double cx, cy;
  ASSERT_TRUE(u.piU8Centroid(mask.data(), &cx, &cy));
  // {centroid - c_canon, shift}; a non-finite c_canon x gives no shift, and the mask still.
  const std::vector<std::pair<double, int>> cases = {{0.5, 0},  {1.5, 2},   {2.5, 2}, {-1.5, -2}, {0.51, 1}, {-3.51, -4},
                                                     {1e300, 1000000000}, {-1e300, -1000000000}, {kNaN, 0}, {kInf, 0}};
  for (const auto& [off, shift] : cases) {
    const double canon[2] = {cx - off, std::isfinite(off) ? cy + off : 3.0};
    int dy = 99, dx = 99;
    std::vector<uint8_t> out(128 * 128);
    EXPECT_EQ(u.piU8AndShift(kp.data(), canon, out.data(), &dy, &dx), std::isfinite(off)) << off;
    EXPECT_EQ(std::make_pair(dy, dx), std::make_pair(-shift, shift)) << off;
    EXPECT_EQ(out, mask);
  }
  std::vector<uint8_t> out(128 * 128);
  const double canon[2] = {1, 1};
  EXPECT_TRUE(u.piU8AndShift(kp.data(), canon, out.data(), nullptr, nullptr));
}

TEST(UnifiedPiCorpus, Refusals) {
  const std::string m = manifest(kGoodPi);
  const std::vector<float> frames = mouthKp(0.f, 0.3f, 0.1f, 0.03f);
  std::vector<float> nanFrames = frames;
  nanFrames[3 * 12] = kNaN;
  const double canon[2] = {80, 100};
  const double nanCanon[2] = {kNaN, 100};
  const double infCanon[2] = {80, -kInf};
  const std::string noFrames =
      "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
      "supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose field";
  const std::string empty =
      "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this "
      "bundle's frame is identified by";
  const std::vector<std::tuple<std::string, const float*, int, const double*, std::string>> cases = {
      {m, nullptr, 1, canon, noFrames}, {m, frames.data(), 0, canon, noFrames},
      {m, frames.data(), -4, canon, noFrames},
      {m, frames.data(), 1, nullptr, "teeth-pi: c_canon is not a finite pair"},
      {m, frames.data(), 1, nanCanon, "teeth-pi: c_canon is not a finite pair"},
      {m, frames.data(), 1, infCanon, "teeth-pi: c_canon is not a finite pair"},
      {"{}", frames.data(), 1, canon, kNoUnified}, {m, nanFrames.data(), 1, canon, empty},
  };
  for (const auto& [text, kp, n, cc, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, 160, kp, n, cc, nullptr); }), want);
  EXPECT_EQ(le::test::errorOf([&] { v2().canonicalCentroid(nanFrames.data(), 1, nullptr, nullptr); }),
            empty);
  EXPECT_EQ(le::test::errorOf([&] { v2().canonicalCentroid(nullptr, 3, nullptr, nullptr); }), empty);
}

// Frames above the top edge: the v1 ellipse (down 0.015) never reaches the
// canvas, v2 and v3 (down 0.074) do. v1 is listed with an infinite distance.
TEST(UnifiedPiCorpus, CandidateEmptyOnEveryFrameIsInfinitelyFar) {
  const std::vector<float> frames = mouthKp(0.f, -1.12f, 0.12f, 0.004f);
  double cx = 0, cy = 0;
  v2().canonicalCentroid(frames.data(), 1, &cx, &cy);
  const double canon[2] = {cx, cy};
  const std::string err = le::test::errorOf([&] {
    UnifiedPi::corpusFromManifestJson(manifest(kGoodPi), 160, frames.data(), 1, canon, nullptr);
  });
  EXPECT_EQ(err.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v2=0.00px v3=", 0), 0u) << err;
  EXPECT_NE(err.find("px v1=infpx — refusing to guess the bank frame"), std::string::npos) << err;
}

}  // namespace
