// The band functions of the com.quillfin operators against the sampling rules
// written out in double precision (render/warp_reference.h): a sweep of image
// shapes x grid kinds (inside, far outside, huge, infinite, NaN) x every
// compiled vector target, and bands covering exactly their rows.

#include <functional>
#include <limits>

#include "le/render/le_custom_ops.h"
#include "render/warp_reference.h"
#include "testkit/simd_each.h"

namespace le::test {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();

// Both operators as (x, grid, C, H, W, rows [r0, r1)) -> y, and their references.
using Band = std::function<void(const float*, const float*, float*, int, int, int, int, int)>;
const struct Op {
  const char* name;
  int channels;  // 0: any
  Band band;
  std::function<std::vector<float>(const std::vector<float>&, const std::vector<float>&, int, int, int)> ref;
} kOps[] = {
    {"GridSampleFast", 0, [](const float* x, const float* g, float* y, int C, int H, int W, int r0, int r1) { gridsample_fast_band(x, g, y, C, H, W, r0, r1); },
     [](const auto& x, const auto& g, int C, int H, int W) { return refGridSample(x, g, 1, C, H, W); }},
    {"WarpDirector", 3, [](const float* x, const float* g, float* y, int, int H, int W, int r0, int r1) { warpDirectorBand(x, g, y, W, H, r0, r1); },
     [](const auto& x, const auto& g, int, int H, int W) { return refWarpDirector(x, g, 1, H, W); }}};

std::vector<float> whole(const Op& op, const std::vector<float>& x, const std::vector<float>& g, int C, int H, int W) {
  std::vector<float> y(x.size(), -7.f);
  if (op.channels) warpDirector(x.data(), g.data(), y.data(), W, H);
  else gridsample_fast(x.data(), g.data(), y.data(), C, H, W);
  return y;
}

// Grid kinds: uniform in [-r, r] for a few ranges, every pair of special
// values, and quarter steps far out (where A and B hang on the low bits of the
// position, quarter steps keep every position exact fused or not).
std::vector<float> grid(int kind, int H, int W, uint32_t seed) {
  const size_t n = size_t(H) * W * 2;
  const float ranges[] = {1.05f, 1.2f, 2.f, 40.f};
  if (kind < 4) return randomFloats(n, -ranges[kind], ranges[kind], seed);
  if (kind == 5) {
    std::vector<float> g = randomFloats(n, -1e4f, 1e4f, seed);
    for (float& v : g) v = std::round(v * 4.f) / 4.f;
    return g;
  }
  const float specials[] = {3.3e9f, -3.3e9f, 2.2e10f, 1e38f, -1e38f, kInf, -kInf, kNaN, 0.3f, -1.f, 1.f};
  std::vector<float> g;
  for (size_t i = 0; g.size() < n; ++i) g.push_back(specials[i % 11]), g.push_back(specials[i / 11 % 11]);
  return g;
}

TEST(CustomOpBands, EveryShapeGridAndTargetFollowsTheRule) {
  // 1 x 1, single rows and columns, partial vectors and chunks, 300 wide.
  const int shapes[][2] = {{1, 1}, {2, 2}, {1, 9}, {11, 1}, {3, 5}, {5, 3}, {4, 21}, {16, 16}, {19, 17}, {37, 29}, {3, 300}};
  forEachTarget([&](const char*) {
    for (const Op& op : kOps)
      for (const auto& s : shapes)
        for (int kind = 0; kind < 6; ++kind) {
          const int C = op.channels ? op.channels : 1 + (s[0] + kind) % 5, H = s[0], W = s[1];
          const std::vector<float> x = randomFloats(size_t(C) * H * W, -1, 1, uint32_t(H * 31 + W));
          const std::vector<float> g = grid(kind, H, W, uint32_t(kind + 1));
          const std::vector<float> y = whole(op, x, g, C, H, W);
          ASSERT_LT(maxRelError(y, op.ref(x, g, C, H, W)), kRoundOff) << op.name << " " << H << "x" << W << " grid " << kind;
          for (float v : y) ASSERT_TRUE(!op.channels || std::isfinite(v)) << H << "x" << W << " grid " << kind;  // the warp: finite
        }
  });
}

TEST(CustomOpBands, BandsCoverExactlyTheirRows) {
  const int C = 3, H = 37, W = 5;
  const auto x = randomFloats(C * H * W, -1, 1, 5);
  const auto g = randomFloats(H * W * 2, -1.1f, 1.1f, 6);
  for (const Op& op : kOps) {
    std::vector<float> banded(x.size(), -7.f);
    // Out-of-range limits are clipped; an empty or inverted band writes nothing.
    for (auto [r0, r1] : {std::pair{-4, 16}, {20, 20}, {30, 25}, {16, 32}}) op.band(x.data(), g.data(), banded.data(), C, H, W, r0, r1);
    for (int c = 0; c < C; ++c)
      for (int i = 32 * W; i < H * W; ++i) ASSERT_EQ(banded[size_t(c * H * W + i)], -7.f) << op.name;
    op.band(x.data(), g.data(), banded.data(), C, H, W, 32, 99);
    EXPECT_EQ(banded, whole(op, x, g, C, H, W)) << op.name;
  }
}

}  // namespace
}  // namespace le::test
