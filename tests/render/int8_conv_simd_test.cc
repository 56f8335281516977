// Int8Conv without onnxruntime: every compiled vector target against a plain
// double-precision convolution of the dequantised input with the dequantised
// weights, the activation range pass, and the refusals of misfit inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/render/le_int8_conv.h"
#include "testkit/simd_each.h"
#include "testkit/testkit.h"

namespace {

using le::test::errorOf;

struct Case {
  int64_t n, c, h, w, m, kh, kw, group;
  std::vector<int64_t> strides, pads, dilations;
};

struct Data {
  std::vector<float> x;
  std::vector<int8_t> w;
  std::vector<float> scale, bias;
};

Data randomData(const Case& k, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> ux(lo, hi), us(0.002f, 0.02f), ub(-1, 1);
  std::uniform_int_distribution<int> uw(-128, 127);
  Data d;
  d.x.resize(static_cast<size_t>(k.n * k.c * k.h * k.w));
  for (float& v : d.x) v = ux(rng);
  d.w.resize(static_cast<size_t>(k.m * (k.c / k.group) * k.kh * k.kw));
  for (int8_t& v : d.w) v = static_cast<int8_t>(uw(rng));
  d.w[0] = -128;
  d.w.back() = 127;
  for (int64_t i = 0; i < k.m; ++i) {
    d.scale.push_back(us(rng));
    d.bias.push_back(ub(rng));
  }
  return d;
}

// The input as the operator sees it after quantisation: per-tensor range
// including 0, 255 steps, zero point rounded and clamped, ties to even.
std::vector<double> dequantised(const std::vector<float>& x) {
  float lo = 0, hi = 0;
  for (float v : x) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  float sx = (hi - lo) / 255.0f;
  float zp = sx > 0 ? std::nearbyint(-lo / sx) : std::nearbyint(-lo);
  if (!(sx > 0)) sx = 1;
  zp = std::clamp(zp, 0.0f, 255.0f);
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float q = std::clamp(zp + std::nearbyint(x[i] / sx), 0.0f, 255.0f);
    out[i] = (static_cast<double>(q) - zp) * sx;
  }
  return out;
}

struct Ref {
  std::vector<double> y, mag;  // result and sum of |terms| + |bias|, for the tolerance
  int64_t ho, wo;
};

Ref refConv(const Case& k, const std::vector<double>& x, const Data& d) {
  Ref r;
  const int64_t sh = k.strides[0], sw = k.strides[1], dh = k.dilations[0], dw = k.dilations[1];
  r.ho = (k.h + k.pads[0] + k.pads[2] - dh * (k.kh - 1) - 1) / sh + 1;
  r.wo = (k.w + k.pads[1] + k.pads[3] - dw * (k.kw - 1) - 1) / sw + 1;
  const int64_t cg = k.c / k.group, mg = k.m / k.group;
  for (int64_t n = 0; n < k.n; ++n)
    for (int64_t m = 0; m < k.m; ++m)
      for (int64_t oy = 0; oy < r.ho; ++oy)
        for (int64_t ox = 0; ox < r.wo; ++ox) {
          double s = d.bias[m], mag = std::fabs(d.bias[m]);
          const int64_t g = m / mg;
          for (int64_t ci = 0; ci < cg; ++ci)
            for (int64_t ky = 0; ky < k.kh; ++ky)
              for (int64_t kx = 0; kx < k.kw; ++kx) {
                const int64_t iy = oy * sh - k.pads[0] + ky * dh, ix = ox * sw - k.pads[1] + kx * dw;
                if (iy < 0 || iy >= k.h || ix < 0 || ix >= k.w) continue;
                const double xv = x[static_cast<size_t>(((n * k.c + g * cg + ci) * k.h + iy) * k.w + ix)];
                const double wv = d.w[static_cast<size_t>(((m * cg + ci) * k.kh + ky) * k.kw + kx)] *
                                  static_cast<double>(d.scale[m]);
                s += xv * wv;
                mag += std::fabs(xv * wv);
              }
          r.y.push_back(s);
          r.mag.push_back(mag);
        }
  return r;
}

std::vector<float> runConv(le::Int8Conv& conv, const Case& k, const Data& d) {
  const std::vector<int64_t> xs{k.n, k.c, k.h, k.w}, ws{k.m, k.c / k.group, k.kh, k.kw};
  const auto out = conv.outputShape(xs, ws, d.scale.size(), d.bias.size());
  std::vector<float> y(static_cast<size_t>(out[0] * out[1] * out[2] * out[3]), -999.0f);
  conv.run(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.scale.size(), d.bias.data(), d.bias.size(),
           y.data());
  return y;
}

le::Int8ConvAttrs attrsOf(const Case& k) {
  le::Int8ConvAttrs a;
  a.strides = k.strides;
  a.pads = k.pads;
  a.dilations = k.dilations;
  a.group = k.group;
  return a;
}

// Float products of the dequantisation round once or twice (about 1.2e-7
// each); a wrong tap or channel is off by a whole term.
void expectNear(const std::vector<float>& got, const Ref& ref, const std::string& what) {
  ASSERT_EQ(got.size(), ref.y.size()) << what;
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_NEAR(got[i], ref.y[i], 1e-6 * ref.mag[i] + 1e-7) << what << " at " << i;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> c = {
      {2, 13, 7, 9, 22, 3, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}},    // group 1, "same"
      {1, 13, 7, 9, 22, 3, 3, 1, {2, 2}, {0, 0, 0, 0}, {2, 2}},    // stride and dilation 2
      {2, 5, 8, 11, 5, 3, 3, 5, {1, 1}, {1, 1, 1, 1}, {1, 1}},     // depthwise
      {1, 6, 9, 6, 10, 3, 3, 2, {2, 1}, {1, 0, 2, 1}, {1, 2}},     // group 2, uneven pads
      {1, 8, 5, 7, 40, 1, 1, 1, {1, 1}, {0, 0, 0, 0}, {1, 1}},     // 3 blocks of 16, 1x1
      {1, 4, 3, 3, 3, 5, 5, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}},      // one output pixel
      {1, 32, 6, 21, 48, 3, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}},   // full tiles and a tail
  };
  return c;
}

TEST(Int8Conv, EveryTargetEqualsTheDequantisedFloatConvolution) {
  le::test::forEachTarget([&](const char* target) {
    uint32_t seed = 1;
    for (const Case& k : cases()) {
      const Data d = randomData(k, -1.5f, 2.5f, seed++);
      const Ref ref = refConv(k, dequantised(d.x), d);
      le::Int8Conv conv(attrsOf(k), "test");
      expectNear(runConv(conv, k, d), ref, std::string(target) + " case " + std::to_string(seed - 1));
      // A second run reuses the packed weights with a different input.
      const Data d2 = [&] {
        Data e = randomData(k, -0.2f, 7.0f, seed + 100);
        e.w = d.w;
        e.scale = d.scale;
        e.bias = d.bias;
        return e;
      }();
      expectNear(runConv(conv, k, d2), refConv(k, dequantised(d2.x), d2), std::string(target) + " rerun");
    }
  });
}

// Inputs on the quantisation grid come through exactly, so the result is
// the float convolution of the input itself: no re-derivation of the scale
// or zero point involved.
TEST(Int8Conv, InputsOnTheGridNeedNoRederivation) {
  const Case k{1, 7, 6, 10, 18, 3, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}};
  for (const int zp : {0, 64, 255}) {
    Data d = randomData(k, 0, 1, 5u + static_cast<uint32_t>(zp));
    // Range [-zp/16, (255-zp)/16]: sx = 1/16 exactly and zero point zp.
    std::mt19937 rng(static_cast<uint32_t>(zp));
    std::uniform_int_distribution<int> uq(0, 255);
    std::vector<double> exact(d.x.size());
    for (size_t i = 0; i < d.x.size(); ++i) {
      const int q = i == 0 ? 0 : i == 1 ? 255 : uq(rng);
      d.x[i] = static_cast<float>(q - zp) / 16.0f;
      exact[i] = d.x[i];
    }
    le::test::forEachTarget([&](const char* target) {
      le::Int8Conv conv(attrsOf(k), "grid");
      expectNear(runConv(conv, k, d), refConv(k, exact, d), std::string(target) + " zp " + std::to_string(zp));
    });
  }
}

TEST(Int8Conv, AllZeroInputGivesTheBias) {
  const Case k{1, 3, 5, 5, 4, 3, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}};
  Data d = randomData(k, 0, 0, 9);
  le::test::forEachTarget([&](const char* target) {
    le::Int8Conv conv(attrsOf(k), "zero");
    const std::vector<float> y = runConv(conv, k, d);
    for (size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], d.bias[i / 25]) << target << " at " << i;
  });
}

TEST(MinmaxPar, EqualsTheSerialMinimumAndMaximum) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-5, 5);
  // Below one part, exactly two parts of 4096, and many parts with a tail.
  for (const size_t n : {size_t{1}, size_t{17}, size_t{4095}, size_t{8192}, size_t{3 * 4096 + 5}, size_t{100003}}) {
    std::vector<float> x(n);
    for (float& v : x) v = u(rng);
    x[n / 2] = 9;
    x[n - 1] = -9.5f;
    float lo, hi;
    le::minmax_par(x.data(), n, &lo, &hi);
    const auto [mn, mx] = std::minmax_element(x.begin(), x.end());
    EXPECT_EQ(lo, *mn) << n;
    EXPECT_EQ(hi, *mx) << n;
  }
  float lo, hi;
  le::minmax_par(nullptr, 0, &lo, &hi);
  EXPECT_EQ(lo, std::numeric_limits<float>::infinity());
  EXPECT_EQ(hi, -std::numeric_limits<float>::infinity());
}

TEST(MinmaxPar, ANonFiniteValueAnywhereGivesNaN) {
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()}) {
    for (const size_t n : {size_t{5}, size_t{40000}}) {
      for (const size_t at : {size_t{0}, n / 2, n - 1}) {
        le::test::forEachTarget([&](const char*) {
          std::vector<float> x(n, 1.0f);
          x[at] = bad;
          float lo = 0, hi = 0;
          le::minmax_par(x.data(), n, &lo, &hi);
          EXPECT_TRUE(std::isnan(lo) && std::isnan(hi)) << bad << " at " << at << " of " << n;
        });
      }
    }
  }
}

TEST(Int8Conv, RefusesBadAttributes) {
  auto make = [](auto edit) {
    return errorOf([&] {
      le::Int8ConvAttrs a;
      edit(a);
      le::Int8Conv conv(a, "node \"c1\"");
    });
  };
  EXPECT_NE(make([](auto& a) { a.strides = {1, 0}; }).find("\"strides\""), std::string::npos);
  EXPECT_NE(make([](auto& a) { a.dilations = {0, 1}; }).find("\"dilations\""), std::string::npos);
  EXPECT_NE(make([](auto& a) { a.pads = {0, 0, -1, 0}; }).find("\"pads\""), std::string::npos);
  EXPECT_NE(make([](auto& a) { a.pads = {1, 1}; }).find("4 values"), std::string::npos);
  EXPECT_NE(make([](auto& a) { a.group = 0; }).find("\"group\" 0"), std::string::npos);
  EXPECT_NE(make([](auto& a) { a.strides = {int64_t{1} << 40, 1}; }).find("REFUSING"), std::string::npos);
  EXPECT_EQ(make([](auto&) {}), "(no error)");
}

TEST(Int8Conv, RefusesMisfitInputsBeforeReadingThem) {
  le::Int8ConvAttrs a;
  a.group = 2;
  a.pads = {1, 1, 1, 1};
  const le::Int8Conv conv(a, "node \"c1\" (inputs x, w, s, b)");
  auto err = [&](std::vector<int64_t> x, std::vector<int64_t> w, size_t s, size_t b) {
    return errorOf([&] { conv.outputShape(x, w, s, b); });
  };
  const std::vector<int64_t> x{1, 8, 5, 5}, w{6, 4, 3, 3};
  EXPECT_EQ(err(x, w, 6, 6), "(no error)");
  EXPECT_EQ(conv.outputShape(x, w, 6, 6), (std::array<int64_t, 4>{1, 6, 5, 5}));
  const std::string bias = err(x, w, 6, 5);
  EXPECT_NE(bias.find("node \"c1\" (inputs x, w, s, b)"), std::string::npos) << bias;
  EXPECT_NE(bias.find("input 3 (bias) has 5 values"), std::string::npos) << bias;
  EXPECT_NE(err(x, w, 7, 6).find("input 2 (weight scales)"), std::string::npos);
  EXPECT_NE(err(x, {6, 3, 3, 3}, 6, 6).find("input channels per group"), std::string::npos);
  EXPECT_NE(err({1, 7, 5, 5}, w, 6, 6).find("does not divide the 7 channels"), std::string::npos);
  EXPECT_NE(err(x, {5, 4, 3, 3}, 5, 5).find("does not divide the 5 output channels"), std::string::npos);
  EXPECT_NE(err({8, 5, 5}, w, 6, 6).find("input 0"), std::string::npos);
  EXPECT_NE(err(x, {6, 4, 3}, 6, 6).find("input 1"), std::string::npos);
  EXPECT_NE(err({1, 8, 0, 5}, w, 6, 6).find("empty dimension"), std::string::npos);
  EXPECT_NE(err(x, {6, 4, 8, 3}, 6, 6).find("output height would be empty"), std::string::npos);
  EXPECT_NE(err(x, {6, 4, 3, 8}, 6, 6).find("output width would be empty"), std::string::npos);
  EXPECT_NE(err(x, {6, 4, 200, 200}, 6, 6).find("32-bit accumulator"), std::string::npos);
  EXPECT_NE(err({int64_t{1} << 62, 8, 5, 5}, w, 6, 6).find("overflows"), std::string::npos);
}

TEST(Int8Conv, RefusesWeightsThatChangeAfterPacking) {
  const Case k{1, 4, 5, 5, 3, 3, 3, 1, {1, 1}, {0, 0, 0, 0}, {1, 1}};
  Data d = randomData(k, -1, 1, 11);
  le::Int8Conv conv(attrsOf(k), "node");
  runConv(conv, k, d);
  d.w[5] = static_cast<int8_t>(d.w[5] ^ 1);
  EXPECT_NE(errorOf([&] { runConv(conv, k, d); }).find("changed since the first run"), std::string::npos);
  Case other = k;
  other.m = 6;
  Data d6 = randomData(other, -1, 1, 12);
  EXPECT_NE(errorOf([&] { runConv(conv, other, d6); }).find("when its packed copy was made"), std::string::npos);
}

TEST(Int8Conv, RefusesNonFiniteActivations) {
  const Case k{1, 2, 4, 4, 2, 3, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}};
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    Data d = randomData(k, -1, 1, 13);
    d.x[7] = bad;
    le::Int8Conv conv(attrsOf(k), "node");
    EXPECT_NE(errorOf([&] { runConv(conv, k, d); }).find("NaN or infinite"), std::string::npos);
  }
  // A finite range wider than a float cannot be scaled either.
  Data d = randomData(k, -1, 1, 14);
  d.x[0] = -3e38f;
  d.x[1] = 3e38f;
  le::Int8Conv conv(attrsOf(k), "node");
  EXPECT_NE(errorOf([&] { runConv(conv, k, d); }).find("wider than a float"), std::string::npos);
}

}  // namespace
