// The fp16 engine's kernels on every compiled vector target against plain
// double-precision references written from the operators' definitions: one
// sweep per kernel over lengths, pointer alignments and targets. Results are
// binary16 (or float32) roundings of the reference, so the tolerance is one
// binary16 rounding plus float32 accumulation.

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "le/render/conv_kernels.h"
#include "le/runtime/half.h"
#include "testkit/simd_each.h"

namespace {

using le::conv::Act;
using le::conv::Kernels;
using le::half::fromFloat;
using le::half::toFloat;

constexpr uint16_t kCanary = 0x7E5A;  // a NaN no kernel produces
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint16_t> randomHalfs(size_t n, std::mt19937& rng, float lo = -1.f, float hi = 1.f) {
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<uint16_t> v(n);
  for (uint16_t& h : v) h = fromFloat(u(rng));
  return v;
}

// |got - ref| within one binary16 rounding of ref (relative, or absolute at
// the subnormal floor) plus `slack`.
::testing::AssertionResult nearHalf(float got, double ref, double slack = 1e-6) {
  const double tol = std::max(std::fabs(ref), 6.1e-5) * (1.0 / 1024) + slack;
  if (std::fabs(static_cast<double>(got) - ref) <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got << ", reference " << ref << " (tolerance " << tol << ")";
}

// body(kernels, rng) on every compiled target, each with the same random stream.
template <class Body>
void eachTarget(uint32_t seed, Body body) {
  le::test::forEachTarget([&](const char*) {
    std::mt19937 rng(seed);
    body(le::conv::kernels(), rng);
  });
}

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

double actOf(Act a, double v) {
  if (a == Act::kRelu) return std::max(v, 0.0);
  if (a == Act::kSigmoid) return sigmoid(v);
  return v;
}

// ---- convolution ------------------------------------------------------------------

struct ConvCase {
  int k, ci, width, rows, block, valid;
  Act act;
  size_t inShift, outShift;  // alignment offsets of the buffers, in elements
};

void checkConv(const Kernels& kr, const ConvCase& c, std::mt19937& rng) {
  const int pixels = c.width + kr.maxTile + c.k - 1;  // staged pixels per row
  const size_t inPix = static_cast<size_t>(c.ci) + 1;  // one spare float per pixel
  const size_t inRow = static_cast<size_t>(pixels) * inPix + 3;
  const int inRows = c.rows + c.k - 1;
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  std::vector<float> inBuf(c.inShift + inRow * static_cast<size_t>(inRows), kNaN);
  float* in = inBuf.data() + c.inShift;
  // Pixels past the last one any stored output reads stay NaN: a kernel that
  // let them into a stored result would show NaN.
  for (int y = 0; y < inRows; ++y)
    for (int x = 0; x < c.width + c.k - 1; ++x)
      for (int ch = 0; ch < c.ci; ++ch) in[y * inRow + x * inPix + ch] = toFloat(fromFloat(u(rng)));
  // weights [o][ci][ky][kx] as the graph holds them; packed [tap][ci][block]
  std::vector<double> w(static_cast<size_t>(c.valid) * c.ci * c.k * c.k);
  for (double& v : w) v = toFloat(fromFloat(u(rng) / std::sqrt(static_cast<float>(c.ci * c.k * c.k))));
  std::vector<float> packed(static_cast<size_t>(c.k * c.k * c.ci * c.block), 0.f);
  std::vector<float> bias(static_cast<size_t>(c.block), 0.f);
  for (int o = 0; o < c.valid; ++o) {
    bias[o] = 0.25f * u(rng);
    for (int ch = 0; ch < c.ci; ++ch)
      for (int t = 0; t < c.k * c.k; ++t)
        packed[(static_cast<size_t>(t) * c.ci + ch) * c.block + o] =
            static_cast<float>(w[(static_cast<size_t>(o) * c.ci + ch) * c.k * c.k + t]);
  }
  const size_t outPix = static_cast<size_t>(c.block) + 5, outRow = outPix * static_cast<size_t>(c.width) + 7;
  std::vector<uint16_t> outBuf(c.outShift + outRow * static_cast<size_t>(c.rows) + 64, kCanary);
  uint16_t* out = outBuf.data() + c.outShift;
  kr.convBlock({.in = in, .inPix = inPix, .inRow = inRow, .ci = c.ci, .k = c.k, .rows = c.rows, .width = c.width,
                .w = packed.data(), .bias = bias.data(), .block = c.block, .valid = c.valid, .act = c.act, .out = out,
                .outPix = outPix, .outRow = outRow});
  for (int y = 0; y < c.rows; ++y)
    for (int x = 0; x < c.width; ++x)
      for (int o = 0; o < c.valid; ++o) {
        double acc = bias[o], mag = std::fabs(bias[o]);
        for (int ky = 0; ky < c.k; ++ky)
          for (int kx = 0; kx < c.k; ++kx)
            for (int ch = 0; ch < c.ci; ++ch) {
              const double t = in[(y + ky) * inRow + (x + kx) * inPix + ch] *
                               w[(static_cast<size_t>(o) * c.ci + ch) * c.k * c.k + ky * c.k + kx];
              acc += t;
              mag += std::fabs(t);
            }
        uint16_t& got = out[y * outRow + x * outPix + o];
        ASSERT_TRUE(nearHalf(toFloat(got), actOf(c.act, acc), 1e-6 * mag)) << "pixel (" << y << ", " << x << ") channel " << o;
        got = kCanary;  // checked: what is left must be untouched
      }
  for (size_t i = 0; i < outBuf.size(); ++i) ASSERT_EQ(outBuf[i], kCanary) << "written outside the block at " << i;
}

TEST(ConvKernels, ConvBlockEveryTargetEqualsTheReference) {
  eachTarget(21, [](const Kernels& kr, std::mt19937& rng) {
    int cases = 0;
    for (const int k : {1, 3})
      for (const int block : {8, 16, 24, 32}) {
        if (block % kr.lanes != 0) continue;
        for (const int valid : {block, block - 5, 1})
          for (const int ci : {1, 7, 33})
            for (const int width : {1, 3, 8, 13})
              for (const Act act : {Act::kNone, Act::kRelu, Act::kSigmoid}) {
                const ConvCase c{k, ci, width, 1 + (width % 3), block, std::max(valid, 1), act,
                                 static_cast<size_t>(cases % 3), static_cast<size_t>(cases % 5)};
                ++cases;
                SCOPED_TRACE(testing::Message() << "k " << k << " block " << block << " valid " << c.valid << " ci " << ci
                                                << " width " << width << " act " << static_cast<int>(act));
                checkConv(kr, c, rng);
                if (HasFatalFailure()) return;
              }
      }
    EXPECT_GT(cases, 100);
  });
}

// ---- staging: widening, pooling, upsampling ---------------------------------------------

TEST(ConvKernels, StagingEveryTargetEqualsTheReference) {
  eachTarget(22, [](const Kernels& kr, std::mt19937& rng) {
    for (const int c : {1, 3, 7, 16, 33})
      for (const int n : {1, 2, 5, 17})
        for (const size_t shift : {size_t{0}, size_t{1}, size_t{3}})
          for (const bool dense : {true, false}) {
            SCOPED_TRACE("c " + std::to_string(c) + " n " + std::to_string(n) + " shift " + std::to_string(shift));
            const size_t srcPix = static_cast<size_t>(c) + (dense ? 0 : 2);
            const size_t dstPix = static_cast<size_t>(c) + (dense ? 0 : 3);
            const std::vector<uint16_t> src = randomHalfs(shift + 4 * srcPix * (2 * n + 4), rng, -4.f, 4.f);
            const uint16_t* s0 = src.data() + shift;
            const uint16_t* s1 = s0 + 2 * srcPix * n + srcPix;  // a second row of 2n pixels
            std::vector<float> dst(shift + dstPix * n + 8, kNaN);
            float* d = dst.data() + shift;
            // The c channels of n pixels equal want(x, ch) within tol, each
            // marked checked; the rest of dst is untouched.
            auto expectRow = [&](const std::string& what, double tol, auto want) {
              for (size_t x = 0; x < size_t(n); ++x)
                for (size_t ch = 0; ch < size_t(c); ++ch) {
                  ASSERT_NEAR(d[x * dstPix + ch], want(x, ch), tol) << what << " at " << x << ", " << ch;
                  d[x * dstPix + ch] = kNaN;
                }
              for (size_t i = 0; i < dst.size(); ++i) ASSERT_TRUE(std::isnan(dst[i])) << what << " wrote outside at " << i;
            };
            auto px = [&](const uint16_t* row, size_t x, size_t ch) {
              return static_cast<double>(toFloat(row[x * srcPix + ch]));
            };
            kr.widenPixels(s0, srcPix, c, n, d, dstPix);
            expectRow("widen", 0, [&](size_t x, size_t ch) { return px(s0, x, ch); });
            kr.pool2Pixels(s0, s1, srcPix, c, n, d, dstPix);
            expectRow("pool2", 4e-7 * 16, [&](size_t x, size_t ch) {
              return (px(s0, 2 * x, ch) + px(s0, 2 * x + 1, ch) + px(s1, 2 * x, ch) + px(s1, 2 * x + 1, ch)) / 4;
            });
            for (const int factor : {1, 2, 4, 8})
              for (const int x0 : {0, 3}) {
                kr.upPixels(s0, srcPix, c, n, factor, x0, d, dstPix);
                expectRow("up x" + std::to_string(factor) + " from " + std::to_string(x0), 0,
                          [&](size_t x, size_t ch) { return px(s0, (x0 + x) / factor, ch); });
              }
          }
  });
}

// ---- phase A: input heat map, motion grid --------------------------------------------------

TEST(ConvKernels, InputRowEveryTargetEqualsTheReference) {
  eachTarget(23, [](const Kernels& kr, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-0.8f, 0.8f);
    const std::vector<uint16_t> pooled = randomHalfs(64 * 32 * 32, rng, 0.f, 1.f);
    std::vector<float> grid(32 * 32 * 2), kd(63), ks(63);
    for (int i = 0; i < 32 * 32; ++i) {
      grid[2 * i] = (static_cast<float>(i % 32) * 2 + 1) / 32 - 1;
      grid[2 * i + 1] = (static_cast<float>(i / 32) * 2 + 1) / 32 - 1;
    }
    for (int i = 0; i < 63; ++i) {
      ks[i] = u(rng);
      kd[i] = ks[i] + 0.1f * u(rng);
    }
    std::vector<float> tmp(21 * 32);
    for (const int y : {0, 7, 31}) {
      std::vector<uint16_t> out(32 * 88 + 4, kCanary);
      kr.inputRow(pooled.data(), grid.data(), kd.data(), ks.data(), y, out.data(), tmp.data());
      for (int x = 0; x < 32; ++x) {
        for (int c = 0; c < 64; ++c) ASSERT_EQ(out[x * 88 + c], pooled[c * 1024 + y * 32 + x]);
        const double gx = grid[(y * 32 + x) * 2], gy = grid[(y * 32 + x) * 2 + 1];
        const auto heat = [&](const float* kp) { return std::exp(-50 * ((gx - kp[0]) * (gx - kp[0]) + (gy - kp[1]) * (gy - kp[1]))); };
        for (int k = 0; k < 21; ++k)
          ASSERT_TRUE(nearHalf(toFloat(out[x * 88 + 64 + k]), heat(&kd[3 * k]) - heat(&ks[3 * k]), 2e-6)) << "y " << y << " x " << x << " k " << k;
        for (int c = 85; c < 88; ++c) ASSERT_EQ(out[x * 88 + c], 0);
      }
      for (int i = 32 * 88; i < 32 * 88 + 4; ++i) ASSERT_EQ(out[i], kCanary);
    }
  });
}

TEST(ConvKernels, GridRowEveryTargetEqualsTheSoftmaxReference) {
  eachTarget(24, [](const Kernels& kr, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    for (const int w : {1, 5, 16, 64, 67}) {
      const std::vector<uint16_t> logits = randomHalfs(static_cast<size_t>(w) * 22, rng, -6.f, 6.f);
      std::vector<float> base(2 * static_cast<size_t>(w)), disp(42), grid(2 * static_cast<size_t>(w) + 3, kNaN),
          tmp(22 * static_cast<size_t>(w));
      for (float& v : base) v = u(rng);
      for (float& v : disp) v = 0.1f * u(rng);
      kr.gridRow({.logits = logits.data(), .base = base.data(), .disp = disp.data(), .grid = grid.data(),
                  .tmp = tmp.data(), .width = w});
      for (int x = 0; x < w; ++x) {
        double m = -1e30, s = 0, fx = 0, fy = 0;
        for (int k = 0; k < 22; ++k) m = std::max(m, static_cast<double>(toFloat(logits[x * 22 + k])));
        for (int k = 0; k < 22; ++k) {
          const double e = std::exp(toFloat(logits[x * 22 + k]) - m);
          s += e;
          if (k > 0) {
            fx += e * disp[2 * (k - 1)];
            fy += e * disp[2 * (k - 1) + 1];
          }
        }
        ASSERT_NEAR(grid[2 * x], base[2 * x] + fx / s, 2e-6) << "width " << w << " x " << x;
        ASSERT_NEAR(grid[2 * x + 1], base[2 * x + 1] + fy / s, 2e-6) << "width " << w << " x " << x;
      }
      for (size_t i = 2 * static_cast<size_t>(w); i < grid.size(); ++i) ASSERT_TRUE(std::isnan(grid[i]));
    }
  });
}

// ---- phase B: sampling, basis product, refinement, composition ------------------------------

double bilinearAt(const std::vector<float>& plane, int side, double x, double y) {
  const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
  const int x1 = std::min(x0 + 1, side - 1), y1 = std::min(y0 + 1, side - 1);
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int yy, int xx) { return static_cast<double>(plane[static_cast<size_t>(yy) * side + xx]); };
  return (1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) + fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1));
}

TEST(ConvKernels, SampleRowEveryTargetEqualsTheReference) {
  eachTarget(25, [](const Kernels& kr, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(0.f, 1.f), g(-1.3f, 1.3f);
    for (const int C : {64, 256}) {
      std::vector<float> prior(3 * static_cast<size_t>(C) * C), grid(64 * 64 * 2);
      for (float& v : prior) v = u(rng);
      for (float& v : grid) v = g(rng);  // past [-1, 1]: the border clamps
      grid[2 * 70] = kNaN;                // a NaN coordinate must still land inside the prior
      std::vector<float> tmp(3 * static_cast<size_t>(C));
      for (const int y : {0, 1, C / 2 + 3, C - 1}) {
        std::vector<uint16_t> out(3 * static_cast<size_t>(C) + 5, kCanary);
        kr.sampleRow({.prior = prior.data(), .grid = grid.data(), .crop = C, .y = y, .out = out.data(), .tmp = tmp.data()});
        std::vector<float> gx(64 * 64), gy(64 * 64);
        for (int i = 0; i < 64 * 64; ++i) {
          gx[i] = std::isnan(grid[2 * i]) ? 0.f : grid[2 * i];
          gy[i] = grid[2 * i + 1];
        }
        const double sy = std::clamp((y + 0.5) * 64 / C - 0.5, 0.0, 63.0);
        for (int x = 0; x < C; ++x) {
          const double sx = std::clamp((x + 0.5) * 64 / C - 0.5, 0.0, 63.0);
          const bool nanNear = std::abs(sx - 70 % 64) <= 1.0 && std::abs(sy - 70 / 64) <= 1.0;
          const double px = std::clamp(((bilinearAt(gx, 64, sx, sy) + 1) * C - 1) / 2, 0.0, C - 1.0);
          const double py = std::clamp(((bilinearAt(gy, 64, sx, sy) + 1) * C - 1) / 2, 0.0, C - 1.0);
          for (int c = 0; c < 3; ++c) {
            const float got = toFloat(out[3 * x + c]);
            if (nanNear) {  // which value it takes is free; it must be a value of the prior's range
              ASSERT_TRUE(got >= 0.f && got <= 1.f) << got;
              continue;
            }
            const std::vector<float> plane(prior.begin() + c * C * C, prior.begin() + (c + 1) * C * C);
            // grid coordinates scale by C / 2: allow that on the float32 grid rounding
            ASSERT_TRUE(nearHalf(got, bilinearAt(plane, C, px, py), 1e-4)) << "C " << C << " y " << y << " x " << x;
          }
        }
        for (size_t i = 3 * static_cast<size_t>(C); i < out.size(); ++i) ASSERT_EQ(out[i], kCanary);
      }
    }
  });
}

TEST(ConvKernels, BasisGemmEveryTargetEqualsTheReference) {
  eachTarget(26, [](const Kernels& kr, std::mt19937& rng) {
    const size_t cols = 301;
    const std::vector<uint16_t> basis = randomHalfs(64 * cols, rng);
    for (int rows = 1; rows <= 8; ++rows) {
      const std::vector<uint16_t> coef = randomHalfs(static_cast<size_t>(rows) * 64, rng);
      for (const auto& [c0, c1] : {std::pair<size_t, size_t>{0, cols}, {3, 40}, {16, 48}, {17, 18}, {100, 100}}) {
        std::vector<uint16_t> out(static_cast<size_t>(rows) * cols, kCanary);
        kr.basisGemm(coef.data(), rows, basis.data(), cols, c0, c1, out.data());
        for (int r = 0; r < rows; ++r)
          for (size_t c = 0; c < cols; ++c) {
            const uint16_t got = out[r * cols + c];
            if (c < c0 || c >= c1) {
              ASSERT_EQ(got, kCanary) << "column " << c << " outside [" << c0 << ", " << c1 << ")";
              continue;
            }
            double acc = 0, mag = 0;
            for (int k = 0; k < 64; ++k) {
              const double t = static_cast<double>(toFloat(coef[r * 64 + k])) * toFloat(basis[k * cols + c]);
              acc += t;
              mag += std::fabs(t);
            }
            ASSERT_TRUE(nearHalf(toFloat(got), acc, 1e-6 * mag)) << "rows " << rows << " r " << r << " c " << c;
          }
      }
    }
  });
}

TEST(ConvKernels, RefineAndComposeRowsEveryTargetEqualTheReference) {
  eachTarget(27, [](const Kernels& kr, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(0.f, 1.f);
    for (const int C : {64, 128}) {
      const int H = C / 2;
      const std::vector<uint16_t> warped = randomHalfs(3 * static_cast<size_t>(C), rng, 0.f, 1.f);
      const std::vector<uint16_t> occ = randomHalfs(64, rng, 0.f, 1.f);
      const std::vector<uint16_t> corr = randomHalfs(static_cast<size_t>(H) * 12, rng, -0.3f, 0.3f);
      std::vector<float> tmp(12 * static_cast<size_t>(C) + 3 * 40);
      std::vector<uint16_t> tmp16(3 * static_cast<size_t>(C));
      for (const int y : {0, 1, 6, 7}) {
        std::vector<uint16_t> refined(3 * static_cast<size_t>(C) + 2, kCanary);
        kr.refineRow({.warped = warped.data(), .occ = occ.data(), .corr = corr.data(), .crop = C, .y = y,
                      .out = refined.data(), .tmp = tmp.data(), .tmp16 = tmp16.data()});
        for (int x = 0; x < C; ++x)
          for (int c = 0; c < 3; ++c) {
            // DepthToSpace(2, DCR): output (2i + a, 2j + b) channel c reads
            // input channel (a * 2 + b) * 3 + c of pixel (i, j)
            const double d = toFloat(corr[(x / 2) * 12 + ((y % 2) * 2 + x % 2) * 3 + c]);
            const double ref = static_cast<double>(toFloat(occ[x * 64 / C])) * toFloat(warped[3 * x + c]) + d;
            ASSERT_TRUE(nearHalf(toFloat(refined[3 * x + c]), ref, 1e-6)) << "y " << y << " x " << x << " c " << c;
          }
        ASSERT_EQ(refined[3 * C], kCanary);

        // compose the row, with and without a tile window
        const int x0 = 5, tileW = 40;
        std::vector<uint16_t> tile = randomHalfs(3 * tileW, rng, -4.f, 4.f);
        std::vector<float> feather(tileW);
        for (float& f : feather) f = u(rng);
        refined[0] = fromFloat(1.7f);   // clipped to 1
        refined[4] = fromFloat(-0.2f);  // clipped to 0
        for (const bool withTile : {false, true}) {
          std::vector<float> out(3 * static_cast<size_t>(C) + 3, kNaN);
          kr.composeRow({.refined = refined.data(), .tile = withTile ? tile.data() : nullptr,
                         .feather = withTile ? feather.data() : nullptr, .crop = C, .x0 = x0, .tileW = tileW,
                         .out = out.data(), .plane = static_cast<size_t>(C) + 1, .tmp = tmp.data()});
          for (int x = 0; x < C; ++x)
            for (int ch = 0; ch < 3; ++ch) {
              double v = toFloat(refined[3 * x + ch]);
              if (withTile && x >= x0 && x < x0 + tileW)
                v += feather[x - x0] * (sigmoid(toFloat(tile[3 * (x - x0) + ch])) - v);
              ASSERT_NEAR(out[ch * (C + 1) + x], std::clamp(v, 0.0, 1.0), 2e-6) << "x " << x << " channel " << ch;
            }
          for (int ch = 0; ch < 3; ++ch) ASSERT_TRUE(std::isnan(out[ch * (C + 1) + C]));
        }
      }
    }
  });
}

}  // namespace
