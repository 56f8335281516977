// The band functions of the com.quillfin operators against the sampling rules
// written out in double precision, and their edge cases, on every vector target.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <limits>
#include <vector>

#include "le/render/le_custom_ops.h"
#include "render/warp_reference.h"

namespace {

// Where the compiler fuses a multiply-add the sample position may move by
// one float step (2^-18 below 64 pixels), which moves an output in [-1, 1]
// by at most twice that; anything beyond is a real difference.
constexpr double kRoundOff = 2e-5;

using le::test::maxRelError;
using le::test::randomFloats;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> gridFast(const std::vector<float>& x, const std::vector<float>& g, int C, int H, int W) {
  std::vector<float> y(x.size(), -7.f);
  le::gridsample_fast(x.data(), g.data(), y.data(), C, H, W);
  return y;
}

std::vector<float> warp(const std::vector<float>& x, const std::vector<float>& g, int H, int W) {
  std::vector<float> y(x.size(), -7.f);
  le::warpDirector(x.data(), g.data(), y.data(), W, H);
  return y;
}

// A grid with every output pixel sampling the same (gx, gy).
std::vector<float> uniformGrid(int H, int W, float gx, float gy) {
  std::vector<float> g(static_cast<size_t>(H) * W * 2);
  for (size_t i = 0; i < g.size(); i += 2) g[i] = gx, g[i + 1] = gy;
  return g;
}

TEST(GridSampleFastBand, CornersAndCentre) {
  const int C = 2, H = 5, W = 7;
  const auto x = randomFloats(C * H * W, -1, 1, 1);
  for (int c = 0; c < C; ++c) {
    const float* p = &x[c * H * W];
    // (-1, -1) is half a pixel outside the top-left corner: border gives X[0, 0].
    EXPECT_FLOAT_EQ(gridFast(x, uniformGrid(H, W, -1, -1), C, H, W)[c * H * W + 9], p[0]);
    EXPECT_FLOAT_EQ(gridFast(x, uniformGrid(H, W, 1, 1), C, H, W)[c * H * W + 3], p[H * W - 1]);
  }
  const std::vector<float> four = {1, 2, 3, 10};
  EXPECT_FLOAT_EQ(gridFast(four, uniformGrid(2, 2, 0, 0), 1, 2, 2)[1], 4.f);
}

TEST(GridSampleFastBand, MatchesTheRuleOnRandomAndFarGrids) {
  struct Case { int C, H, W; float lo, hi; };
  for (const Case k : {Case{3, 37, 29, -1.2f, 1.2f}, Case{5, 16, 16, -40, 40}, Case{1, 1, 1, -3, 3},
                       Case{2, 1, 9, -2, 2}, Case{4, 11, 1, -2, 2}, Case{32, 8, 8, -1e5f, 1e5f}}) {
    const auto x = randomFloats(static_cast<size_t>(k.C) * k.H * k.W, -1, 1, 2);
    const auto g = randomFloats(static_cast<size_t>(k.H) * k.W * 2, k.lo, k.hi, 3);
    EXPECT_LT(maxRelError(gridFast(x, g, k.C, k.H, k.W), le::test::refGridSample(x, g, 1, k.C, k.H, k.W)), kRoundOff)
        << k.C << "x" << k.H << "x" << k.W;
  }
}

// Positions beyond every integer type and non-finite ones land on the border.
TEST(GridSampleFastBand, HugeInfAndNaNCoordinatesSampleTheBorder) {
  const int C = 2, H = 3, W = 7;
  const auto x = randomFloats(C * H * W, -1, 1, 4);
  const float specials[] = {3.3e9f, -3.3e9f, 1e38f, -1e38f, kInf, -kInf, kNaN};
  std::vector<float> g;
  for (float a : specials)
    for (float b : specials) g.push_back(a), g.push_back(b);
  g.resize(static_cast<size_t>(H) * W * 2, 0.25f);
  const auto y = gridFast(x, g, C, H, W);
  EXPECT_LT(maxRelError(y, le::test::refGridSample(x, g, 1, C, H, W)), kRoundOff);
  // NaN reads like -inf: the first row / column.
  const auto nanX = gridFast(x, uniformGrid(H, W, kNaN, 1), C, H, W);
  for (int c = 0; c < C; ++c) EXPECT_EQ(nanX[c * H * W + 4], x[c * H * W + (H - 1) * W]);
}

TEST(GridSampleFastBand, BandsCoverExactlyTheirRows) {
  const int C = 3, H = 37, W = 5;
  const auto x = randomFloats(C * H * W, -1, 1, 5);
  const auto g = randomFloats(H * W * 2, -1.1f, 1.1f, 6);
  const auto whole = gridFast(x, g, C, H, W);
  std::vector<float> banded(x.size(), -7.f);
  // Out-of-range limits are clipped; an empty band writes nothing.
  le::gridsample_fast_band(x.data(), g.data(), banded.data(), C, H, W, -4, 16);
  le::gridsample_fast_band(x.data(), g.data(), banded.data(), C, H, W, 20, 20);
  le::gridsample_fast_band(x.data(), g.data(), banded.data(), C, H, W, 16, 32);
  for (int c = 0; c < C; ++c)
    for (int i = 32 * W; i < H * W; ++i) EXPECT_EQ(banded[c * H * W + i], -7.f);
  le::gridsample_fast_band(x.data(), g.data(), banded.data(), C, H, W, 32, 99);
  EXPECT_EQ(banded, whole);
}

TEST(WarpDirectorBand, MatchesTheCorrectedBilinearRule) {
  struct Case { int H, W; float lo, hi; };
  // Small images put most samples on the clamped-neighbourhood path; the wide
  // grids reach past every border, where A and B still come from the
  // unclamped fraction.
  for (const Case k : {Case{1, 1, -2, 2}, Case{2, 2, -1.5f, 1.5f}, Case{3, 5, -2, 2},
                       Case{40, 33, -1.05f, 1.05f}, Case{17, 19, -30, 30}, Case{6, 4, -1e4f, 1e4f}}) {
    const auto x = randomFloats(3 * k.H * k.W, -1, 1, 7);
    auto g = randomFloats(k.H * k.W * 2, k.lo, k.hi, 8);
    // Far out, A and B hang on the low bits of the position: quarter steps
    // keep every position exact whether or not a multiply-add is fused.
    if (k.hi > 100)
      for (float& v : g) v = std::round(v * 4.f) / 4.f;
    EXPECT_LT(maxRelError(warp(x, g, k.H, k.W), le::test::refWarpDirector(x, g, 1, k.H, k.W)), kRoundOff)
        << k.H << "x" << k.W;
  }
}

TEST(WarpDirectorBand, ConstantImageStaysConstant) {
  const int H = 21, W = 18;
  const std::vector<float> x(3 * H * W, 0.625f);
  for (const auto& g : {randomFloats(H * W * 2, -1.3f, 1.3f, 9), uniformGrid(H, W, 1, -1),
                        uniformGrid(H, W, 3.3e9f, kNaN)})
    for (float v : warp(x, g, H, W)) ASSERT_NEAR(v, 0.625f, 1e-6f);
}

TEST(WarpDirectorBand, NonFiniteAndHugeCoordinatesStayFinite) {
  const int H = 4, W = 7;
  const auto x = randomFloats(3 * H * W, -1, 1, 10);
  const float specials[] = {3.3e9f, -3.3e9f, 1e38f, kInf, -kInf, kNaN, 0.3f};
  std::vector<float> g;
  for (float a : specials)
    for (float b : specials) g.push_back(a), g.push_back(b);
  g.resize(static_cast<size_t>(H) * W * 2, 0.f);
  const auto y = warp(x, g, H, W);
  for (float v : y) ASSERT_TRUE(std::isfinite(v));
  EXPECT_LT(maxRelError(y, le::test::refWarpDirector(x, g, 1, H, W)), kRoundOff);
}

TEST(WarpDirectorBand, BandsCoverExactlyTheirRows) {
  const int H = 19, W = 6;
  const auto x = randomFloats(3 * H * W, -1, 1, 11);
  const auto g = randomFloats(H * W * 2, -1.1f, 1.1f, 12);
  const auto whole = warp(x, g, H, W);
  std::vector<float> banded(x.size(), -7.f);
  le::warpDirectorBand(x.data(), g.data(), banded.data(), W, H, -1, 16);
  for (int c = 0; c < 3; ++c)
    for (int i = 16 * W; i < H * W; ++i) EXPECT_EQ(banded[c * H * W + i], -7.f);
  le::warpDirectorBand(x.data(), g.data(), banded.data(), W, H, 16, 1000);
  EXPECT_EQ(banded, whole);
}

// Every compiled vector target, with widths that leave partial vectors and
// partial chunks, against the rules.
TEST(CustomOpBands, EveryVectorTargetFollowsTheRules) {
  struct Case { int H, W; };
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    for (const Case k : {Case{5, 3}, Case{4, 21}, Case{3, 300}, Case{19, 17}}) {
      const auto x = randomFloats(4 * k.H * k.W, -1, 1, 13);
      auto g = randomFloats(k.H * k.W * 2, -1.2f, 1.2f, 14);
      g[0] = kNaN, g[3] = kInf, g[5] = -3.3e9f;
      EXPECT_LT(maxRelError(gridFast(x, g, 4, k.H, k.W), le::test::refGridSample(x, g, 1, 4, k.H, k.W)),
                kRoundOff)
          << hwy::TargetName(target) << " " << k.H << "x" << k.W;
      const std::vector<float> x3(x.begin(), x.begin() + 3 * k.H * k.W);
      EXPECT_LT(maxRelError(warp(x3, g, k.H, k.W), le::test::refWarpDirector(x3, g, 1, k.H, k.W)), kRoundOff)
          << hwy::TargetName(target) << " " << k.H << "x" << k.W;
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
