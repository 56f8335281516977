// le_fca pieces without models: the two-heap quantile gate against a sort per
// frame (bit for bit), the gated running mean, the window normalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "le/audio/fca_engine.h"
#include "le/audio/quantile_gate.h"

namespace le::audio {
namespace {

double sortedThreshold(std::vector<double> e, int64_t t) {
  if (t <= 6) return 0.0;
  e.resize(size_t(t) + 1);
  std::sort(e.begin(), e.end());
  const double q = 0.2 * double(t);
  const double lo = std::floor(q), hi = std::ceil(q);
  const double sf = e[size_t(lo)], sc = e[size_t(hi)];
  return sf + (sc - sf) * (q - lo);
}

void expectSameAsSorting(const std::vector<double>& e) {
  QuantileGate g;
  for (size_t t = 0; t < e.size(); ++t) {
    const double got = g.push(e[t]);
    const double want = sortedThreshold(e, int64_t(t));
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "t=" << t << " " << got << " " << want;
  }
}

TEST(FcaQuantileGate, BitIdenticalToSortingOnRandomEnergies) {
  std::mt19937_64 rng(42);
  std::lognormal_distribution<double> d(0.0, 1.5);
  for (int run = 0; run < 4; ++run) {
    std::vector<double> e(1200);
    for (double& v : e) v = d(rng);
    expectSameAsSorting(e);
  }
}

TEST(FcaQuantileGate, TiesRampsAndSilenceStayIdentical) {
  std::mt19937_64 rng(7);
  std::vector<double> ties(600);
  for (double& v : ties) v = double(rng() % 5);  // many equal values, zeros included
  expectSameAsSorting(ties);
  std::vector<double> up(300), down(300);
  for (int i = 0; i < 300; ++i) {
    up[size_t(i)] = i;
    down[size_t(i)] = 300 - i;
  }
  expectSameAsSorting(up);
  expectSameAsSorting(down);
  expectSameAsSorting(std::vector<double>(50, 0.0));
}

TEST(FcaGate, FirstSevenNonZeroFramesEnterTheMeanAndSilenceDoesNot) {
  const int64_t F = 9;
  std::vector<float> f(size_t(F) * kFcaDim, 0.0f);
  for (int64_t t = 0; t < F; ++t)
    if (t != 3) f[size_t(t) * kFcaDim] = float(t + 1);  // frame 3 silent
  gateAndNormalise(f, F);
  // Frames 0, 1, 2 enter: frame 2 minus mean(1, 2, 3) = 1.
  EXPECT_FLOAT_EQ(f[2 * kFcaDim], 1.0f);
  // Frame 3 is silent (energy 0 is not above the threshold 0): mean stays 2.
  EXPECT_FLOAT_EQ(f[3 * kFcaDim], -2.0f);
  // Frames 4..6 enter: mean of 1,2,3,5,6,7 = 4; frame 6 holds 7.
  EXPECT_FLOAT_EQ(f[6 * kFcaDim], 3.0f);
  // t = 7: threshold over {1,2,3,0,5,6,7,8} at q = 1.4 is 1 + 0.4 = 1.4 < 8.
  EXPECT_NEAR(f[7 * kFcaDim], 8.0f - 32.0f / 7.0f, 1e-5);
}

TEST(FcaWindow, ZeroWindowStaysZeroAndOthersGetUnitVariance) {
  std::vector<float> z(1000, 0.0f);
  normaliseWindow(z.data(), z.size());
  for (float v : z) ASSERT_EQ(v, 0.0f);
  std::vector<float> x(4000);
  std::mt19937 rng(1);
  std::normal_distribution<float> n(3.0f, 2.0f);
  for (float& v : x) v = n(rng);
  normaliseWindow(x.data(), x.size());
  double m = 0, s = 0;
  for (float v : x) m += v;
  m /= double(x.size());
  for (float v : x) s += (v - m) * (v - m);
  EXPECT_NEAR(m, 0.0, 1e-5);
  EXPECT_NEAR(s / double(x.size()), 1.0, 1e-4);
}

}  // namespace
}  // namespace le::audio
