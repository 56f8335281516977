// The compositor against a plain double-precision composite written here from
// the algorithm (no library code shared), on every compiled vector target,
// and the Lanczos row kernel's interior path against its border path.
#include <gtest/gtest.h>

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

// Tap weights for a fractional position t in [0, 1): offsets and weights.
void weights(int mode, double t, std::vector<int>& off, std::vector<double>& w) {
  off.clear();
  w.clear();
  if (mode == 0) {
    double sum = 0.0;
    for (int o = -3; o <= 4; ++o) {
      off.push_back(o);
      w.push_back(sinc(t - o) * sinc((t - o) / 4.0));
      sum += w.back();
    }
    for (double& x : w) x /= sum;
  } else if (mode == 1) {
    for (int o = -1; o <= 2; ++o) {
      off.push_back(o);
      w.push_back(keys(t - o));
    }
  } else {
    off = {0, 1};
    w = {1.0 - t, t};
  }
}

std::vector<uint8_t> reference(const Case& c, int mode) {
  std::vector<uint8_t> out = c.frame;
  const int S = c.S, k = c.unsharp.ksize, h = (k - 1) / 2;
  const double amount = c.unsharp.amount, sigma = c.unsharp.sigma;

  std::vector<double> g(static_cast<size_t>(k));
  double gs = 0.0;
  for (int i = 0; i < k; ++i) gs += g[static_cast<size_t>(i)] = std::exp(-(i - h) * (i - h) / (2.0 * sigma * sigma));
  for (double& x : g) x /= gs;
  auto mirror = [S](int i) { return i < 0 ? -i : (i >= S ? 2 * (S - 1) - i : i); };

  std::vector<std::vector<double>> sharp(3, std::vector<double>(static_cast<size_t>(S * S)));
  for (int ch = 0; ch < 3; ++ch) {
    auto px = [&](int y, int x) { return 255.0 * c.crop[static_cast<size_t>((ch * S + y) * S + x)]; };
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        double blur = 0.0;
        for (int j = 0; j < k; ++j)
          for (int i = 0; i < k; ++i)
            blur += g[static_cast<size_t>(j)] * g[static_cast<size_t>(i)] * px(mirror(y + j - h), mirror(x + i - h));
        const double v = (1.0 + amount) * px(y, x) - amount * blur;
        sharp[static_cast<size_t>(ch)][static_cast<size_t>(y * S + x)] = std::min(255.0, std::max(0.0, v));
      }
  }

  const double a = c.M[0], b = c.M[1], tx = c.M[2], d = c.M[3], e = c.M[4], ty = c.M[5];
  const double det = a * e - b * d;
  if (det == 0.0) return out;
  double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
  for (double u : {-4.0, S + 3.0})
    for (double v : {-4.0, S + 3.0}) {
      x0 = std::min(x0, a * u + b * v + tx);
      x1 = std::max(x1, a * u + b * v + tx);
      y0 = std::min(y0, d * u + e * v + ty);
      y1 = std::max(y1, d * u + e * v + ty);
    }
  x0 = std::max(std::floor(x0), 0.0);
  y0 = std::max(std::floor(y0), 0.0);
  x1 = std::min(std::ceil(x1), c.W - 1.0);
  y1 = std::min(std::ceil(y1), c.H - 1.0);
  const double ia = e / det, ib = -b / det, id = -d / det, ie = a / det;
  const double tu = -(tx * ia + ty * ib), tv = -(tx * id + ty * ie);

  auto maskAt = [&](int64_t i, int64_t j) {
    return (i < 0 || j < 0 || i >= S || j >= S) ? 0.0 : c.mask[static_cast<size_t>(j * S + i)];
  };
  std::vector<int> ox, oy;
  std::vector<double> wx, wy;
  for (int y = static_cast<int>(y0); y <= static_cast<int>(y1); ++y)
    for (int x = static_cast<int>(x0); x <= static_cast<int>(x1); ++x) {
      const int64_t U = static_cast<int64_t>(std::nearbyint((y * ib + tu) * 1024.0)) + 16 +
                        static_cast<int64_t>(std::nearbyint(x * ia * 1024.0));
      const int64_t V = static_cast<int64_t>(std::nearbyint((y * ie + tv) * 1024.0)) + 16 +
                        static_cast<int64_t>(std::nearbyint(x * id * 1024.0));
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
            L += wy[r] * wx[q] * sharp[static_cast<size_t>(ch)][static_cast<size_t>(sy * S + sx)];
          }
        uint8_t& F = out[(static_cast<size_t>(y) * c.W + x) * 3 + ch];
        const double o = std::min(255.0, std::max(0.0, alpha * L + (1.0 - alpha) * F));
        F = static_cast<uint8_t>(std::floor(o));
      }
    }
  return out;
}

// A crop of side S, rotated and scaled, centred on (cx, cy) plus a sub-pixel
// shift; mask and colours random with solid runs.
Case makeCase(std::mt19937& rng, int S, int W, int H, double cx, double cy) {
  std::uniform_real_distribution<double> U01(0.0, 1.0);
  Case c;
  c.S = S;
  c.W = W;
  c.H = H;
  c.unsharp.ksize = 3 + 2 * static_cast<int>(rng() % 6);
  c.unsharp.sigma = static_cast<float>(0.5 + 2.5 * U01(rng));
  c.unsharp.amount = static_cast<float>(2.0 * U01(rng));
  c.mask.resize(static_cast<size_t>(S * S));
  for (auto& m : c.mask) {
    const unsigned r = rng() % 3;
    m = r == 0 ? 0 : (r == 1 ? 255 : static_cast<uint8_t>(rng()));
  }
  c.crop.resize(static_cast<size_t>(3 * S * S));
  for (auto& v : c.crop) v = static_cast<float>(-0.1 + 1.3 * U01(rng));
  c.frame.resize(static_cast<size_t>(W * H * 3));
  for (auto& f : c.frame) f = static_cast<uint8_t>(rng());
  const double th = (2.0 * U01(rng) - 1.0) * kPi, s = 0.5 + 1.5 * U01(rng);
  const double a = s * std::cos(th), b = -s * std::sin(th), d = s * std::sin(th), e = s * std::cos(th);
  cx += U01(rng);
  cy += U01(rng);
  const double half = S / 2.0;
  const double M[6] = {a, b, cx - a * half - b * half, d, e, cy - d * half - e * half};
  for (int i = 0; i < 6; ++i) c.M[i] = static_cast<float>(M[i]);
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

// Largest per-byte difference; where is the first byte that reaches it.
int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t& where) {
  int worst = 0;
  where = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const int dlt = std::abs(a[i] - b[i]);
    if (dlt > worst) {
      worst = dlt;
      where = i;
    }
  }
  return worst;
}

class PasteReference : public ::testing::TestWithParam<int> {
 protected:
  le::test::ScopedEnv ksize_{"LE_PASTE_KSIZE", std::nullopt};
};

TEST_P(PasteReference, AgreesWithinOneLevelOnRandomPlacements) {
  const int mode = GetParam();
  const le::test::ScopedEnv fast("LE_PASTE_FAST", std::to_string(mode));
  int changed = 0;
  for (const Case& c : cases(77 + static_cast<unsigned>(mode))) {
    const std::vector<uint8_t> got = runPaste(c), want = reference(c, mode);
    size_t at = 0;
    EXPECT_LE(maxDiff(got, want, at), 1)
        << "byte " << at << " (x " << at / 3 % c.W << ", y " << at / 3 / c.W << "): got "
        << int{got[at]} << ", reference " << int{want[at]};
    changed += got != c.frame;
  }
  EXPECT_GE(changed, 10);  // the placements really paste something
}

INSTANTIATE_TEST_SUITE_P(Modes, PasteReference, ::testing::Values(0, 1, 2),
                         [](const auto& info) {
                           return std::string(info.param == 0 ? "Lanczos8"
                                                              : info.param == 1 ? "Bicubic" : "Bilinear");
                         });

TEST(PasteTargets, EveryTargetAgreesWithTheReferenceAndTheOthers) {
  const le::test::ScopedEnv fast("LE_PASTE_FAST", std::nullopt);
  const le::test::ScopedEnv ks("LE_PASTE_KSIZE", std::nullopt);
  const std::vector<Case> all = cases(5);
  std::vector<std::vector<uint8_t>> first;
  int targets = 0;
  le::test::forEachTarget([&](const char*) {
    for (size_t i = 0; i < all.size(); ++i) {
      const std::vector<uint8_t> got = runPaste(all[i]);
      size_t at = 0;
      if (targets == 0) {
        EXPECT_LE(maxDiff(got, reference(all[i], 0), at), 1) << "case " << i << " byte " << at;
        first.push_back(got);
      } else {
        EXPECT_LE(maxDiff(got, first[i], at), 1) << "case " << i << " byte " << at;
      }
    }
    ++targets;
  });
  EXPECT_GE(targets, 1);
}

// The same pixels once near the edge of a crop (footprints partly outside:
// border path) and once with that crop embedded 8 samples deep in a larger
// zero crop (all 64 taps inside: interior path). Out-of-crop taps count zero
// in the first, and read real zeros in the second, so the two must agree.
TEST(PasteLanczos8Row, InteriorAndBorderPathsAgree) {
  le::Paste tables(std::vector<uint8_t>(1, 255), 1, le::Unsharp{0.0f, 1.0f, 1});
  const int S = 24, B = S + 16, W = 64;
  std::mt19937 rng(9);
  std::vector<float> small(static_cast<size_t>(S * S * 4)), big(static_cast<size_t>(B * B * 4), 0.0f);
  std::vector<uint8_t> maskS(static_cast<size_t>(S * S)), maskB(static_cast<size_t>(B * B), 0);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const size_t i = static_cast<size_t>(y * S + x), j = static_cast<size_t>((y + 8) * B + x + 8);
      maskS[i] = maskB[j] = static_cast<uint8_t>(128 + rng() % 128);
      for (int ch = 0; ch < 3; ++ch) small[4 * i + ch] = big[4 * j + ch] = static_cast<float>(rng() % 256);
    }
  // Row sweeps u from -2 to about S + 1 with a slope in v, phases varying.
  std::vector<int> colU(W), colV(W);
  for (int x = 0; x < W; ++x) {
    colU[static_cast<size_t>(x)] = static_cast<int>(std::lround((x * 0.43 - 2.0) * 1024));
    colV[static_cast<size_t>(x)] = static_cast<int>(std::lround(x * 0.05 * 1024));
  }
  int interior = 0, border = 0;
  le::test::forEachTarget([&](const char*) {
    for (int row = -1; row < S; ++row) {
      const int bu = 16, bv = row * 1024 + 16 + 300;
      std::vector<uint8_t> a(static_cast<size_t>(W * 3), 90), b = a;
      le::simd::pasteLanczos8Row(small.data(), S, maskS.data(), tables.lanczos(), tables.bilinear(),
                                 colU.data(), colV.data(), bu, bv, 0, W - 1, a.data());
      le::simd::pasteLanczos8Row(big.data(), B, maskB.data(), tables.lanczos(), tables.bilinear(),
                                 colU.data(), colV.data(), bu + 8 * 1024, bv + 8 * 1024, 0, W - 1,
                                 b.data());
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
