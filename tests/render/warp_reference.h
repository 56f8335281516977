// Double-precision transcriptions of the sampling rules, written straight
// from their definitions (no factoring, no fast path), for the tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace le::test {

// Where the compiler fuses a multiply-add the sample position may move by
// one float step (2^-18 below 64 pixels), which moves an output in [-1, 1]
// by at most twice that; anything beyond is a real difference.
constexpr double kRoundOff = 2e-5;

// Pixel position of a grid coordinate along an axis of n samples. The rule is
// float arithmetic: far from the image a double position would carry a
// different fraction. Then clamped into the image the way border padding
// does (NaN counts as -inf).
inline double refPosition(float g, int n) {
  const float scaled = (g + 1.f) * static_cast<float>(n);
  return static_cast<double>((scaled - 1.f) / 2.f);
}
inline double refClamp(double p, int n) {
  if (std::isnan(p)) return 0.0;
  return std::clamp(p, 0.0, static_cast<double>(n - 1));
}
inline double refFraction(double p) {
  if (!std::isfinite(p)) return 0.0;
  return p - std::floor(p);
}

// Bilinear, border, align_corners 0; out has the input's size.
inline std::vector<float> refGridSample(const std::vector<float>& x, const std::vector<float>& grid, int N, int C, int H, int W) {
  std::vector<float> y(x.size());
  for (int n = 0; n < N; ++n)
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        const float* g = &grid[((static_cast<size_t>(n) * H + r) * W + c) * 2];
        const double px = refClamp(refPosition(g[0], W), W), py = refClamp(refPosition(g[1], H), H);
        const int x0 = static_cast<int>(std::floor(px)), y0 = static_cast<int>(std::floor(py));
        const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
        const double fx = px - x0, fy = py - y0;
        for (int ch = 0; ch < C; ++ch) {
          const float* p = &x[(static_cast<size_t>(n) * C + ch) * H * W];
          const double v = (1 - fx) * (1 - fy) * p[y0 * W + x0] + fx * (1 - fy) * p[y0 * W + x1] +
                           (1 - fx) * fy * p[y1 * W + x0] + fx * fy * p[y1 * W + x1];
          y[((static_cast<size_t>(n) * C + ch) * H + r) * W + c] = static_cast<float>(v);
        }
      }
  return y;
}

// The corrected warp: S(v) - A S(Dxx) - B S(Dyy) + A B S(Dxxyy) over the four
// bilinear corners, each second difference read with clamped indices.
inline std::vector<float> refWarpDirector(const std::vector<float>& x, const std::vector<float>& grid, int N, int H, int W) {
  std::vector<float> y(x.size());
  for (int n = 0; n < N; ++n)
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        const float* g = &grid[((static_cast<size_t>(n) * H + r) * W + c) * 2];
        const double ux = refPosition(g[0], W), uy = refPosition(g[1], H);
        const double fx = refFraction(ux), fy = refFraction(uy);
        const double A = fx * (1 - fx) / 2, B = fy * (1 - fy) / 2;
        const double px = refClamp(ux, W), py = refClamp(uy, H);
        const int x0 = static_cast<int>(std::floor(px)), y0 = static_cast<int>(std::floor(py));
        const int xs[2] = {x0, std::min(x0 + 1, W - 1)}, ys[2] = {y0, std::min(y0 + 1, H - 1)};
        const double wx[2] = {1 - (px - x0), px - x0}, wy[2] = {1 - (py - y0), py - y0};
        for (int ch = 0; ch < 3; ++ch) {
          const float* p = &x[(static_cast<size_t>(n) * 3 + ch) * H * W];
          auto at = [&](int yy, int xx) -> double {
            return p[std::clamp(yy, 0, H - 1) * W + std::clamp(xx, 0, W - 1)];
          };
          auto dxx = [&](int yy, int xx) { return at(yy, xx - 1) - 2 * at(yy, xx) + at(yy, xx + 1); };
          double sv = 0, sxx = 0, syy = 0, sxxyy = 0;
          for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) {
              const int yy = ys[j], xx = xs[i];
              const double w = wx[i] * wy[j];
              sv += w * at(yy, xx);
              sxx += w * dxx(yy, xx);
              syy += w * (at(yy - 1, xx) - 2 * at(yy, xx) + at(yy + 1, xx));
              // The row above/below of a clamped index is clamped again.
              const int up = std::clamp(yy - 1, 0, H - 1), dn = std::clamp(yy + 1, 0, H - 1);
              sxxyy += w * (dxx(up, xx) - 2 * dxx(yy, xx) + dxx(dn, xx));
            }
          y[((static_cast<size_t>(n) * 3 + ch) * H + r) * W + c] =
              static_cast<float>(sv - A * sxx - B * syy + A * B * sxxyy);
        }
      }
  return y;
}

inline std::vector<float> randomFloats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

// Largest |a - b| / (1 + |b|); NaN anywhere counts as infinitely far.
inline double maxRelError(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  double m = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double e = std::fabs(static_cast<double>(a[i]) - b[i]) / (1.0 + std::fabs(b[i]));
    if (!(e <= m)) m = std::isnan(e) ? INFINITY : e;
  }
  return m;
}

}  // namespace le::test
