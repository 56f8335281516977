// Binary16 conversions: every compiled target against the element-wise forms,
// and the element-wise forms against an independent reference built on
// double arithmetic.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"
#include "testkit/simd_each.h"

namespace {

using le::half::bitsFloat;
using le::half::floatBits;

// Round |x| to the binary16 grid in double: the quantum is 2^(e - 10) with e
// the exponent of |x| clamped to the subnormal floor 2^-14.
uint16_t refFromFloat(float x) {
  const uint32_t u = floatBits(x);
  const uint16_t sign = (u >> 31) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | 0x7C00 | 0x0200 | ((u & 0x7FFFFF) >> 13);
  const double a = std::fabs(static_cast<double>(x));
  if (a == 0) return sign;
  if (std::isinf(x)) return sign | 0x7C00;
  int e;
  std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1)
  e = std::max(e - 1, -14);
  const double q = std::nearbyint(std::ldexp(a, 10 - e));  // ties to even
  uint64_t bits = e == -14 && q < 1024 ? static_cast<uint64_t>(q)
                                        : (static_cast<uint64_t>(e + 15) << 10) +
                                              (static_cast<uint64_t>(q) - 1024);
  if (e > 15 || bits >= 0x7C00) bits = 0x7C00;
  return static_cast<uint16_t>(sign | bits);
}

float refToFloat(uint16_t h) {
  const int e = (h >> 10) & 0x1F, m = h & 0x3FF;
  const double s = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return static_cast<float>(s * std::ldexp(m, -24));
  if (e == 31) return static_cast<float>(s * INFINITY);  // NaNs are checked bitwise
  return static_cast<float>(s * std::ldexp(1024 + m, e - 25));
}

std::vector<float> structuredFloats() {
  // For every exponent: the rounding-relevant low bits (0, 1, just below,
  // at and above the halfway point, all ones) under every pattern of the
  // kept bits (at most 1024), both signs.
  std::vector<float> out;
  for (uint32_t e = 0; e < 256; ++e) {
    const uint32_t d = (e >= 113 || e < 102) ? 13 : std::min<uint32_t>(126 - e, 23);
    const uint32_t lows[] = {0, 1, (1u << (d - 1)) - 1, 1u << (d - 1), (1u << (d - 1)) + 1,
                             (1u << d) - 1};
    for (uint32_t hi = 0; hi < (1u << (23 - d)); ++hi)
      for (uint32_t lo : lows)
        for (uint32_t sign : {0u, 0x80000000u})
          out.push_back(bitsFloat(sign | (e << 23) | (hi << d) | lo));
  }
  std::mt19937 rng(12345);
  for (int i = 0; i < (1 << 20); ++i) out.push_back(bitsFloat(static_cast<uint32_t>(rng())));
  return out;
}

TEST(HalfScalar, ToFloatMatchesReferenceForAllPatterns) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const float got = le::half::toFloat(static_cast<uint16_t>(h));
    const int e = (h >> 10) & 0x1F;
    if (e == 31 && (h & 0x3FF) != 0) {
      // NaN: sign and all ten payload bits at the top of the mantissa.
      EXPECT_EQ(floatBits(got), ((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13)) << h;
    } else {
      EXPECT_EQ(floatBits(got), floatBits(refToFloat(static_cast<uint16_t>(h)))) << h;
    }
  }
  std::vector<uint16_t> all(0x10000);
  for (uint32_t h = 0; h < 0x10000; ++h) all[h] = static_cast<uint16_t>(h);
  std::vector<float> viaArray(all.size());
  le::halfToFloat(all.data(), viaArray.data(), all.size());
  for (uint32_t h = 0; h < 0x10000; ++h)
    ASSERT_EQ(floatBits(viaArray[h]), floatBits(le::half::toFloat(all[h]))) << h;
}

TEST(HalfScalar, FromFloatMatchesReference) {
  for (const float x : structuredFloats()) {
    ASSERT_EQ(le::half::fromFloat(x), refFromFloat(x)) << std::hex << floatBits(x);
    const uint16_t noNaN = le::f32ToF16(x);
    if (std::isnan(x))
      ASSERT_EQ(noNaN, (floatBits(x) >> 31) ? 0xFC00 : 0x7C00) << std::hex << floatBits(x);
    else
      ASSERT_EQ(noNaN, refFromFloat(x)) << std::hex << floatBits(x);
  }
}

TEST(HalfScalar, EdgeValues) {
  EXPECT_EQ(le::f32ToF16(65504.0f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(65519.99f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(65520.0f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-70000.0f), 0xFC00);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -25)), 0x0000);
  EXPECT_EQ(le::f32ToF16(std::nextafter(std::ldexp(1.0f, -25), 1.0f)), 0x0001);
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -24)), 0x0001);
  EXPECT_EQ(le::f32ToF16(std::ldexp(3.0f, -25)), 0x0002);  // 1.5 ulp: tie, up to even
  EXPECT_EQ(le::f32ToF16(std::ldexp(1023.5f, -24)), 0x0400);  // rounds into the normals
  EXPECT_EQ(le::f32ToF16(1.0f + std::ldexp(1.0f, -11)), 0x3C00);
  EXPECT_EQ(le::f32ToF16(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);
  EXPECT_EQ(le::f32ToF16(-0.0f), 0x8000);
  EXPECT_EQ(le::f32ToF16(0.0f), 0x0000);
  EXPECT_EQ(le::f32ToF16(INFINITY), 0x7C00);
  EXPECT_EQ(le::f32ToF16(NAN), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-NAN), 0xFC00);
  EXPECT_EQ(le::f32ToF16(bitsFloat(0x7F800001)), 0x7C00);  // signalling NaN too
  EXPECT_EQ(le::f32ToF16(std::ldexp(1.0f, -140)), 0x0000);  // float subnormal
}

// Values every target must convert exactly like the element-wise form.
const uint32_t kEdgeFloatBits[] = {
    0x477FE000, 0x477FEFFF, 0x477FF000, 0xC788B800,  // 65504, just below 65520, 65520, -70000
    0x33000000, 0x33000001, 0x33800000, 0x33C00000,  // 2^-25, next, 2^-24, 1.5 * 2^-24
    0x3F801000, 0x3F803000, 0x3F800FFF, 0x3F801001,  // 1 + 2^-11, 1 + 3 * 2^-11, around them
    0x387FE000, 0x387FF000, 0x38800000, 0x387FFFFF,  // around 2^-14
    0x00000000, 0x80000000, 0x7F800000, 0xFF800000,  // signed zeros, infinities
    0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FBFFFFF,  // quiet and signalling NaNs
    0x7FC02000, 0xFFFFFFFF, 0x00000001, 0x807FFFFF,  // payloads, float subnormals
    0x47800000, 0x7F7FFFFF, 0x3F800000, 0xBF800000,  // 65536, FLT_MAX, +-1
};

TEST(HalfTargets, EdgeValuesOnEveryTarget) {
  std::vector<float> in;
  for (uint32_t b : kEdgeFloatBits) in.push_back(bitsFloat(b));
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) want[i] = le::half::fromFloat(in[i]);
  EXPECT_EQ(want[0], 0x7BFF);
  EXPECT_EQ(want[2], 0x7C00);
  EXPECT_EQ(want[3], 0xFC00);
  EXPECT_EQ(want[4], 0x0000);
  EXPECT_EQ(want[5], 0x0001);
  EXPECT_EQ(want[6], 0x0001);
  EXPECT_EQ(want[8], 0x3C00);
  EXPECT_EQ(want[9], 0x3C02);
  EXPECT_EQ(want[17], 0x8000);
  EXPECT_EQ(want[20], 0x7E00);
  EXPECT_EQ(want[21], 0xFE00);
  EXPECT_EQ(want[22], 0x7E00);  // signalling NaN comes out quiet
  EXPECT_EQ(want[24], 0x7E01);
  EXPECT_EQ(want[28], 0x7C00);

  const uint16_t halves[] = {0x0001, 0x03FF, 0x0400, 0x7BFF, 0x7C00, 0xFC00, 0x8000,
                             0x0000, 0x7C01, 0x7E00, 0xFDFF, 0x8001, 0x3C00, 0x3555};
  le::test::forEachTarget([&](const char*) {
    // Every edge value in every lane position: rotate the block through the
    // vector body and the tail.
    for (size_t rot = 0; rot < in.size(); ++rot) {
      std::vector<float> src(in.size());
      std::vector<uint16_t> dst(in.size(), 0xDEAD);
      for (size_t i = 0; i < in.size(); ++i) src[i] = in[(i + rot) % in.size()];
      le::simd::f32ToF16(src.data(), dst.data(), src.size());
      for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(dst[i], want[(i + rot) % in.size()]) << "rot " << rot << " i " << i;
    }
    float out[std::size(halves)];
    le::simd::f16ToF32(halves, out, std::size(halves));
    EXPECT_EQ(out[0], std::ldexp(1.0f, -24));
    EXPECT_EQ(out[4], INFINITY);
    EXPECT_EQ(out[5], -INFINITY);
    EXPECT_EQ(floatBits(out[6]), 0x80000000u);
    EXPECT_EQ(floatBits(out[7]), 0u);
    EXPECT_EQ(floatBits(out[8]), 0x7F802000u);  // signalling payload kept as is
    EXPECT_EQ(floatBits(out[10]), 0xFFBFE000u);
    for (size_t i = 0; i < std::size(halves); ++i)
      EXPECT_EQ(floatBits(out[i]), floatBits(le::half::toFloat(halves[i]))) << i;
  });
}

TEST(HalfTargets, EveryLengthTouchesExactlyNElements) {
  std::mt19937 rng(7);
  std::vector<float> src(40);
  std::vector<uint16_t> hsrc(40);
  for (auto& x : src) x = bitsFloat(static_cast<uint32_t>(rng()) & 0xC7FFFFFF);  // mostly in range
  for (auto& h : hsrc) h = static_cast<uint16_t>(rng());
  le::test::forEachTarget([&](const char*) {
    for (size_t n = 0; n <= 33; ++n) {
      // Offset 1 keeps the vectors unaligned.
      std::vector<uint16_t> h(n + 8, 0xBEEF);
      le::simd::f32ToF16(src.data() + 1, h.data() + 1, n);
      EXPECT_EQ(h[0], 0xBEEF) << n;
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(h[1 + i], le::half::fromFloat(src[1 + i])) << n;
      for (size_t i = n + 1; i < h.size(); ++i) ASSERT_EQ(h[i], 0xBEEF) << n;

      std::vector<float> f(n + 8, -7.0f);
      le::simd::f16ToF32(hsrc.data() + 1, f.data() + 1, n);
      EXPECT_EQ(f[0], -7.0f) << n;
      for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(floatBits(f[1 + i]), floatBits(le::half::toFloat(hsrc[1 + i]))) << n;
      for (size_t i = n + 1; i < f.size(); ++i) ASSERT_EQ(f[i], -7.0f) << n;
    }
    le::simd::f32ToF16(nullptr, nullptr, 0);  // n = 0 touches nothing
    le::simd::f16ToF32(nullptr, nullptr, 0);
  });
}

TEST(HalfTargets, AllHalfPatternsOnEveryTarget) {
  std::vector<uint16_t> all(0x10000);
  std::vector<float> want(all.size());
  for (uint32_t h = 0; h < 0x10000; ++h) {
    all[h] = static_cast<uint16_t>(h);
    want[h] = le::half::toFloat(all[h]);
  }
  le::test::forEachTarget([&](const char*) {
    std::vector<float> got(all.size());
    le::simd::f16ToF32(all.data(), got.data(), all.size());
    // Bitwise: NaN payloads and signed zeros count.
    const size_t h = static_cast<size_t>(
        std::mismatch(got.begin(), got.end(), want.begin(),
                      [](float a, float b) { return floatBits(a) == floatBits(b); })
            .first - got.begin());
    if (h < all.size()) {
      ASSERT_EQ(floatBits(got[h]), floatBits(want[h])) << std::hex << h;
    }
  });
}

TEST(HalfTargets, FloatSweepOnEveryTarget) {
  const std::vector<float> in = structuredFloats();
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) want[i] = refFromFloat(in[i]);
  le::test::forEachTarget([&](const char*) {
    std::vector<uint16_t> got(in.size());
    le::simd::f32ToF16(in.data(), got.data(), in.size());
    // Locate the first difference cheaply; assert on that one only.
    const size_t i = static_cast<size_t>(
        std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
    if (i < in.size()) {
      ASSERT_EQ(got[i], want[i]) << std::hex << floatBits(in[i]);
    }
  });
}

TEST(SimdTarget, ReportsTheVariantTheDispatcherRuns) {
  const std::vector<int64_t> runnable = le::test::runnableTargets();
  ASSERT_FALSE(runnable.empty());
  // Highway lists better targets at lower bits; the dispatcher takes the best
  // one that was compiled, which need not be the best the processor has.
  EXPECT_STREQ(le::simd::target(), hwy::TargetName(runnable.front()));
  EXPECT_NE(le::simd::compiledTargets() & runnable.front(), 0);
  // One line for logs of runs on emulated or unfamiliar processors.
  std::string names;
  for (const int64_t bit : runnable) names += std::string(" ") + hwy::TargetName(bit);
  std::printf("[ target   ] dispatched to %s; runnable:%s\n", le::simd::target(), names.c_str());
}

}  // namespace
