// Binary16 conversions: the element-wise forms against a reference built on
// double arithmetic, every compiled target against the element-wise forms.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"
#include "runtime/half_reference.h"
#include "testkit/simd_each.h"

namespace {

using le::half::bitsFloat;
using le::half::floatBits;

using le::test::refToFloat;
using le::test::refToHalf;

uint32_t refToFloatBits(uint16_t h) { return floatBits(refToFloat(h)); }

// For every exponent the rounding-relevant low bits (0, 1, around the halfway
// point, all ones) under every pattern of the kept bits, both signs; then
// random bit patterns.
std::vector<float> structuredFloats() {
  std::vector<float> out;
  for (uint32_t e = 0; e < 256; ++e) {
    const uint32_t d = (e >= 113 || e < 102) ? 13 : std::min<uint32_t>(126 - e, 23);
    const uint32_t half = 1u << (d - 1);
    for (uint32_t hi = 0; hi < (1u << (23 - d)); ++hi)
      for (uint32_t lo : {0u, 1u, half - 1, half, half + 1, (1u << d) - 1})
        for (uint32_t sign : {0u, 0x80000000u}) out.push_back(bitsFloat(sign | (e << 23) | (hi << d) | lo));
  }
  std::mt19937 rng(12345);
  for (int i = 0; i < (1 << 20); ++i) out.push_back(bitsFloat(static_cast<uint32_t>(rng())));
  return out;
}

// {float bits, fromFloat, f32ToF16 (never NaN)}: the documented edge values.
struct Edge { uint32_t in; uint16_t half, noNaN; };
constexpr Edge kEdges[] = {
    {0x477FE000, 0x7BFF, 0x7BFF}, {0x477FEFFF, 0x7BFF, 0x7BFF},  // 65504, just below 65520
    {0x477FF000, 0x7C00, 0x7C00}, {0xC788B800, 0xFC00, 0xFC00},  // 65520, -70000
    {0x33000000, 0x0000, 0x0000}, {0x33000001, 0x0001, 0x0001},  // 2^-25 (tie), next float
    {0x33800000, 0x0001, 0x0001}, {0x33C00000, 0x0002, 0x0002},  // 2^-24, 1.5 ulp: up to even
    {0x3F801000, 0x3C00, 0x3C00}, {0x3F803000, 0x3C02, 0x3C02},  // 1 + 2^-11, 1 + 3 * 2^-11
    {0x387FF000, 0x0400, 0x0400}, {0x80000000, 0x8000, 0x8000},  // rounds into the normals, -0
    {0x7F800000, 0x7C00, 0x7C00}, {0x7FC00000, 0x7E00, 0x7C00},  // inf, quiet NaN
    {0xFFC00000, 0xFE00, 0xFC00}, {0x7F800001, 0x7E00, 0x7C00},  // -NaN, signalling NaN
    {0x7FC02000, 0x7E01, 0x7C00}, {0x00000001, 0x0000, 0x0000},  // payload, float subnormal
    {0x47800000, 0x7C00, 0x7C00}, {0x7F7FFFFF, 0x7C00, 0x7C00},  // 65536, FLT_MAX
};

TEST(HalfScalar, EveryHalfAndTheFloatSweepMatchTheReference) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    ASSERT_EQ(floatBits(le::half::toFloat(uint16_t(h))), refToFloatBits(uint16_t(h))) << std::hex << h;
    float viaArray;
    const uint16_t one = uint16_t(h);
    le::halfToFloat(&one, &viaArray, 1);
    ASSERT_EQ(floatBits(viaArray), refToFloatBits(one)) << std::hex << h;
  }
  for (const float x : structuredFloats()) {
    ASSERT_EQ(le::half::fromFloat(x), refToHalf(x)) << std::hex << floatBits(x);
    const uint16_t noNaN = std::isnan(x) ? ((floatBits(x) >> 31) ? 0xFC00 : 0x7C00) : refToHalf(x);
    ASSERT_EQ(le::f32ToF16(x), noNaN) << std::hex << floatBits(x);
  }
  for (const Edge& e : kEdges) {
    EXPECT_EQ(le::half::fromFloat(bitsFloat(e.in)), e.half) << std::hex << e.in;
    EXPECT_EQ(le::f32ToF16(bitsFloat(e.in)), e.noNaN) << std::hex << e.in;
  }
}

// Every target, every length up to four vectors of the widest target, four
// misalignments: the same bits as the element-wise forms and nothing written
// outside the n elements. The edge values rotate through every lane.
TEST(HalfTargets, LengthsAndOffsetsMatchTheElementWiseForms) {
  std::vector<float> fin;
  std::vector<uint16_t> hin;
  for (const Edge& e : kEdges) fin.push_back(bitsFloat(e.in));
  std::mt19937 rng(7);
  while (fin.size() < 80) fin.push_back(bitsFloat(uint32_t(rng()) & 0xC7FFFFFF));
  for (uint32_t h : {0x0001, 0x03FF, 0x0400, 0x7BFF, 0x7C00, 0xFC00, 0x8000, 0x7C01, 0xFDFF, 0x8001})
    hin.push_back(uint16_t(h));
  while (hin.size() < 80) hin.push_back(uint16_t(rng()));
  le::test::sweep(68, 4, [&](size_t n, size_t off) {
    le::test::Fenced<uint16_t> h(n, off, 0xBEEF);
    le::test::Fenced<float> f(n, off, -7.0f);
    const size_t rot = (n * 7 + off) % fin.size();
    std::vector<float> src(fin.begin() + rot, fin.end());
    src.insert(src.end(), fin.begin(), fin.begin() + rot);
    le::simd::f32ToF16(src.data(), h.at(), n);
    le::simd::f16ToF32(hin.data() + (rot % 8), f.at(), n);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(h[i], le::half::fromFloat(src[i])) << "n " << n << " off " << off << " i " << i;
      ASSERT_EQ(floatBits(f[i]), floatBits(le::half::toFloat(hin[rot % 8 + i]))) << "n " << n << " i " << i;
    }
    ASSERT_TRUE(h.intact() && f.intact()) << "n " << n << " off " << off;
  });
}

TEST(HalfTargets, AllHalvesAndTheFloatSweepOnEveryTarget) {
  std::vector<uint16_t> all(0x10000);
  for (uint32_t h = 0; h < 0x10000; ++h) all[h] = uint16_t(h);
  const std::vector<float> in = structuredFloats();
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) want[i] = refToHalf(in[i]);
  le::test::forEachTarget([&](const char*) {
    std::vector<float> got(all.size());
    le::simd::f16ToF32(all.data(), got.data(), all.size());
    for (uint32_t h = 0; h < 0x10000; ++h) ASSERT_EQ(floatBits(got[h]), refToFloatBits(uint16_t(h))) << std::hex << h;
    std::vector<uint16_t> halves(in.size());
    le::simd::f32ToF16(in.data(), halves.data(), in.size());
    const size_t i = size_t(std::mismatch(halves.begin(), halves.end(), want.begin()).first - halves.begin());
    if (i < in.size()) {
      ASSERT_EQ(halves[i], want[i]) << std::hex << floatBits(in[i]);
    }
  });
}

TEST(SimdTarget, ReportsTheVariantTheDispatcherRuns) {
  const std::vector<int64_t> runnable = le::test::runnableTargets();
  ASSERT_FALSE(runnable.empty());
  // Highway lists better targets at lower bits; the dispatcher takes the best
  // compiled one, which need not be the best the processor has.
  EXPECT_STREQ(le::simd::target(), hwy::TargetName(runnable.front()));
  std::printf("[ target   ] dispatched to %s of %zu runnable\n", le::simd::target(), runnable.size());
}

}  // namespace
