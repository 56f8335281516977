// Teeth-pass kernels on every compiled target against a scalar transcription
// of their definitions. The transcription rounds to binary16 through double
// arithmetic of its own, so it shares nothing with the library's conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "le/runtime/tessera_kernels.h"
#include "runtime/half_reference.h"
#include "testkit/simd_each.h"

namespace {

using le::test::bitsOf;
using le::test::refToFloat;
using le::test::refToHalf;

float refRound(float x) { return refToFloat(refToHalf(x)); }

float refMean(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, size_t n, size_t i, size_t off) {
  float s = 0.0f;
  for (size_t c = 0; c < 3; ++c) {
    const float d = std::fabs(refRound(refToFloat(a[off + c * n + i]) - refToFloat(b[off + c * n + i])));
    s = c == 0 ? d : s + d;
  }
  return refRound(s / 3.0f);
}

// Two NaN operands may meet in an addition whose operand order the compiler
// chooses, so a NaN result is compared as "some NaN"; everything else bitwise.
void expectSameFloat(float got, float want, const std::string& what) {
  if (std::isnan(want))
    EXPECT_TRUE(std::isnan(got)) << what << " got " << got;
  else
    EXPECT_EQ(bitsOf(got), bitsOf(want)) << what << " got " << got << " want " << want;
}

// Halves: mostly values near the [0, 1] range of the pass, with subnormals,
// large values, infinities and NaNs at the given rate.
struct HalfGen {
  std::mt19937 rng;
  explicit HalfGen(uint32_t seed) : rng(seed) {}
  uint16_t operator()(double specialRate) {
    std::uniform_real_distribution<double> u(0, 1);
    if (u(rng) < specialRate) {
      static const uint16_t kSpecial[] = {0x7C00, 0xFC00, 0x7E00, 0x7C01, 0xFE3F, 0x0001, 0x03FF,
                                          0x8001, 0x7BFF, 0xFBFF, 0x8000, 0x0000};
      return kSpecial[rng() % (sizeof kSpecial / sizeof kSpecial[0])];
    }
    if (u(rng) < 0.1) return static_cast<uint16_t>(rng());  // any pattern
    return refToHalf(static_cast<float>(u(rng) * (u(rng) < 0.5 ? 1.0 : -1.0)));
  }
};

struct TermCase { size_t n, off; std::vector<uint16_t> a, b, wh; std::vector<float> w; };

// Planes of n elements placed `off` elements into their buffers, so the
// kernels see every misalignment of a vector.
TermCase makeCase(HalfGen& g, size_t n, size_t off, double specialRate) {
  TermCase c{n, off, std::vector<uint16_t>(off + 3 * n), std::vector<uint16_t>(off + 3 * n),
             std::vector<uint16_t>(off + n), std::vector<float>(off + n)};
  for (size_t i = 0; i < 3 * n; ++i) c.a[off + i] = g(specialRate), c.b[off + i] = g(specialRate);
  std::uniform_real_distribution<float> u(0.0f, 2.0f);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t pick = g.rng() % 10;
    c.w[off + i] = pick < 3 ? (pick == 0 ? -0.0f : 0.0f) : u(g.rng);
    if (specialRate > 0 && pick == 9) c.w[off + i] = (g.rng() & 1) ? NAN : INFINITY;
    c.wh[off + i] = g(specialRate);
  }
  return c;
}

// The file is built without contraction: each product is rounded before the sum.
float refExact(const TermCase& c, size_t begin, size_t end) {
  float sum = 0.0f;
  for (size_t i = begin; i < end; ++i)
    if (const float w = c.w[c.off + i]; w != 0.0f) sum += w * refMean(c.a, c.b, c.n, i, c.off);
  return sum;
}

float refPooled(const TermCase& c) {
  float sum = 0.0f;
  for (size_t i = 0; i < c.n; ++i) sum += refRound(refToFloat(c.wh[c.off + i]) * refMean(c.a, c.b, c.n, i, c.off));
  return sum;
}

TEST(TesseraKernels, RetrievalTermsEqualTheTranscriptionOnEveryTarget) {
  HalfGen g(7);
  std::vector<TermCase> cases;
  for (size_t n = 0; n <= 33; ++n)
    for (size_t off = 0; off < 4; ++off)
      for (double rate : {0.0, 0.02, 0.3}) cases.push_back(makeCase(g, n, off, rate));
  for (size_t n : {64u, 257u, 1000u}) cases.push_back(makeCase(g, n, 1, 0.0));
  le::test::forEachTarget([&](const char*) {
    for (const TermCase& c : cases) {
      const std::string at = "n " + std::to_string(c.n) + " off " + std::to_string(c.off);
      const uint16_t* a = c.a.data() + c.off;
      const uint16_t* b = c.b.data() + c.off;
      const float* w = c.w.data() + c.off;
      expectSameFloat(le::simd::retrieveTermExact(a, b, w, c.n), refExact(c, 0, c.n), "exact " + at);
      expectSameFloat(le::simd::retrieveTermPooled(a, b, c.wh.data() + c.off, c.n), refPooled(c),
                      "pooled " + at);
      // Every sub-range of the short cases, and a few of the long ones.
      const size_t step = c.n > 40 ? 13 : 1;
      for (size_t begin = 0; begin <= c.n; begin += step)
        for (size_t end = begin; end <= c.n; end += step)
          expectSameFloat(le::simd::retrieveTermExactRange(a, b, w, c.n, begin, end),
                          refExact(c, begin, end),
                          "range " + at + " [" + std::to_string(begin) + "," + std::to_string(end) + ")");
    }
  });
}

TEST(TesseraKernels, Rgb8ToPlanarF16EqualsTheTranscriptionOnEveryTarget) {
  std::mt19937 rng(3);
  le::test::forEachTarget([&](const char*) {
    std::vector<size_t> lengths(34);  // 0 ... 33, then longer ones
    std::iota(lengths.begin(), lengths.end(), size_t(0));
    lengths.insert(lengths.end(), {64, 255, 256, 1001});
    for (size_t pixels : lengths)
      for (size_t off = 0; off < 4; ++off) {
        std::vector<uint8_t> rgb(off + 3 * pixels);
        for (size_t i = 0; i < 3 * pixels; ++i)
          rgb[off + i] = pixels == 256 ? static_cast<uint8_t>(i / 3 + i % 3) : static_cast<uint8_t>(rng());
        const size_t stride = pixels + 3;  // a gap after each plane must stay untouched
        std::vector<uint16_t> planes(off + 3 * stride, 0xABCD);
        le::simd::rgb8ToPlanarF16(rgb.data() + off, planes.data() + off, stride, pixels);
        for (size_t c = 0; c < 3; ++c)
          for (size_t i = 0; i < stride; ++i) {
            const uint16_t got = planes[off + c * stride + i];
            const uint16_t want =
                i < pixels ? refToHalf(static_cast<float>(rgb[off + 3 * i + c]) / 255.0f) : 0xABCD;
            ASSERT_EQ(got, want) << "pixels " << pixels << " off " << off << " c " << c << " i " << i;
          }
        for (size_t i = 0; i < off; ++i) ASSERT_EQ(planes[i], 0xABCD);
      }
  });
}

struct ConvShape { int batch, cin, h, w, cout; };

// Per output: the float transcription (bias, then every tap inside the plane
// in (ci, ky, kx) order, each product rounded before it is added), the
// double-precision value and the sum of the magnitudes of its terms, the
// scale a float sum in any order stays within.
struct ConvRef { std::vector<float> ordered; std::vector<double> exact, mag; };

ConvRef refConv(const std::vector<float>& in, const ConvShape& s, const std::vector<float>& wt,
                const std::vector<float>& bias) {
  const size_t size = static_cast<size_t>(s.batch) * s.cout * s.h * s.w;
  ConvRef r{std::vector<float>(size), std::vector<double>(size), std::vector<double>(size)};
  for (int n = 0; n < s.batch; ++n)
    for (int co = 0; co < s.cout; ++co)
      for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x) {
          float acc = bias[co];
          double exact = bias[co], mag = std::fabs(bias[co]);
          for (int ci = 0; ci < s.cin; ++ci)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const int yy = y + ky - 1, xx = x + kx - 1;
                if (yy < 0 || yy >= s.h || xx < 0 || xx >= s.w) continue;
                const float a = wt[((co * s.cin + ci) * 3 + ky) * 3 + kx];
                const float b = in[((size_t(n) * s.cin + ci) * s.h + yy) * s.w + xx];
                acc += a * b;
                exact += double(a) * b, mag += std::fabs(double(a) * b);
              }
          const size_t o = ((static_cast<size_t>(n) * s.cout + co) * s.h + y) * s.w + x;
          r.ordered[o] = acc, r.exact[o] = exact, r.mag[o] = mag;
        }
  return r;
}

TEST(TesseraKernels, Conv3x3RangeMatchesAReferenceOnEveryTarget) {
  // 1 x 1 planes: only the centre tap lies inside.
  std::vector<ConvShape> shapes = {{1, 1, 1, 1, 1}, {2, 3, 1, 1, 2}, {1, 7, 33, 5, 3}, {3, 16, 9, 17, 2},
                                   {2, 2, 13, 1, 3}, {1, 16, 6, 48, 1}, {2, 7, 7, 71, 4},
                                   {2, 3, 4, 90, 9},     // groups of four channels and a single one
                                   {1, 16, 3, 64, 16}};  // a head layer's shape, smaller
  for (int w = 1; w <= 40; ++w) shapes.insert(shapes.end(), {{2, 3, 1, w, 2}, {1, 2, 2, w, 5}});
  for (int w = 1; w <= 20; ++w) shapes.push_back({1, 2, 3, w, 2});
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  le::test::forEachTarget([&](const char*) {
    for (const ConvShape& s : shapes) {
      const size_t plane = size_t(s.h) * s.w;
      std::vector<float> in(size_t(s.batch) * s.cin * plane), wt(s.cout * s.cin * 9), bias(s.cout);
      for (std::vector<float>* v : {&in, &wt, &bias})
        for (float& x : *v) x = u(rng);
      const ConvRef ref = refConv(in, s, wt, bias);
      const std::vector<double>& want = ref.exact;
      const int planes = s.batch * s.cout;
      const auto conv = [&](std::vector<float>& out, int from, int to) {
        le::simd::conv3x3Range(in.data(), s.batch, s.cin, s.h, s.w, wt.data(), bias.data(), s.cout, out.data(), from, to);
      };
      std::vector<float> whole(want.size(), NAN);
      conv(whole, 0, planes);
      const std::string at = std::to_string(s.batch) + "x" + std::to_string(s.cin) + "x" + std::to_string(s.h) + "x" +
                             std::to_string(s.w) + "->" + std::to_string(s.cout);
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_LE(std::fabs(whole[i] - want[i]), 1e-5 * ref.mag[i] + 1e-30) << at << " at " << i;
        ASSERT_EQ(bitsOf(whole[i]), bitsOf(ref.ordered[i])) << at << " at " << i << ": not the fixed order";
      }
      // Split at every plane boundary, each part into a buffer of its own:
      // a part writes only its planes, with the whole call's bits.
      for (int k = 0; k <= planes; ++k) {
        std::vector<float> head(want.size(), -7.0f), tail(want.size(), -7.0f);
        conv(head, 0, k);
        conv(tail, k, planes);
        for (size_t i = 0; i < whole.size(); ++i) {
          const bool inHead = i < static_cast<size_t>(k) * plane;
          ASSERT_EQ(bitsOf(inHead ? head[i] : tail[i]), bitsOf(whole[i])) << at << " split " << k << " at " << i;
          ASSERT_EQ(inHead ? tail[i] : head[i], -7.0f) << at << " split " << k << " wrote plane " << i / plane;
        }
      }
    }
  });
}

}  // namespace
