// The compositor against a plain double-precision composite written here from
// the algorithm (no library code shared), on every compiled vector target,
// and the Lanczos row kernel's interior path against its border path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "le/paste/le_paste.h"
#include "le/paste/le_paste_simd.h"
#include "testkit/simd_each.h"
#include "testkit/testkit.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Case {
  int S = 0;
  le::Unsharp unsharp;
  std::vector<uint8_t> mask;
  std::vector<float> crop;  // planar R, G, B
  float M[6] = {};
  int W = 0, H = 0;
  std::vector<uint8_t> frame;
};

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// Keys cubic convolution kernel with a = -0.75.
double keys(double x) {
  const double a = -0.75, s = std::fabs(x);
  if (s <= 1.0) return (a + 2.0) * s * s * s - (a + 3.0) * s * s + 1.0;
  if (s < 2.0) return a * s * s * s - 5.0 * a * s * s + 8.0 * a * s - 4.0 * a;
  return 0.0;
}

// Tap offsets and weights for a fractional position t in [0, 1): Lanczos-4
// (normalised), Keys cubic, bilinear.
void weights(int mode, double t, std::vector<int>& off, std::vector<double>& w) {
  off.clear(), w.clear();
  double sum = 0.0;
  for (int o = mode == 0 ? -3 : mode == 1 ? -1 : 0; o <= (mode == 0 ? 4 : mode == 1 ? 2 : 1); ++o) {
    off.push_back(o);
    w.push_back(mode == 0 ? sinc(t - o) * sinc((t - o) / 4.0) : mode == 1 ? keys(t - o) : 1.0 - std::fabs(t - o));
    sum += w.back();
  }
  if (mode == 0)
    for (double& x : w) x /= sum;
}

std::vector<uint8_t> reference(const Case& c, int mode) {
  std::vector<uint8_t> out = c.frame;
  const int S = c.S, k = c.unsharp.ksize, h = (k - 1) / 2;
  const double amount = c.unsharp.amount, sigma = c.unsharp.sigma;

  std::vector<double> g(static_cast<size_t>(k));
  double gs = 0.0;
  for (int i = 0; i < k; ++i) gs += g[size_t(i)] = std::exp(-(i - h) * (i - h) / (2.0 * sigma * sigma));
  for (double& x : g) x /= gs;
  auto mirror = [S](int i) { return i < 0 ? -i : (i >= S ? 2 * (S - 1) - i : i); };

  std::vector<std::vector<double>> sharp(3, std::vector<double>(size_t(S * S)));
  for (int ch = 0; ch < 3; ++ch) {
    auto px = [&](int y, int x) { return 255.0 * c.crop[size_t((ch * S + y) * S + x)]; };
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        double blur = 0.0;
        for (int j = 0; j < k; ++j)
          for (int i = 0; i < k; ++i) blur += g[size_t(j)] * g[size_t(i)] * px(mirror(y + j - h), mirror(x + i - h));
        sharp[size_t(ch)][size_t(y * S + x)] = std::clamp((1.0 + amount) * px(y, x) - amount * blur, 0.0, 255.0);
      }
  }

  const double a = c.M[0], b = c.M[1], tx = c.M[2], d = c.M[3], e = c.M[4], ty = c.M[5];
  const double det = a * e - b * d;
  if (det == 0.0) return out;
  // The footprint: the crop grown by the filter reach, placed and clipped.
  double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
  for (double u : {-4.0, S + 3.0})
    for (double v : {-4.0, S + 3.0}) {
      x0 = std::min(x0, a * u + b * v + tx), x1 = std::max(x1, a * u + b * v + tx);
      y0 = std::min(y0, d * u + e * v + ty), y1 = std::max(y1, d * u + e * v + ty);
    }
  x0 = std::max(std::floor(x0), 0.0), y0 = std::max(std::floor(y0), 0.0);
  x1 = std::min(std::ceil(x1), c.W - 1.0), y1 = std::min(std::ceil(y1), c.H - 1.0);
  const double ia = e / det, ib = -b / det, id = -d / det, ie = a / det;
  const double tu = -(tx * ia + ty * ib), tv = -(tx * id + ty * ie);

  auto maskAt = [&](int64_t i, int64_t j) { return (i < 0 || j < 0 || i >= S || j >= S) ? 0.0 : c.mask[size_t(j * S + i)]; };
  std::vector<int> ox, oy;
  std::vector<double> wx, wy;
  for (int y = int(y0); y <= int(y1); ++y)
    for (int x = int(x0); x <= int(x1); ++x) {
      // Source position in 1/1024 steps: the row start and the column step rounded apart.
      const int64_t U = int64_t(std::nearbyint((y * ib + tu) * 1024.0)) + 16 + int64_t(std::nearbyint(x * ia * 1024.0));
      const int64_t V = int64_t(std::nearbyint((y * ie + tv) * 1024.0)) + 16 + int64_t(std::nearbyint(x * id * 1024.0));
      const int64_t iu = floorDiv(U, 1024), iv = floorDiv(V, 1024);
      if (iu < -1 || iv < -1 || iu >= S || iv >= S) continue;
      const double fu = (floorDiv(U, 32) - iu * 32) / 32.0, fv = (floorDiv(V, 32) - iv * 32) / 32.0;
      const double m = (1 - fv) * ((1 - fu) * maskAt(iu, iv) + fu * maskAt(iu + 1, iv)) +
                       fv * ((1 - fu) * maskAt(iu, iv + 1) + fu * maskAt(iu + 1, iv + 1));
      const double alpha = std::nearbyint(m) / 255.0;
      if (alpha <= 0.0) continue;
      weights(mode, fu, ox, wx);
      weights(mode, fv, oy, wy);
      for (int ch = 0; ch < 3; ++ch) {
        double L = 0.0;
        for (size_t r = 0; r < oy.size(); ++r)
          for (size_t q = 0; q < ox.size(); ++q) {
            const int64_t sx = iu + ox[q], sy = iv + oy[r];
            if (sx < 0 || sy < 0 || sx >= S || sy >= S) continue;
            L += wy[r] * wx[q] * sharp[size_t(ch)][size_t(sy * S + sx)];
          }
        uint8_t& F = out[(size_t(y) * c.W + x) * 3 + ch];
        F = uint8_t(std::floor(std::clamp(alpha * L + (1.0 - alpha) * F, 0.0, 255.0)));
      }
    }
  return out;
}

// A crop of side S, rotated and scaled, centred on (cx, cy) plus a sub-pixel
// shift; mask and colours random with solid runs.
Case makeCase(std::mt19937& rng, int S, int W, int H, double cx, double cy) {
  std::uniform_real_distribution<double> U01(0.0, 1.0);
  Case c{S, {}, std::vector<uint8_t>(size_t(S * S)), std::vector<float>(size_t(3 * S * S)), {}, W, H,
         std::vector<uint8_t>(size_t(W * H * 3))};
  c.unsharp.ksize = 3 + 2 * int(rng() % 6);
  c.unsharp.sigma = float(0.5 + 2.5 * U01(rng));
  c.unsharp.amount = float(2.0 * U01(rng));
  for (auto& m : c.mask) {
    const unsigned r = rng() % 3;
    m = r == 0 ? 0 : (r == 1 ? 255 : uint8_t(rng()));
  }
  for (auto& v : c.crop) v = float(-0.1 + 1.3 * U01(rng));
  for (auto& f : c.frame) f = uint8_t(rng());
  const double th = (2.0 * U01(rng) - 1.0) * kPi, s = 0.5 + 1.5 * U01(rng);
  const double a = s * std::cos(th), b = -s * std::sin(th), d = s * std::sin(th), e = s * std::cos(th);
  cx += U01(rng);
  cy += U01(rng);
  const double half = S / 2.0, M[6] = {a, b, cx - a * half - b * half, d, e, cy - d * half - e * half};
  for (int i = 0; i < 6; ++i) c.M[i] = float(M[i]);
  return c;
}

std::vector<Case> cases(unsigned seed) {
  std::mt19937 rng(seed);
  const int S = 40, W = 120, H = 100;
  std::vector<Case> out;
  // Hanging over each edge and each corner, then anywhere.
  const double at[][2] = {{0, 50}, {120, 50}, {60, 0}, {60, 100}, {0, 0}, {120, 100}, {60, 50}};
  for (const auto& p : at) out.push_back(makeCase(rng, S, W, H, p[0], p[1]));
  std::uniform_real_distribution<double> X(-30.0, 150.0), Y(-30.0, 130.0);
  for (int i = 0; i < 5; ++i) out.push_back(makeCase(rng, S, W, H, X(rng), Y(rng)));
  return out;
}

std::vector<uint8_t> runPaste(const Case& c) {
  le::Paste p(c.mask, c.S, c.unsharp);
  std::vector<uint8_t> frame = c.frame;
  p.composite(c.crop.data(), 255.0f, c.M, frame.data(), c.W, c.H);
  return frame;
}

// Every resampler on every target within one level of the reference, on
// placements hanging over each edge and corner and anywhere.
TEST(PasteTargets, EveryModeOnEveryTargetAgreesWithTheReference) {
  const le::test::ScopedEnv ks("LE_PASTE_KSIZE", std::nullopt);
  const std::vector<Case> all = cases(77);
  std::vector<std::vector<uint8_t>> want[3];
  for (int mode = 0; mode < 3; ++mode)
    for (const Case& c : all) want[mode].push_back(reference(c, mode));
  le::test::forEachTarget([&](const char*) {
    for (int mode = 0; mode < 3; ++mode) {
      const le::test::ScopedEnv fast("LE_PASTE_FAST", std::to_string(mode));
      int changed = 0;
      for (size_t i = 0; i < all.size(); ++i) {
        const std::vector<uint8_t> got = runPaste(all[i]);
        size_t at = 0;
        for (size_t k = 0; k < got.size(); ++k)
          if (std::abs(got[k] - want[mode][i][k]) > std::abs(got[at] - want[mode][i][at])) at = k;
        EXPECT_LE(std::abs(got[at] - want[mode][i][at]), 1)
            << "mode " << mode << " case " << i << " x " << at / 3 % size_t(all[i].W) << " y " << at / 3 / size_t(all[i].W);
        changed += got != all[i].frame;
      }
      EXPECT_GE(changed, 10) << mode;  // the placements really paste something
    }
  });
}

// The same pixels once near the edge of a crop (footprints partly outside:
// border path) and once with that crop embedded 8 samples deep in a larger
// zero crop (all 64 taps inside: interior path). Out-of-crop taps count zero
// in the first, and read real zeros in the second, so the two must agree.
TEST(PasteLanczos8Row, InteriorAndBorderPathsAgree) {
  le::Paste tables(std::vector<uint8_t>(1, 255), 1, le::Unsharp{0.0f, 1.0f, 1});
  const int S = 24, B = S + 16, W = 64;
  std::mt19937 rng(9);
  std::vector<float> small(size_t(S * S * 4)), big(size_t(B * B * 4), 0.0f);
  std::vector<uint8_t> maskS(size_t(S * S)), maskB(size_t(B * B), 0);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const size_t i = size_t(y * S + x), j = size_t((y + 8) * B + x + 8);
      maskS[i] = maskB[j] = uint8_t(128 + rng() % 128);
      for (int ch = 0; ch < 3; ++ch) small[4 * i + ch] = big[4 * j + ch] = float(rng() % 256);
    }
  // Row sweeps u from -2 to about S + 1 with a slope in v, phases varying.
  std::vector<int> colU(W), colV(W);
  for (size_t x = 0; x < size_t(W); ++x)
    colU[x] = int(std::lround((double(x) * 0.43 - 2.0) * 1024)), colV[x] = int(std::lround(double(x) * 0.05 * 1024));
  int interior = 0, border = 0;
  le::test::forEachTarget([&](const char*) {
    for (int row = -1; row < S; ++row) {
      const int bu = 16, bv = row * 1024 + 16 + 300;
      std::vector<uint8_t> a(size_t(W * 3), 90), b = a;
      le::simd::pasteLanczos8Row(small.data(), S, maskS.data(), tables.lanczos(), tables.bilinear(), colU.data(),
                                 colV.data(), bu, bv, 0, W - 1, a.data());
      le::simd::pasteLanczos8Row(big.data(), B, maskB.data(), tables.lanczos(), tables.bilinear(), colU.data(),
                                 colV.data(), bu + 8 * 1024, bv + 8 * 1024, 0, W - 1, b.data());
      for (int x = 0; x < W; ++x) {
        const int64_t iu = (int64_t{bu} + colU[static_cast<size_t>(x)]) >> 10;
        const int64_t iv = (int64_t{bv} + colV[static_cast<size_t>(x)]) >> 10;
        if (iu < -1 || iu >= S || iv < -1 || iv >= S) continue;
        (iu >= 3 && iv >= 3 && iu <= S - 5 && iv <= S - 5) ? ++interior : ++border;
        for (int ch = 0; ch < 3; ++ch) {
          const size_t i = static_cast<size_t>(x * 3 + ch);
          ASSERT_LE(std::abs(a[i] - b[i]), 1) << "row " << row << " x " << x << " iu " << iu;
        }
      }
      EXPECT_NE(a, std::vector<uint8_t>(static_cast<size_t>(W * 3), 90));
    }
  });
  EXPECT_GT(interior, 0);
  EXPECT_GT(border, 0);
}

}  // namespace
