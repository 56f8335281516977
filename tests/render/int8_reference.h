// The Int8Conv reference: the input quantised as the operator does it
// (per-tensor range including 0, 255 steps, zero point rounded and clamped,
// ties to even) and a plain double-precision convolution of it with the
// dequantised weights.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "le/render/le_int8_conv.h"

namespace le::test {

struct Int8Case {
  int64_t n, c, h, w, m, kh, kw, group;
  std::vector<int64_t> strides{1, 1}, pads{0, 0, 0, 0}, dilations{1, 1};
  Int8ConvAttrs attrs() const { return {strides, pads, dilations, group}; }
  std::vector<int64_t> xShape() const { return {n, c, h, w}; }
  std::vector<int64_t> wShape() const { return {m, c / group, kh, kw}; }
};

struct Int8Data {
  std::vector<float> x;
  std::vector<int8_t> w;
  std::vector<float> scale, bias;
};

// Input uniform in [lo, hi]; weights cover -128 and 127.
inline Int8Data int8Data(const Int8Case& k, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> ux(lo, hi), us(0.002f, 0.02f), ub(-1, 1);
  std::uniform_int_distribution<int> uw(-128, 127);
  Int8Data d;
  d.x.resize(size_t(k.n * k.c * k.h * k.w));
  for (float& v : d.x) v = ux(rng);
  d.w.resize(size_t(k.m * (k.c / k.group) * k.kh * k.kw));
  for (int8_t& v : d.w) v = int8_t(uw(rng));
  d.w.front() = -128;
  d.w.back() = 127;
  for (int64_t i = 0; i < k.m; ++i) d.scale.push_back(us(rng)), d.bias.push_back(ub(rng));
  return d;
}

inline std::vector<double> dequantised(const std::vector<float>& x) {
  float lo = 0, hi = 0;
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  float sx = (hi - lo) / 255.0f;
  float zp = sx > 0 ? std::nearbyint(-lo / sx) : std::nearbyint(-lo);
  if (!(sx > 0)) sx = 1;
  zp = std::clamp(zp, 0.0f, 255.0f);
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = (double(std::clamp(zp + std::nearbyint(x[i] / sx), 0.0f, 255.0f)) - zp) * sx;
  return out;
}

struct Int8Ref {
  std::vector<double> y, mag;  // result and sum of |terms| + |bias|, for the tolerance
};

inline Int8Ref int8Reference(const Int8Case& k, const std::vector<double>& x, const Int8Data& d) {
  Int8Ref r;
  const int64_t sh = k.strides[0], sw = k.strides[1], dh = k.dilations[0], dw = k.dilations[1];
  const int64_t ho = (k.h + k.pads[0] + k.pads[2] - dh * (k.kh - 1) - 1) / sh + 1;
  const int64_t wo = (k.w + k.pads[1] + k.pads[3] - dw * (k.kw - 1) - 1) / sw + 1;
  const int64_t cg = k.c / k.group, mg = k.m / k.group;
  for (int64_t n = 0; n < k.n; ++n)
    for (int64_t m = 0; m < k.m; ++m)
      for (int64_t oy = 0; oy < ho; ++oy)
        for (int64_t ox = 0; ox < wo; ++ox) {
          double s = d.bias[size_t(m)], mag = std::fabs(s);
          for (int64_t ci = 0; ci < cg; ++ci)
            for (int64_t ky = 0; ky < k.kh; ++ky)
              for (int64_t kx = 0; kx < k.kw; ++kx) {
                const int64_t iy = oy * sh - k.pads[0] + ky * dh, ix = ox * sw - k.pads[1] + kx * dw;
                if (iy < 0 || iy >= k.h || ix < 0 || ix >= k.w) continue;
                const double t = x[size_t(((n * k.c + m / mg * cg + ci) * k.h + iy) * k.w + ix)] *
                                 d.w[size_t(((m * cg + ci) * k.kh + ky) * k.kw + kx)] * double(d.scale[size_t(m)]);
                s += t, mag += std::fabs(t);
              }
          r.y.push_back(s), r.mag.push_back(mag);
        }
  return r;
}

// Float products of the dequantisation round once or twice (about 1.2e-7
// each); a wrong tap or channel is off by a whole term.
inline void expectInt8Near(const std::vector<float>& got, const Int8Ref& ref, const std::string& what) {
  ASSERT_EQ(got.size(), ref.y.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], ref.y[i], 1e-6 * ref.mag[i] + 1e-7) << what << " at " << i;
}

}  // namespace le::test
