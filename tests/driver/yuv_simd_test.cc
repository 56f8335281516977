// Yuv420RowToRgb24 and Yuv420FrameToRgb24 on every compiled target against a
// direct transcription of the BT.601 limited-range formula in 32-bit ints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "le/driver/yuv.h"
#include "testkit/simd_each.h"

namespace {

using le::test::Fenced;

std::vector<uint8_t> refRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w, int step) {
  std::vector<uint8_t> out(size_t(std::max(w, 0)) * 3);
  const auto clamp = [](int x) { return uint8_t(std::clamp(x, 0, 255)); };
  for (int x = 0; x < w; ++x) {
    const int c = 298 * (y[x] - 16) + 128, U = u[(x / 2) * step] - 128, V = v[(x / 2) * step] - 128;
    out[3 * x] = clamp((c + 409 * V) >> 8);  // arithmetic shift: floor
    out[3 * x + 1] = clamp((c - 100 * U - 208 * V) >> 8);
    out[3 * x + 2] = clamp((c + 516 * U) >> 8);
  }
  return out;
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = uint8_t(rng());
  return out;
}

// Converts one row into a fenced buffer at a misalignment; fails on any byte
// outside the row and returns what the kernel wrote.
std::vector<uint8_t> convert(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w, int step, size_t off = 0) {
  Fenced<uint8_t> out(size_t(std::max(w, 0)) * 3, off, 0xA5);
  le::simd::yuv420RowToRgb24(y, u, v, w, step, out.at());
  EXPECT_TRUE(out.intact()) << "w " << w << " step " << step << " off " << off;
  return {out.at(), out.at() + out.n};
}

// Every width up to several vectors, four misalignments of the source rows
// and the output, planar and nv12 (an exact 2 * ceil(w / 2) byte chroma row,
// so a read past it is caught by the sanitizer), and the nv21 order.
TEST(Yuv420RowToRgb24, WidthsOffsetsAndStepsMatchTheFormula) {
  std::mt19937 rng(5);
  const auto y = randomBytes(rng, 300), u = randomBytes(rng, 450), v = randomBytes(rng, 450), uv = randomBytes(rng, 300);
  le::test::sweep(140, 4, [&](size_t n, size_t off) {
    const int w = int(n);
    const uint8_t *ys = y.data() + off, *us = u.data() + off, *vs = v.data() + off;
    ASSERT_EQ(convert(ys, us, vs, w, 1, off), refRow(ys, us, vs, w, 1)) << "planar w " << w << " off " << off;
    const std::vector<uint8_t> row(uv.begin() + ptrdiff_t(off), uv.begin() + ptrdiff_t(off + 2 * ((n + 1) / 2)));
    ASSERT_EQ(convert(ys, row.data(), row.data() + 1, w, 2, off), refRow(ys, row.data(), row.data() + 1, w, 2))
        << "nv12 w " << w << " off " << off;
    ASSERT_EQ(convert(ys, row.data() + 1, row.data(), w, 2, off), refRow(ys, row.data() + 1, row.data(), w, 2))
        << "nv21 w " << w << " off " << off;
    ASSERT_EQ(convert(ys, us, vs, w, 3, off), refRow(ys, us, vs, w, 3)) << "step 3 w " << w;
  });
  le::test::forEachTarget([&](const char*) {
    convert(y.data(), u.data(), v.data(), -3, 2);  // a width below 1 writes nothing
    std::vector<uint8_t> ly(512), lu(256), lv(256);
    // Row a: chroma sample k is (k, a + 7k): every (U, V) pair occurs, each
    // under a different luma on its even and odd pixel.
    for (int a = 0; a < 256; ++a) {
      for (int k = 0; k < 256; ++k) {
        lu[k] = uint8_t(k), lv[k] = uint8_t(a + 7 * k);
        ly[2 * k] = uint8_t(k + 3 * a), ly[2 * k + 1] = uint8_t(255 - k + 5 * a);
      }
      ASSERT_EQ(convert(ly.data(), lu.data(), lv.data(), 512, 1), refRow(ly.data(), lu.data(), lv.data(), 512, 1)) << a;
    }
  });
}

// Row pairs share their chroma terms: odd heights, widths past one vector
// with a shifted last block, strides, and interleaved chroma.
TEST(Yuv420FrameToRgb24, RowsUseHalfHeightChromaAndStrides) {
  for (const auto& [w, h, step] : {std::tuple{37, 9, 1}, {203, 6, 2}, {130, 1, 1}, {161, 5, 2}}) {
    std::mt19937 rng(3 + w);
    const ptrdiff_t ys = w + 3, cs = 2 * ((w + 1) / 2) + 8, os = 3 * w + 5;
    const auto y = randomBytes(rng, size_t(ys * h)), u = randomBytes(rng, size_t(cs * h)), v = randomBytes(rng, size_t(cs * h));
    const uint8_t* vp = step == 1 ? v.data() : u.data() + 1;  // step 2: V one byte after U
    const ptrdiff_t vs = step == 1 ? cs - 4 : cs;
    le::test::forEachTarget([&](const char*) {
      std::vector<uint8_t> out(size_t(os * h), 0xA5);
      le::simd::yuv420FrameToRgb24(y.data(), ys, u.data(), cs, vp, vs, w, h, step, out.data(), os);
      for (int r = 0; r < h; ++r) {
        const auto want = refRow(y.data() + r * ys, u.data() + (r / 2) * cs, vp + (r / 2) * vs, w, step);
        ASSERT_EQ(std::vector<uint8_t>(out.begin() + r * os, out.begin() + r * os + 3 * w), want) << w << " row " << r;
        for (ptrdiff_t i = 3 * w; i < os; ++i) ASSERT_EQ(out[size_t(r * os + i)], 0xA5) << r;
      }
    });
  }
}

}  // namespace
