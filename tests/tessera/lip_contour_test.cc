// The lip contour: every template refusal, the constructor and map checks,
// hand-computed feather values, a collapsed polygon, hostile vertices, and
// the delivered masks against the pi mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_json.h"
#include "le/tessera/tessera_pi.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;

constexpr int kLips[6] = {6, 12, 14, 17, 19, 20};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// A template with the given members replacing or joining the defaults
// (format, canvas 160, feather 4, a 4-vertex square, lip_idx the six rows).
std::string tpl(const std::string& extra = "", const std::vector<std::string>& drop = {}) {
  std::vector<std::pair<std::string, std::string>> m = {
      {"format", "\"lip-template-v1\""},
      {"canvas", "160"},
      {"feather_px", "4"},
      {"u_canon", "[[-1,-1],[1,-1],[1,1],[-1,1]]"},
      {"lip_idx", "[6,12,14,17,19,20]"}};
  std::string s = "{";
  for (const auto& [k, v] : m)
    if (std::find(drop.begin(), drop.end(), k) == drop.end()) s += "\"" + k + "\":" + v + ",";
  s += extra;
  if (s.back() == ',') s.pop_back();
  return s + "}";
}

// A lip map for the 4-vertex square over k anchors: W all `w`, b all 0.
std::string map(int k = 2, double w = 0.1, const std::string& extra = "") {
  std::string idx = "[", row = "[", W = "[", b = "[";
  for (int i = 0; i < k; ++i) idx += (i ? "," : "") + std::to_string(kLips[i % 6]);
  for (int i = 0; i < 2 * k; ++i) row += (i ? "," : "") + std::to_string(w);
  for (int i = 0; i < 8; ++i) W += (i ? "," : "") + row + "]", b += (i ? "," : "") + std::string("0");
  return "\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":" + idx +
         "],\"W\":" + W + "],\"b\":" + b + "]" + extra + "}";
}

TEST(LipTemplate, RefusalsInOrder) {
  const std::string h = "lip_template.v1.json: ";
  const std::string mapOk = "\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\"";
  const std::string w8 = "\"W\":[[1,2],[1,2],[1,2],[1,2],[1,2],[1,2],[1,2],[1,2]]";
  const std::string b8 = "\"b\":[0,0,0,0,0,0,0,0]";
  struct Case {
    std::string text;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"{\"format\":", h + "is not parseable JSON (teeth: lip_template.v1.json is not readable JSON: "
                           "teeth: JSON truncated)"},
      {"[1]", h + "is not a JSON object"},
      {tpl("", {"format"}), h + "carries no string `format`"},
      {tpl("\"format\":2", {"format"}), h + "carries no string `format`"},
      {tpl("\"format\":\"lip-template-v2\"", {"format"}),
       h + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
      {tpl("\"edge\":\"inward\""),
       h + "declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a mask "
           "this runtime does not compute"},
      {tpl("", {"canvas"}), h + "carries no numeric `canvas`"},
      {tpl("\"canvas\":1e300", {"canvas"}),
       h + "was baked on a 1e+300 canvas but this bundle composes on 160 — refusing to deform a "
           "polygon onto a canvas it does not name"},
      {tpl("", {"feather_px"}), h + "carries no numeric `feather_px`"},
      {tpl("\"feather_px\":0", {"feather_px"}), h + "declares feather_px 0.000000, which is not positive"},
      {tpl("\"feather_px\":1e-300", {"feather_px"}), h + "declares feather_px 0.000000, which is not positive"},
      {tpl("\"feather_px\":160.5", {"feather_px"}),
       h + "declares feather_px 160.500000, wider than the 160 px canvas"},
      {tpl("\"u_canon\":[]", {"u_canon"}), h + "carries no non-empty `u_canon` array"},
      {tpl("\"u_canon\":[[0,0],[1]]", {"u_canon"}),
       h + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {tpl("\"u_canon\":[[0,0],[1,\"x\"]]", {"u_canon"}),
       h + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {tpl("\"u_canon\":[3]", {"u_canon"}), h + "u_canon row 0 is not a 2-vector — this is not an nv x 2 template"},
      {tpl("\"lip_idx\":[]", {"lip_idx"}), h + "carries a `lip_idx` that is not a non-empty array"},
      {tpl("\"lip_idx\":[6,21]", {"lip_idx"}), h + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {tpl("\"lip_idx\":[-3]", {"lip_idx"}), h + "lip_idx names keypoint row -3, and a kd row is 0..20"},
      {tpl("\"lip_idx\":[1e300]", {"lip_idx"}), h + "lip_idx names keypoint row 1e+300, and a kd row is 0..20"},
      {tpl("\"lip_map\":[]"), h + "lip_map is not a JSON object"},
      {tpl("\"lip_map\":{\"schema\":\"lip-map-v2\"}"),
       h + "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — this runtime cannot evaluate it"},
      {tpl("\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"affine\"}"), h + "lip_map kind is not 'anchor-linear'"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[]}"), h + "lip_map lip_idx is not 1..8 kd rows"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[1,2,3,4,5,6,7,8,9]}"), h + "lip_map lip_idx is not 1..8 kd rows"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6.5]}"), h + "lip_map lip_idx names a row outside 0..20"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[21]}"), h + "lip_map lip_idx names a row outside 0..20"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6],\"W\":[]}"), h + "lip_map carries no W/b arrays"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6]," + w8 + ",\"b\":{}}"), h + "lip_map carries no W/b arrays"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6]," + w8 + ",\"b\":[0,0,0,0,0,0,0]}"),
       h + "lip_map W/b have 8/7 rows, not 2*nv=8"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6],\"W\":[[1,2]]," + b8 + "}"),
       h + "lip_map W/b have 1/8 rows, not 2*nv=8"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6,12]," + w8 + "," + b8 + "}"),
       h + "lip_map W row 0 is not 4 wide"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6],\"W\":[[1,2],[1,2],[1,2],3,[1,2],[1,2],[1,2],[1,2]]," + b8 + "}"),
       h + "lip_map W row 3 is not 2 wide"},
      {tpl("\"lip_map\":{" + mapOk + ",\"lip_idx\":[6],\"W\":[[1,2],[1,2],[1,null],[1,2],[1,2],[1,2],[1,2],[1,2]]," + b8 + "}"),
       h + "lip_map carries a non-finite coefficient"},
      {tpl(map(2, 0.1, ",\"canvas\":512")), h + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(le::test::errorOf([&] { LipContour::fromTemplateJson(c.text, 160); }), c.want) << c.text;
}

TEST(LipTemplate, AcceptedForms) {
  struct Case {
    std::string text;
    int nv;
    std::vector<int32_t> idx;
    int mapCols;
  };
  const std::vector<Case> cases = {
      {tpl(), 4, {6, 12, 14, 17, 19, 20}, 0},
      {tpl("\"edge\":\"outward\",\"canvas\":160.9,\"lip_idx\":[6.9,-0.5,20.2]", {"lip_idx", "canvas"}), 4, {6, 0, 20}, 0},
      {tpl("\"feather_px\":160", {"feather_px"}), 4, {6, 12, 14, 17, 19, 20}, 0},
      {tpl(map(1, 0.5)), 4, {6}, 2},
      {tpl(map(8, 0.5, ",\"canvas\":160")), 4, {6, 12, 14, 17, 19, 20, 6, 12}, 16},
  };
  for (const auto& c : cases) {
    const LipContour lc = LipContour::fromTemplateJson(c.text, 160);
    EXPECT_EQ(lc.nv(), c.nv) << c.text;
    EXPECT_EQ(lc.lipIdx(), c.idx) << c.text;
    EXPECT_EQ(lc.mapCols(), c.mapCols) << c.text;
    EXPECT_EQ(lc.canvas(), 160);
  }
}

TEST(LipContourCtor, RefusalsAndMapChecks) {
  const double u[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
  const int idx[2] = {6, 12}, bad[2] = {6, 21}, neg[1] = {-1};
  const std::string h = "lip_template.v1.json: ";
  struct Case {
    int canvas;
    float feather;
    const double* u;
    int nv;
    const int* idx;
    int n;
    std::string want;
  };
  const std::vector<Case> cases = {
      {160, 4, u, 4, idx, 2, "(no error)"},
      {0, 4, u, 4, idx, 2, h + "canvas 0 is not a render size within 1..8192"},
      {8193, 4, u, 4, idx, 2, h + "canvas 8193 is not a render size within 1..8192"},
      {160, 0, u, 4, idx, 2, h + "declares feather_px 0.000000, which is not positive"},
      {160, kNaN, u, 4, idx, 2, h + "declares feather_px nan, which is not positive"},
      {160, 161, u, 4, idx, 2, h + "declares feather_px 161.000000, wider than the 160 px canvas"},
      {160, 4, nullptr, 4, idx, 2, h + "carries no non-empty `u_canon` array"},
      {160, 4, u, 0, idx, 2, h + "carries no non-empty `u_canon` array"},
      {160, 4, u, 4, idx, 0, h + "carries a `lip_idx` that is not a non-empty array"},
      {160, 4, u, 4, bad, 2, h + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {160, 4, u, 4, neg, 1, h + "lip_idx names keypoint row -1, and a kd row is 0..20"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(le::test::errorOf([&] { LipContour(c.canvas, c.feather, c.u, c.nv, c.idx, c.n); }), c.want)
        << c.canvas << " " << c.feather;

  LipContour lc(160, 4, u, 4, idx, 2);
  std::vector<double> W(8 * 4, 0.1), b(8, 0.0);
  const int k2[2] = {6, 12}, k9[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, kBad[2] = {6, 22};
  const std::string shape = h + "lip_map shape does not match the template";
  struct MapCase {
    int rows, cols;
    const int* idx;
    int k;
    std::string want;
  };
  const std::vector<MapCase> maps = {
      {7, 4, k2, 2, shape},  {8, 3, k2, 2, shape}, {8, 4, k2, 0, shape},  {8, 18, k9, 9, shape},
      {8, 4, nullptr, 2, shape}, {8, 4, kBad, 2, h + "lip_map lip_idx names a row outside 0..20"},
  };
  for (const auto& m : maps)
    EXPECT_EQ(le::test::errorOf([&] { lc.attachMap(W.data(), b.data(), m.rows, m.cols, m.idx, m.k); }), m.want)
        << m.rows << "x" << m.cols;
  W[5] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(le::test::errorOf([&] { lc.attachMap(W.data(), b.data(), 8, 4, k2, 2); }),
            h + "lip_map carries a non-finite coefficient");
  W[5] = 0.1;
  b[7] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(le::test::errorOf([&] { lc.attachMap(W.data(), b.data(), 8, 4, k2, 2); }),
            h + "lip_map carries a non-finite coefficient");
  EXPECT_EQ(lc.mapCols(), 0);  // refused maps leave the contour as it was
  b[7] = 0;
  lc.attachMap(W.data(), b.data(), 8, 4, k2, 2);
  EXPECT_EQ(lc.mapCols(), 4);
}

// Lip rows at x = -0.125, 0, 0.125 and y = -/+0.125: on a 160 canvas the
// anchors span 70..90, mean 80, extents 10 (pixels).
std::vector<float> squareLips(float shift = 0.f) {
  std::vector<float> kp(63, 0.f);
  const float xs[6] = {-0.125f, 0.f, 0.125f, -0.125f, 0.f, 0.125f};
  for (int i = 0; i < 6; ++i) {
    kp[size_t(3 * kLips[i])] = xs[i] + shift;
    kp[size_t(3 * kLips[i] + 1)] = i < 3 ? -0.125f : 0.125f;
  }
  return kp;
}

TEST(LipContourMask, SquareHandValues) {
  const LipContour lc = LipContour::fromTemplateJson(tpl(), 160);
  const std::vector<float> kp = squareLips();
  double poly[8];
  lc.polygon(kp.data(), poly);
  EXPECT_EQ(std::vector<double>(poly, poly + 8), (std::vector<double>{70, 70, 90, 70, 90, 90, 70, 90}));
  const Box b = lc.box(poly);
  // g = 4 + 2: floor(70 - 6) = 64; ceil(90 + 6) + 1 = 97.
  EXPECT_EQ((std::vector<int>{b.x0, b.y0, b.x1, b.y1}), (std::vector<int>{64, 64, 97, 97}));
  std::vector<uint8_t> fill(size_t(b.width()) * size_t(b.height()));
  lc.fillScanline(poly, b, fill.data());
  int lit = 0;
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x) {
      const bool inside = x + 64 >= 70 && x + 64 <= 90 && y + 64 >= 70 && y + 64 <= 90;
      EXPECT_EQ(fill[size_t(y * b.width() + x)], inside ? 255 : 0) << x + 64 << "," << y + 64;
      lit += inside;
    }
  EXPECT_EQ(lit, 21 * 21);
  std::vector<float> canvas(160 * 160, -1.f);
  lc.contourF32Canvas(kp.data(), canvas.data());
  struct Px {
    int x, y;
    float want;  // smoothstep(1 - d / 4) with d from the chamfer steps
  };
  const std::vector<Px> px = {{90, 70, 1.f}, {92, 80, 0.5337272f}, {92, 92, 0.2356165f}, {95, 80, 0.f}};
  for (const auto& p : px) EXPECT_NEAR(canvas[size_t(p.y * 160 + p.x)], p.want, 1e-5) << p.x << "," << p.y;
}

// Anchors far off the canvas, huge maps and non-finite anchors: nothing is
// written outside the canvas and the masks stay within [0, 1].
TEST(LipContourMask, HostileFramesStayInsideTheCanvas) {
  const std::string m = "\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":[6,17],"
                        "\"W\":[[1e12,0,0,0],[0,0,0,-1e12],[0,0,0,0],[0,0,0,0],[0,0,0,0],[0,0,0,0],[1e12,0,0,0],[0,0,0,0]],"
                        "\"b\":[0,0,0,0,0,0,0,0]}";
  const std::vector<LipContour> contours = {LipContour::fromTemplateJson(tpl(), 160),
                                            LipContour::fromTemplateJson(tpl(m), 160)};
  std::vector<std::vector<float>> frames = {squareLips(5.f), squareLips(-40.f), squareLips(0.999f)};
  std::vector<float> huge = squareLips();
  huge[3 * 6] = 3e38f;
  huge[3 * 17 + 1] = -3e38f;
  frames.push_back(huge);
  std::vector<float> nan = squareLips();
  nan[3 * 6 + 1] = kNaN;  // an anchor of both contours
  frames.push_back(nan);
  std::vector<float> spread = squareLips();
  spread[3 * 6] = -1.5f, spread[3 * 20] = 1.6f, spread[3 * 17 + 1] = 2.f;
  frames.push_back(spread);
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],"
      "\"lip_geom_params\":[0.1,0.08,0.074]}}}",
      160);
  const size_t n = 160 * 160;
  for (size_t c = 0; c < contours.size(); ++c)
    for (size_t f = 0; f < frames.size(); ++f) {
      SCOPED_TRACE("contour " + std::to_string(c) + " frame " + std::to_string(f));
      std::vector<float> canvas(n + 16, -7.f);
      contours[c].contourF32Canvas(frames[f].data(), canvas.data());
      for (size_t i = n; i < n + 16; ++i) ASSERT_EQ(canvas[i], -7.f);
      for (size_t i = 0; i < n; ++i) ASSERT_TRUE(canvas[i] >= 0.f && canvas[i] <= 1.f) << i;
      std::vector<uint8_t> out(n + 16, 0xA5);
      contours[c].deliveredU8(frames[f].data(), pi, out.data());
      for (size_t i = n; i < n + 16; ++i) ASSERT_EQ(out[i], 0xA5);
      double poly[8];
      contours[c].polygon(frames[f].data(), poly);
      const Box b = contours[c].box(poly);
      ASSERT_TRUE(b.x0 >= 0 && b.x1 <= 160 && b.y0 >= 0 && b.y1 <= 160 && b.x0 <= b.x1 && b.y0 <= b.y1);
      if (f == 4) {
        EXPECT_TRUE(b.empty());  // non-finite anchor
      }
    }
}

// Frames of a mouth at many places; the delivered mask is the pi mask
// limited by the contour as bytes, and the shifting form keeps pi's shift.
TEST(LipContourMask, DeliveredIsMinOfPiAndContour) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],"
      "\"lip_geom_params\":[0.1,0.08,0.074]}}}",
      128);
  // A lip-shaped 12-gon over the six rows.
  std::string u = "[";
  for (int i = 0; i < 12; ++i) {
    const double t = 2 * M_PI * i / 12;
    u += (i ? "," : "") + std::string("[") + std::to_string(1.1 * std::cos(t)) + "," +
         std::to_string(1.3 * std::sin(t)) + "]";
  }
  const LipContour lc = LipContour::fromTemplateJson(
      tpl("\"canvas\":128,\"feather_px\":3.5,\"u_canon\":" + u + "]", {"canvas", "feather_px", "u_canon"}), 128);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> pos(-1.2f, 1.2f), half(0.f, 0.25f), ap(0.f, 0.06f);
  const size_t n = 128 * 128;
  int withShift = 0;
  for (int f = 0; f < 40; ++f) {
    std::vector<float> kp(63, 0.f);
    const float cx = pos(rng), cy = pos(rng), hw = half(rng), a = ap(rng);
    const float xs[6] = {cx - hw, cx, cx + hw, cx - hw, cx, cx + hw};
    const float ys[6] = {cy - a, cy - 1.2f * a, cy - a, cy + a, cy + 1.2f * a, cy + a};
    for (int i = 0; i < 6; ++i) kp[size_t(3 * kLips[i])] = xs[i], kp[size_t(3 * kLips[i] + 1)] = ys[i];
    std::vector<uint8_t> piMask(n), delivered(n), shifted(n), piShifted(n);
    std::vector<float> contour(n);
    pi.piU8(kp.data(), piMask.data());
    lc.contourF32Canvas(kp.data(), contour.data());
    lc.deliveredU8(kp.data(), pi, delivered.data());
    bool anyLit = false;
    for (size_t i = 0; i < n; ++i) {
      const float c = contour[i];
      const uint8_t cb = c > 0.f ? uint8_t(std::nearbyint(std::min(c, 1.f) * 255.f)) : 0;
      ASSERT_EQ(delivered[i], std::min(piMask[i], cb)) << "frame " << f << " pixel " << i;
      anyLit = anyLit || delivered[i];
    }
    const double canon[2] = {60.25, 70.75};
    int dy = 0, dx = 0, pdy = 0, pdx = 0;
    const bool ok = lc.deliveredU8AndShift(kp.data(), pi, canon, shifted.data(), &dy, &dx);
    const bool pok = pi.piU8AndShift(kp.data(), canon, piShifted.data(), &pdy, &pdx);
    EXPECT_EQ(shifted, delivered) << f;
    EXPECT_EQ(dy, pdy);
    EXPECT_EQ(dx, pdx);
    EXPECT_EQ(ok, pok && anyLit) << f;
    withShift += ok;
  }
  EXPECT_GT(withShift, 10);  // the sweep reaches the mask, not just empty frames
  EXPECT_THROW(lc.deliveredU8(nullptr, UnifiedPi::fromManifestJson(
                                           "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,"
                                           "\"lip_idx\":[6],\"lip_geom_params\":[0,0,0]}}}",
                                           64),
                              nullptr),
               std::runtime_error);
}

TEST(LipContourMask, ShrinkInPlace) {
  const LipContour lc = LipContour::fromTemplateJson(tpl(), 160);
  const std::vector<float> kp = squareLips();  // contour box 64..97 both ways
  std::vector<float> contour(160 * 160);
  lc.contourF32Canvas(kp.data(), contour.data());
  struct Case {
    Box box;
    bool lit;
  };
  const std::vector<Case> cases = {
      {{60, 60, 100, 100}, true},   {{0, 0, 160, 160}, true},   {{90, 90, 200, 200}, true},
      {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, true}, {{0, 0, 64, 160}, false}, {{100, 0, 160, 160}, false},
      {{50, 50, 50, 50}, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> mask(160 * 160, 200);
    EXPECT_EQ(lc.shrinkU8InPlace(kp.data(), c.box, mask.data()), c.lit) << c.box.x0 << "," << c.box.x1;
    for (int y = 0; y < 160; ++y)
      for (int x = 0; x < 160; ++x) {
        const bool inBox = x >= c.box.x0 && x < c.box.x1 && y >= c.box.y0 && y < c.box.y1;
        const bool inContour = x >= 64 && x < 97 && y >= 64 && y < 97;
        const float v = contour[size_t(y * 160 + x)];
        const uint8_t cb = v > 0.f ? uint8_t(std::nearbyint(std::min(v, 1.f) * 255.f)) : 0;
        const uint8_t want = !inBox ? 200 : inContour ? std::min<uint8_t>(200, cb) : 0;
        ASSERT_EQ(mask[size_t(y * 160 + x)], want) << x << "," << y;
      }
  }
}

// Buffers are reused: a small box after a large one, and the other way, give
// what a fresh contour gives.
TEST(LipContourMask, ReusedBuffersDoNotLeak) {
  const LipContour shared = LipContour::fromTemplateJson(tpl(), 160);
  const std::vector<std::vector<float>> frames = {squareLips(), squareLips(0.5f), squareLips(-0.9f)};
  std::vector<float> a(160 * 160), b(160 * 160);
  for (int round = 0; round < 2; ++round)
    for (const auto& kp : frames) {
      const LipContour fresh = LipContour::fromTemplateJson(tpl(), 160);
      shared.contourF32Canvas(kp.data(), a.data());
      fresh.contourF32Canvas(kp.data(), b.data());
      ASSERT_EQ(a, b);
    }
}

}  // namespace
