// GridSampleFast's band function. A row is taken in chunks: one vector pass
// turns the chunk's grid pairs into corner offsets and weights, then each
// channel gathers its four corners over the whole chunk. Planes of a
// power-of-two size alias in the cache when every channel is read per pixel,
// which made the per-pixel channel loop 3x slower at 32 x 64 x 64.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/render/le_gridsample_fast.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "le/render/grid_tap.h"
#include "le/render/le_custom_ops.h"

HWY_BEFORE_NAMESPACE();
namespace le::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Pixels per chunk: a multiple of every lane count, and 8 arrays of it stay
// in L1 (8 KiB).
constexpr size_t kChunk = 256;

struct Corners {
  HWY_ALIGN int32_t o00[kChunk], o01[kChunk], o10[kChunk], o11[kChunk];
  HWY_ALIGN float w00[kChunk], w01[kChunk], w10[kChunk], w11[kChunk];
};

// Scalar twin of the vector setup, for the chunk's last partial vector.
HWY_INLINE void setupOne(const float* g, int32_t H, int32_t W, Corners& k, size_t i) {
  const grid::Tap tx = grid::tap(grid::position(g[0], W), W);
  const grid::Tap ty = grid::tap(grid::position(g[1], H), H);
  k.o00[i] = ty.i0 * W + tx.i0;
  k.o01[i] = ty.i0 * W + tx.i1;
  k.o10[i] = ty.i1 * W + tx.i0;
  k.o11[i] = ty.i1 * W + tx.i1;
  k.w00[i] = (1.f - tx.t) * (1.f - ty.t);
  k.w01[i] = tx.t * (1.f - ty.t);
  k.w10[i] = (1.f - tx.t) * ty.t;
  k.w11[i] = tx.t * ty.t;
}

// Requires H, W <= 2^24 (exact as floats) and H W < 2^31 (int32 offsets).
void GridSampleRows(const float* HWY_RESTRICT X, const float* HWY_RESTRICT grid, float* HWY_RESTRICT Y,
                    int32_t C, int32_t H, int32_t W, int32_t y0, int32_t y1) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const size_t N = hn::Lanes(df);
  const auto one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f), zero = hn::Zero(df);
  const auto wf = hn::Set(df, static_cast<float>(W)), hf = hn::Set(df, static_cast<float>(H));
  const auto wmax = hn::Set(df, static_cast<float>(W - 1)), hmax = hn::Set(df, static_cast<float>(H - 1));
  const auto wlast = hn::Set(di, W - 1), hlast = hn::Set(di, H - 1), wi = hn::Set(di, W);
  const auto ione = hn::Set(di, 1);
  const size_t hw = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t w = static_cast<size_t>(W);
  Corners k;
  for (int32_t y = y0; y < y1; ++y) {
    for (size_t x0 = 0; x0 < w; x0 += kChunk) {
      const size_t n = w - x0 < kChunk ? w - x0 : kChunk;
      const float* g = grid + (static_cast<size_t>(y) * w + x0) * 2;
      size_t i = 0;
      for (; i + N <= n; i += N) {
        hn::Vec<decltype(df)> gx, gy;
        hn::LoadInterleaved2(df, g + 2 * i, gx, gy);
        auto px = hn::Mul(hn::Sub(hn::Mul(hn::Add(gx, one), wf), one), half);
        auto py = hn::Mul(hn::Sub(hn::Mul(hn::Add(gy, one), hf), one), half);
        // NaN first (it would survive Min/Max on some targets), then clamp:
        // the integers below are always in range.
        px = hn::Min(hn::Max(hn::IfThenElseZero(hn::Eq(px, px), px), zero), wmax);
        py = hn::Min(hn::Max(hn::IfThenElseZero(hn::Eq(py, py), py), zero), hmax);
        const auto flx = hn::Floor(px), fly = hn::Floor(py);
        const auto tx = hn::Sub(px, flx), ty = hn::Sub(py, fly);
        const auto ix0 = hn::ConvertTo(di, flx), iy0 = hn::ConvertTo(di, fly);
        const auto ix1 = hn::Min(hn::Add(ix0, ione), wlast), iy1 = hn::Min(hn::Add(iy0, ione), hlast);
        const auto r0 = hn::Mul(iy0, wi), r1 = hn::Mul(iy1, wi);
        hn::Store(hn::Add(r0, ix0), di, k.o00 + i);
        hn::Store(hn::Add(r0, ix1), di, k.o01 + i);
        hn::Store(hn::Add(r1, ix0), di, k.o10 + i);
        hn::Store(hn::Add(r1, ix1), di, k.o11 + i);
        const auto ux = hn::Sub(one, tx), uy = hn::Sub(one, ty);
        hn::Store(hn::Mul(ux, uy), df, k.w00 + i);
        hn::Store(hn::Mul(tx, uy), df, k.w01 + i);
        hn::Store(hn::Mul(ux, ty), df, k.w10 + i);
        hn::Store(hn::Mul(tx, ty), df, k.w11 + i);
      }
      const size_t nv = i;
      for (; i < n; ++i) setupOne(g + 2 * i, H, W, k, i);

      const float* plane = X;
      float* out = Y + static_cast<size_t>(y) * w + x0;
      for (int32_t c = 0; c < C; ++c, plane += hw, out += hw) {
        for (i = 0; i < nv; i += N) {
          auto v = hn::Mul(hn::Load(df, k.w00 + i), hn::GatherIndex(df, plane, hn::Load(di, k.o00 + i)));
          v = hn::MulAdd(hn::Load(df, k.w01 + i), hn::GatherIndex(df, plane, hn::Load(di, k.o01 + i)), v);
          v = hn::MulAdd(hn::Load(df, k.w10 + i), hn::GatherIndex(df, plane, hn::Load(di, k.o10 + i)), v);
          v = hn::MulAdd(hn::Load(df, k.w11 + i), hn::GatherIndex(df, plane, hn::Load(di, k.o11 + i)), v);
          hn::StoreU(v, df, out + i);
        }
        for (; i < n; ++i)
          out[i] = k.w00[i] * plane[k.o00[i]] + k.w01[i] * plane[k.o01[i]] + k.w10[i] * plane[k.o10[i]] +
                   k.w11[i] * plane[k.o11[i]];
      }
    }
  }
}

}  // namespace le::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(GridSampleRows);

namespace {

// Any size: 64-bit offsets, one pixel at a time.
void gridSampleRowsWide(const float* X, const float* grid, float* Y, int32_t C, int32_t H, int32_t W,
                        int32_t y0, int32_t y1) {
  const size_t hw = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t w = static_cast<size_t>(W);
  for (int32_t y = y0; y < y1; ++y) {
    const float* g = grid + static_cast<size_t>(y) * w * 2;
    float* out = Y + static_cast<size_t>(y) * w;
    for (size_t x = 0; x < w; ++x, g += 2, ++out) {
      const grid::Tap tx = grid::tap(grid::position(g[0], W), W);
      const grid::Tap ty = grid::tap(grid::position(g[1], H), H);
      const float w00 = (1.f - tx.t) * (1.f - ty.t), w01 = tx.t * (1.f - ty.t);
      const float w10 = (1.f - tx.t) * ty.t, w11 = tx.t * ty.t;
      const size_t r0 = static_cast<size_t>(ty.i0) * w, r1 = static_cast<size_t>(ty.i1) * w;
      const size_t o00 = r0 + static_cast<size_t>(tx.i0), o01 = r0 + static_cast<size_t>(tx.i1);
      const size_t o10 = r1 + static_cast<size_t>(tx.i0), o11 = r1 + static_cast<size_t>(tx.i1);
      const float* xc = X;
      float* yc = out;
      for (int32_t c = 0; c < C; ++c, xc += hw, yc += hw)
        *yc = w00 * xc[o00] + w01 * xc[o01] + w10 * xc[o10] + w11 * xc[o11];
    }
  }
}

}  // namespace

void gridsample_fast_band(const float* X, const float* grid, float* Y, int32_t C, int32_t H,
                          int32_t W, int32_t y0, int32_t y1) {
  if (y0 < 0) y0 = 0;
  if (y1 > H) y1 = H;
  if (C <= 0 || W <= 0 || y0 >= y1) return;
  constexpr int32_t kExactFloat = 1 << 24;
  if (H <= kExactFloat && W <= kExactFloat &&
      static_cast<int64_t>(H) * W <= static_cast<int64_t>(INT32_MAX))
    HWY_DYNAMIC_DISPATCH(GridSampleRows)(X, grid, Y, C, H, W, y0, y1);
  else
    gridSampleRowsWide(X, grid, Y, C, H, W, y0, y1);
}

void gridsample_fast(const float* X, const float* grid, float* Y, int32_t C, int32_t H, int32_t W) {
  gridsample_fast_band(X, grid, Y, C, H, W, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
