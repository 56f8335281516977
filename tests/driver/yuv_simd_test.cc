// Yuv420RowToRgb24 on every compiled target against a direct transcription of
// the BT.601 limited-range formula in 32-bit arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "le/driver/yuv.h"
#include "testkit/simd_each.h"

namespace {

struct Rgb {
  int r, g, b;
};

Rgb ref(int Y, int U, int V) {
  const int c = 298 * (Y - 16) + 128;
  const auto clamp = [](int x) { return x < 0 ? 0 : x > 255 ? 255 : x; };
  // >> on negative int is arithmetic in C++20.
  return {clamp((c + 409 * (V - 128)) >> 8), clamp((c - 100 * (U - 128) - 208 * (V - 128)) >> 8),
          clamp((c + 516 * (U - 128)) >> 8)};
}

// Reference row: chroma sample (x / 2) * step of u and v.
std::vector<uint8_t> refRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w,
                            int step) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * 3);
  for (int x = 0; x < w; ++x) {
    const Rgb p = ref(y[x], u[(x / 2) * step], v[(x / 2) * step]);
    out[3 * x] = static_cast<uint8_t>(p.r);
    out[3 * x + 1] = static_cast<uint8_t>(p.g);
    out[3 * x + 2] = static_cast<uint8_t>(p.b);
  }
  return out;
}

constexpr uint8_t kCanary = 0xA5;

// Converts into a buffer with canaries on both sides; returns the row and
// checks that nothing outside it was touched.
std::vector<uint8_t> convert(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w,
                             int step) {
  const size_t n = static_cast<size_t>(std::max(w, 0)) * 3;
  std::vector<uint8_t> buf(n + 64, kCanary);
  le::simd::yuv420RowToRgb24(y, u, v, w, step, buf.data() + 32);
  for (size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(buf[i], kCanary) << "before the row, w=" << w;
    EXPECT_EQ(buf[32 + n + i], kCanary) << "after the row, w=" << w;
  }
  return {buf.begin() + 32, buf.begin() + 32 + static_cast<ptrdiff_t>(n)};
}

size_t firstMismatch(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return static_cast<size_t>(m.first - a.begin());
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

TEST(Yuv420RowToRgb24, ReferenceFormulaValues) {
  EXPECT_EQ(ref(16, 128, 128).r, 0);
  EXPECT_EQ(ref(235, 128, 128).g, 255);
  const Rgb red = ref(81, 90, 240);
  EXPECT_EQ(red.r, 255);
  EXPECT_EQ(red.g, 0);
  EXPECT_EQ(red.b, 0);
}

TEST(Yuv420RowToRgb24, KnownColoursOnEveryTarget) {
  struct Case {
    uint8_t y, u, v, r, g, b;
  };
  const Case cases[] = {{16, 128, 128, 0, 0, 0},
                        {235, 128, 128, 255, 255, 255},
                        {81, 90, 240, 255, 0, 0},
                        {126, 128, 128, 128, 128, 128},  // (298 * 110 + 128) >> 8
                        {0, 0, 0, 0, 135, 0},            // clamps below, G from -U' and -V'
                        {255, 255, 255, 255, 125, 255}};
  le::test::forEachTarget([&](const char*) {
    for (const Case& c : cases) {
      for (int w : {1, 2, 3, 5, 7, 9, 16, 33, 100}) {
        const std::vector<uint8_t> y(w, c.y), u((w + 1) / 2, c.u), v((w + 1) / 2, c.v);
        const std::vector<uint8_t> got = convert(y.data(), u.data(), v.data(), w, 1);
        for (int x = 0; x < w; ++x) {
          ASSERT_EQ(got[3 * x], c.r) << int(c.y) << " w=" << w << " x=" << x;
          ASSERT_EQ(got[3 * x + 1], c.g) << int(c.y) << " w=" << w << " x=" << x;
          ASSERT_EQ(got[3 * x + 2], c.b) << int(c.y) << " w=" << w << " x=" << x;
        }
      }
    }
  });
}

TEST(Yuv420RowToRgb24, EveryWidthBothStepsOnEveryTarget) {
  std::mt19937 rng(5);
  // Chroma interleaved as nv12 for step 2; the planar case reads its own rows.
  const std::vector<uint8_t> y = randomBytes(rng, 64), u = randomBytes(rng, 32),
                             v = randomBytes(rng, 32), uv = randomBytes(rng, 64);
  le::test::forEachTarget([&](const char*) {
    for (int w = 1; w <= 40; ++w) {
      const auto want1 = refRow(y.data(), u.data(), v.data(), w, 1);
      const auto got1 = convert(y.data(), u.data(), v.data(), w, 1);
      ASSERT_EQ(firstMismatch(got1, want1), want1.size()) << "planar w=" << w;
      // The exact nv12 row length: 2 * ceil(w / 2) bytes, so a read past it
      // is caught by the sanitizer.
      const std::vector<uint8_t> row(uv.begin(), uv.begin() + 2 * ((w + 1) / 2));
      const auto want2 = refRow(y.data(), row.data(), row.data() + 1, w, 2);
      const auto got2 = convert(y.data(), row.data(), row.data() + 1, w, 2);
      ASSERT_EQ(firstMismatch(got2, want2), want2.size()) << "nv12 w=" << w;
    }
    // Width below 1 writes nothing (convert checks the canaries).
    convert(y.data(), u.data(), v.data(), 0, 1);
    convert(y.data(), u.data(), v.data(), -3, 2);
  });
}

TEST(Yuv420RowToRgb24, Nv12ReadsUAtEvenAndVAtOddBytes) {
  // U = 90 at even bytes, V = 240 at odd: the saturated red. Swapped would be
  // a different colour.
  std::vector<uint8_t> y(48, 81), uv(48);
  for (size_t i = 0; i < uv.size(); ++i) uv[i] = (i % 2 == 0) ? 90 : 240;
  le::test::forEachTarget([&](const char*) {
    for (int w : {1, 6, 17, 48}) {
      const auto got = convert(y.data(), uv.data(), uv.data() + 1, w, 2);
      for (int x = 0; x < w; ++x) {
        ASSERT_EQ(got[3 * x], 255) << x;
        ASSERT_EQ(got[3 * x + 1], 0) << x;
        ASSERT_EQ(got[3 * x + 2], 0) << x;
      }
      // nv21 order (V first) through the same pointers, swapped.
      const auto swapped = convert(y.data(), uv.data() + 1, uv.data(), w, 2);
      const Rgb want = ref(81, 240, 90);
      for (int x = 0; x < w; ++x) ASSERT_EQ(swapped[3 * x + 2], want.b) << x;
    }
  });
}

TEST(Yuv420RowToRgb24, EveryChromaPairWithVaryingLuma) {
  // Row a: chroma sample k is (U, V) = (k, a + 7k); over all rows every (U,
  // V) pair occurs, each with a different luma on its even and odd pixel.
  le::test::forEachTarget([&](const char*) {
    std::vector<uint8_t> y(512), u(256), v(256);
    for (int a = 0; a < 256; ++a) {
      for (int k = 0; k < 256; ++k) {
        u[k] = static_cast<uint8_t>(k);
        v[k] = static_cast<uint8_t>(a + 7 * k);
        y[2 * k] = static_cast<uint8_t>(k + 3 * a);
        y[2 * k + 1] = static_cast<uint8_t>(255 - k + 5 * a);
      }
      const auto want = refRow(y.data(), u.data(), v.data(), 512, 1);
      const auto got = convert(y.data(), u.data(), v.data(), 512, 1);
      ASSERT_EQ(firstMismatch(got, want), want.size()) << "row " << a;
    }
  });
}

TEST(Yuv420RowToRgb24, RandomRowsAndOtherSteps) {
  std::mt19937 rng(11);
  le::test::forEachTarget([&](const char*) {
    for (int iter = 0; iter < 60; ++iter) {
      const int w = iter < 4 ? 1920 + iter : 1 + static_cast<int>(rng() % 700);
      const size_t cw = static_cast<size_t>(w + 1) / 2;
      const auto y = randomBytes(rng, static_cast<size_t>(w));
      const auto u = randomBytes(rng, cw), v = randomBytes(rng, cw);
      const auto uv = randomBytes(rng, 2 * cw);
      const auto want1 = refRow(y.data(), u.data(), v.data(), w, 1);
      ASSERT_EQ(firstMismatch(convert(y.data(), u.data(), v.data(), w, 1), want1), want1.size())
          << "planar w=" << w;
      const auto want2 = refRow(y.data(), uv.data(), uv.data() + 1, w, 2);
      ASSERT_EQ(firstMismatch(convert(y.data(), uv.data(), uv.data() + 1, w, 2), want2),
                want2.size())
          << "nv12 w=" << w;
      // Step 2 over two separate rows and step 3: the general element form.
      const auto u2 = randomBytes(rng, 3 * cw), v2 = randomBytes(rng, 3 * cw);
      for (int step : {2, 3}) {
        const auto want = refRow(y.data(), u2.data(), v2.data(), w, step);
        ASSERT_EQ(firstMismatch(convert(y.data(), u2.data(), v2.data(), w, step), want),
                  want.size())
            << "step " << step << " w=" << w;
      }
    }
  });
}

// Row pairs share their chroma terms: odd heights, widths past one full
// vector with a shifted last block, and interleaved chroma all go through it.
TEST(Yuv420FrameToRgb24, RowsUseHalfHeightChromaAndStrides) {
  struct Case { int w, h, step; };
  for (const Case c : {Case{37, 9, 1}, Case{203, 6, 2}, Case{130, 1, 1}, Case{161, 5, 2}}) {
    std::mt19937 rng(3 + c.w);
    const ptrdiff_t ys = c.w + 3, cs = 2 * ((c.w + 1) / 2) + 8, os = 3 * c.w + 5;
    const int ch = (c.h + 1) / 2;
    const auto y = randomBytes(rng, ys * c.h), u = randomBytes(rng, cs * ch);
    const auto v = randomBytes(rng, cs * ch);
    // Step 2 reads U and V interleaved from one plane, V one byte after U.
    const uint8_t* vp = c.step == 1 ? v.data() : u.data() + 1;
    const ptrdiff_t vs = c.step == 1 ? cs - 4 : cs;
    le::test::forEachTarget([&](const char*) {
      std::vector<uint8_t> out(os * c.h, kCanary);
      le::simd::yuv420FrameToRgb24(y.data(), ys, u.data(), cs, vp, vs, c.w, c.h, c.step,
                                    out.data(), os);
      for (int r = 0; r < c.h; ++r) {
        const auto want = refRow(y.data() + r * ys, u.data() + (r / 2) * cs, vp + (r / 2) * vs,
                                 c.w, c.step);
        const std::vector<uint8_t> got(out.begin() + r * os, out.begin() + r * os + 3 * c.w);
        ASSERT_EQ(firstMismatch(got, want), want.size()) << "w " << c.w << " row " << r;
        for (ptrdiff_t i = 3 * c.w; i < os; ++i) ASSERT_EQ(out[r * os + i], kCanary) << r;
      }
    });
  }
}

}  // namespace
