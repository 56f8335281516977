// The lip contour: every template and constructor refusal, hostile vertices,
// and the delivered and shrunk masks against the pi mask and the contour.
// Polygons, boxes, fills and feathers are compared with numpy in the itest.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_pi.h"
#include "tessera/tessera_lips.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using le::test::kLipRows;
using le::test::mouthKp;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::string H = "lip_template.v1.json: ";

// A template with `extra` members replacing (listed in `drop`) or joining the
// defaults: canvas 160, feather 4, a 4-vertex square over the six lip rows.
std::string tpl(const std::string& extra = "", const std::vector<std::string>& drop = {}) {
  const std::pair<const char*, const char*> m[] = {{"format", "\"lip-template-v1\""}, {"canvas", "160"},
                                                   {"feather_px", "4"}, {"u_canon", "[[-1,-1],[1,-1],[1,1],[-1,1]]"},
                                                   {"lip_idx", "[6,12,14,17,19,20]"}};
  std::string s = "{";
  for (const auto& [k, v] : m)
    if (std::find(drop.begin(), drop.end(), k) == drop.end()) s += "\"" + std::string(k) + "\":" + v + ",";
  s += extra;
  if (s.back() == ',') s.pop_back();
  return s + "}";
}

// A lip map member (`b` may carry further members after the array).
std::string map(const std::string& idx, const std::string& W, const std::string& b = "[0,0,0,0,0,0,0,0]") {
  return "\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":" + idx + ",\"W\":" + W +
         ",\"b\":" + b + "}";
}
std::string rows(int n, const std::string& row) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + row;
  return s + "]";
}


// Lip rows at x = -0.125, 0, 0.125 and y = -/+0.125: on a 160 canvas the
// polygon is the square 70..90.
std::vector<float> squareLips() {
  std::vector<float> kp(63, 0.f);
  for (int i = 0; i < 6; ++i) kp[size_t(3 * kLipRows[i])] = 0.125f * float(i % 3 - 1), kp[size_t(3 * kLipRows[i] + 1)] = i < 3 ? -0.125f : 0.125f;
  return kp;
}

TEST(LipTemplate, RefusalsAndAcceptedForms) {
  const std::string w8 = rows(8, "[1,2]");
  const std::string idxRow = "lip_idx names keypoint row ";
  const std::string mapIdx = H + "lip_map lip_idx is not 1..8 kd rows";
  const std::string mapRow = H + "lip_map lip_idx names a row outside 0..20";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"format\":", H + "is not parseable JSON (teeth: lip_template.v1.json is not readable JSON: "
                           "teeth: JSON truncated)"},
      {"[1]", H + "is not a JSON object"},
      {tpl("\"format\":2", {"format"}), H + "carries no string `format`"},
      {tpl("\"format\":\"lip-template-v2\"", {"format"}),
       H + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
      {tpl("\"edge\":\"inward\""), H + "declares edge 'inward', and the contour feather is OUTWARD — refusing "
                                       "to serve a mask this runtime does not compute"},
      {tpl("", {"canvas"}), H + "carries no numeric `canvas`"},
      {tpl("\"canvas\":1e300", {"canvas"}), H + "was baked on a 1e+300 canvas but this bundle composes on 160 — "
                                                "refusing to deform a polygon onto a canvas it does not name"},
      {tpl("", {"feather_px"}), H + "carries no numeric `feather_px`"},
      {tpl("\"feather_px\":1e-300", {"feather_px"}), H + "declares feather_px 0.000000, which is not positive"},
      {tpl("\"feather_px\":160.5", {"feather_px"}), H + "declares feather_px 160.500000, wider than the 160 px canvas"},
      {tpl("\"u_canon\":[]", {"u_canon"}), H + "carries no non-empty `u_canon` array"},
      {tpl("\"u_canon\":[[0,0],[1,\"x\"]]", {"u_canon"}), H + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {tpl("\"u_canon\":[3]", {"u_canon"}), H + "u_canon row 0 is not a 2-vector — this is not an nv x 2 template"},
      {tpl("\"lip_idx\":[]", {"lip_idx"}), H + "carries a `lip_idx` that is not a non-empty array"},
      {tpl("\"lip_idx\":[6,21]", {"lip_idx"}), H + idxRow + "21, and a kd row is 0..20"},
      {tpl("\"lip_idx\":[-3]", {"lip_idx"}), H + idxRow + "-3, and a kd row is 0..20"},
      {tpl("\"lip_idx\":[1e300]", {"lip_idx"}), H + idxRow + "1e+300, and a kd row is 0..20"},
      {tpl("\"lip_map\":[]"), H + "lip_map is not a JSON object"},
      {tpl("\"lip_map\":{\"schema\":\"lip-map-v2\"}"),
       H + "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — this runtime cannot evaluate it"},
      {tpl("\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"affine\"}"), H + "lip_map kind is not 'anchor-linear'"},
      {tpl(map("[]", w8)), mapIdx},
      {tpl(map("[1,2,3,4,5,6,7,8,9]", w8)), mapIdx},
      {tpl(map("[6.5]", w8)), mapRow},
      {tpl(map("[21]", w8)), mapRow},
      {tpl(map("[6]", "{}")), H + "lip_map carries no W/b arrays"},
      {tpl(map("[6]", w8, "{}")), H + "lip_map carries no W/b arrays"},
      {tpl(map("[6]", w8, "[0,0,0,0,0,0,0]")), H + "lip_map W/b have 8/7 rows, not 2*nv=8"},
      {tpl(map("[6]", "[[1,2]]")), H + "lip_map W/b have 1/8 rows, not 2*nv=8"},
      {tpl(map("[6,12]", w8)), H + "lip_map W row 0 is not 4 wide"},
      {tpl(map("[6]", "[[1,2],[1,2],[1,2],3,[1,2],[1,2],[1,2],[1,2]]")), H + "lip_map W row 3 is not 2 wide"},
      {tpl(map("[6]", "[[1,2],[1,2],[1,null],[1,2],[1,2],[1,2],[1,2],[1,2]]")),
       H + "lip_map carries a non-finite coefficient"},
      {tpl(map("[6,12]", rows(8, "[1,2,3,4]"), "[0,0,0,0,0,0,0,0],\"canvas\":512")),
       H + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { LipContour::fromTemplateJson(text, 160); }), want) << text;

  // Accepted: indices truncate toward zero, feather may equal the canvas, a
  // map of 1 or 8 anchors gives 2 or 16 columns and its own anchors.
  const std::vector<int32_t> six = {6, 12, 14, 17, 19, 20};
  const std::vector<std::tuple<std::string, std::vector<int32_t>, int>> ok = {
      {tpl("\"edge\":\"outward\",\"canvas\":160.9,\"lip_idx\":[6.9,-0.5,20.2]", {"lip_idx", "canvas"}), {6, 0, 20}, 0},
      {tpl("\"feather_px\":160", {"feather_px"}), six, 0},
      {tpl(map("[6]", w8)), {6}, 2},
      {tpl(map("[6,12,14,17,19,20,6,12]", rows(8, rows(16, "0.5")), "[0,0,0,0,0,0,0,0],\"canvas\":160")), {6, 12, 14, 17, 19, 20, 6, 12}, 16},
  };
  for (const auto& [text, idx, mapCols] : ok) {
    const LipContour lc = LipContour::fromTemplateJson(text, 160);
    EXPECT_EQ(lc.nv(), 4) << text;
    EXPECT_EQ(lc.lipIdx(), idx) << text;
    EXPECT_EQ(lc.mapCols(), mapCols) << text;
  }
}

TEST(LipContourCtor, RefusalsAndMapChecks) {
  const double u[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
  const int idx[2] = {6, 12}, bad[2] = {6, 21}, k9[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, kBad[2] = {6, 22};
  // {canvas, feather, u_canon, nv, lip_idx, its length, message}
  const std::vector<std::tuple<int, float, const double*, int, const int*, int, std::string>> cases = {
      {0, 4, u, 4, idx, 2, H + "canvas 0 is not a render size within 1..8192"},
      {8193, 4, u, 4, idx, 2, H + "canvas 8193 is not a render size within 1..8192"},
      {160, kNaN, u, 4, idx, 2, H + "declares feather_px nan, which is not positive"},
      {160, 4, nullptr, 4, idx, 2, H + "carries no non-empty `u_canon` array"},
      {160, 4, u, 0, idx, 2, H + "carries no non-empty `u_canon` array"},
      {160, 4, u, 4, idx, 0, H + "carries a `lip_idx` that is not a non-empty array"},
      {160, 4, u, 4, bad, 2, H + "lip_idx names keypoint row 21, and a kd row is 0..20"},
  };
  for (const auto& [canvas, feather, uc, nv, ids, n, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { LipContour(canvas, feather, uc, nv, ids, n); }), want) << canvas;

  LipContour lc(8192, 8192, u, 4, idx, 2);  // both upper bounds are inclusive
  std::vector<double> W(8 * 4, 0.1), b(8, 0.0), Winf = W, bnan = b;
  Winf[5] = std::numeric_limits<double>::infinity();
  bnan[7] = kNaN;
  const std::string shape = H + "lip_map shape does not match the template";
  // {W, b, rows, columns, anchors, their count, message}
  const std::vector<std::tuple<const double*, const double*, int, int, const int*, int, std::string>> maps = {
      {W.data(), b.data(), 7, 4, idx, 2, shape},     {W.data(), b.data(), 8, 3, idx, 2, shape},
      {W.data(), b.data(), 8, 4, idx, 0, shape},     {W.data(), b.data(), 8, 18, k9, 9, shape},
      {W.data(), b.data(), 8, 4, nullptr, 2, shape}, {W.data(), b.data(), 8, 4, kBad, 2, H + "lip_map lip_idx names a row outside 0..20"},
      {Winf.data(), b.data(), 8, 4, idx, 2, H + "lip_map carries a non-finite coefficient"},
      {W.data(), bnan.data(), 8, 4, idx, 2, H + "lip_map carries a non-finite coefficient"},
  };
  for (const auto& [mw, mb, nr, nc, ids, k, want] : maps)
    EXPECT_EQ(le::test::errorOf([&] { lc.attachMap(mw, mb, nr, nc, ids, k); }), want) << nr << "x" << nc;
  EXPECT_EQ(lc.mapCols(), 0);  // refused maps leave the contour as it was
  lc.attachMap(W.data(), b.data(), 8, 4, idx, 2);
  EXPECT_EQ(lc.mapCols(), 4);
}

// Anchors far off the canvas, huge maps and non-finite anchors: nothing is
// written outside the canvas, masks stay within [0, 1], boxes inside.
TEST(LipContourMask, HostileFramesStayInsideTheCanvas) {
  const std::string m = map("[6,17]", "[[1e12,0,0,0],[0,0,0,-1e12],[0,0,0,0],[0,0,0,0],[0,0,0,0],[0,0,0,0],"
                                      "[1e12,0,0,0],[0,0,0,0]]");
  const LipContour contours[] = {LipContour::fromTemplateJson(tpl(), 160), LipContour::fromTemplateJson(tpl(m), 160)};
  std::vector<std::vector<float>> frames;
  for (const float cx : {5.f, -40.f, 0.999f, 0.f, 0.f, 0.f}) frames.push_back(mouthKp(cx, 0, .125f, .12f));
  frames[3][3 * 6] = 3e38f, frames[3][3 * 17 + 1] = -3e38f;
  frames[4][3 * 6 + 1] = kNaN;  // an anchor of both contours
  frames[5][3 * 6] = -1.5f, frames[5][3 * 20] = 1.6f, frames[5][3 * 17 + 1] = 2.f;
  const UnifiedPi p = le::test::piV2(160);
  const size_t n = 160 * 160;
  for (const LipContour& lc : contours)
    for (size_t f = 0; f < frames.size(); ++f) {
      SCOPED_TRACE("map " + std::to_string(lc.mapCols()) + " frame " + std::to_string(f));
      std::vector<float> canvas(n + 16, -7.f);
      lc.contourF32Canvas(frames[f].data(), canvas.data());
      for (size_t i = 0; i < n + 16; ++i) ASSERT_TRUE(i < n ? canvas[i] >= 0.f && canvas[i] <= 1.f : canvas[i] == -7.f) << i;
      std::vector<uint8_t> out(n + 16, 0xA5);
      lc.deliveredU8(frames[f].data(), p, out.data());
      for (size_t i = n; i < n + 16; ++i) ASSERT_EQ(out[i], 0xA5);
      double poly[8];
      lc.polygon(frames[f].data(), poly);
      const Box b = lc.box(poly);
      ASSERT_TRUE(b.x0 >= 0 && b.x1 <= 160 && b.y0 >= 0 && b.y1 <= 160 && b.x0 <= b.x1 && b.y0 <= b.y1);
    }
}

// Mouths at many places under a 12-gon template: the delivered mask is
// min(pi, contour byte), and the shifting form keeps pi's shift.
TEST(LipContourMask, DeliveredIsMinOfPiAndContour) {
  const UnifiedPi p = le::test::piV2(128);
  std::string u = "[";
  for (int i = 0; i < 12; ++i)
    u += (i ? ",[" : "[") + std::to_string(1.1 * std::cos(M_PI * i / 6)) + "," + std::to_string(1.3 * std::sin(M_PI * i / 6)) + "]";
  const LipContour lc = LipContour::fromTemplateJson(
      tpl("\"canvas\":128,\"feather_px\":3.5,\"u_canon\":" + u + "]", {"canvas", "feather_px", "u_canon"}), 128);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> pos(-1.2f, 1.2f), half(0.f, 0.25f), ap(0.f, 0.06f);
  const size_t n = 128 * 128;
  int withShift = 0;
  for (int f = 0; f < 40; ++f) {
    const std::vector<float> kp = mouthKp(pos(rng), pos(rng), half(rng), ap(rng));
    std::vector<uint8_t> piMask(n), delivered(n), shifted(n), piShifted(n);
    std::vector<float> contour(n);
    p.piU8(kp.data(), piMask.data());
    lc.contourF32Canvas(kp.data(), contour.data());
    lc.deliveredU8(kp.data(), p, delivered.data());
    bool anyLit = false;
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(delivered[i], std::min(piMask[i], le::test::refByte(contour[i]))) << "frame " << f << " pixel " << i;
      anyLit = anyLit || delivered[i];
    }
    const double canon[2] = {60.25, 70.75};
    int dy = 0, dx = 0, pdy = 0, pdx = 0;
    const bool ok = lc.deliveredU8AndShift(kp.data(), p, canon, shifted.data(), &dy, &dx);
    const bool pok = p.piU8AndShift(kp.data(), canon, piShifted.data(), &pdy, &pdx);
    EXPECT_EQ(shifted, delivered) << f;
    EXPECT_EQ(std::make_pair(dy, dx), std::make_pair(pdy, pdx)) << f;
    EXPECT_EQ(ok, pok && anyLit) << f;
    withShift += ok;
  }
  EXPECT_GT(withShift, 10);  // the sweep reaches the mask, not just empty frames
  EXPECT_THROW(lc.deliveredU8(mouthKp(0, 0, .1f, .12f).data(), le::test::piV2(64), nullptr), std::runtime_error);  // canvas mismatch
}

TEST(LipContourMask, ShrinkInPlaceClampsCallerBoxes) {
  const LipContour lc = LipContour::fromTemplateJson(tpl(), 160);
  const std::vector<float> kp = squareLips();  // contour box 64..97 both ways
  std::vector<float> contour(160 * 160);
  lc.contourF32Canvas(kp.data(), contour.data());
  const std::vector<std::pair<Box, bool>> cases = {
      {{60, 60, 100, 100}, true}, {{90, 90, 200, 200}, true}, {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, true},
      {{0, 0, 64, 160}, false},   {{97, 0, 160, 160}, false}, {{50, 50, 50, 50}, false},
  };
  for (const auto& [box, lit] : cases) {
    std::vector<uint8_t> mask(160 * 160, 200);
    EXPECT_EQ(lc.shrinkU8InPlace(kp.data(), box, mask.data()), lit) << box.x0 << "," << box.x1;
    for (int y = 0; y < 160; ++y)
      for (int x = 0; x < 160; ++x) {
        const bool inBox = x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
        const bool inContour = x >= 64 && x < 97 && y >= 64 && y < 97;
        const uint8_t want =
            !inBox ? 200 : inContour ? std::min<uint8_t>(200, le::test::refByte(contour[size_t(y * 160 + x)])) : 0;
        ASSERT_EQ(mask[size_t(y * 160 + x)], want) << x << "," << y;
      }
  }
}

}  // namespace
