// WarpDirector's band function. The corrected warp
// S(v) - A S(Dxx) - B S(Dyy) + A B S(Dxxyy) factors into (1 - A dxx)(1 - B dyy)
// applied at the bilinear corners, so an output sample is a separable 4x4
// filter over the patch spanned by the corners' neighbourhoods (up to 6x6
// clamped taps at the border). One vector pass per chunk of a row computes
// the patch origins and filter taps; each interior pixel then filters its
// patch with 4-lane vectors, one row per load.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/render/le_warp_director.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "le/render/grid_tap.h"
#include "le/render/le_custom_ops.h"

#ifndef LE_RENDER_WARP_DIRECTOR_SHARED
#define LE_RENDER_WARP_DIRECTOR_SHARED
namespace le::warp {

constexpr int kChannels = 3;

// The taps of one axis: the corners' neighbourhoods with (1 - A d2) folded
// into the bilinear weights.
struct AxisTaps {
  bool inside;     // i0 - 1 .. i0 + 2 all lie in the image
  int32_t idx[6];  // clamped; the first four are i0 - 1 .. i0 + 2 when inside
  float wt[6];
};

inline AxisTaps axisTaps(float g, int32_t n) {
  const float p = grid::position(g, n);
  const float f = grid::fraction(p);
  const float a = f * (1.f - f) * 0.5f;
  const grid::Tap t = grid::tap(p, n);
  const float w0 = 1.f - t.t, w1 = t.t;
  AxisTaps r;
  r.inside = t.i0 >= 1 && t.i1 == t.i0 + 1 && t.i1 + 1 < n;
  if (r.inside) {
    r.idx[0] = t.i0 - 1;
    r.idx[1] = t.i0;
    r.idx[2] = t.i1;
    r.idx[3] = t.i1 + 1;
    r.wt[0] = -a * w0;
    r.wt[1] = (1.f + 2.f * a) * w0 - a * w1;
    r.wt[2] = (1.f + 2.f * a) * w1 - a * w0;
    r.wt[3] = -a * w1;
    return r;
  }
  const int32_t c[2] = {t.i0, t.i1};
  const float w[2] = {w0, w1};
  for (int k = 0; k < 2; ++k) {
    r.idx[3 * k] = grid::clampIndex(c[k] - 1, n);
    r.idx[3 * k + 1] = c[k];
    r.idx[3 * k + 2] = grid::clampIndex(c[k] + 1, n);
    r.wt[3 * k] = -a * w[k];
    r.wt[3 * k + 1] = (1.f + 2.f * a) * w[k];
    r.wt[3 * k + 2] = -a * w[k];
  }
  return r;
}

// One output pixel (all channels) from its grid pair, any position.
inline void warpPixel(const float* src, const float* g, float* out, int32_t W, int32_t H, size_t hw) {
  const AxisTaps tx = axisTaps(g[0], W);
  const AxisTaps ty = axisTaps(g[1], H);
  const int nx = tx.inside ? 4 : 6, ny = ty.inside ? 4 : 6;
  const size_t w = static_cast<size_t>(W);
  for (int c = 0; c < kChannels; ++c) {
    const float* plane = src + static_cast<size_t>(c) * hw;
    float acc = 0.f;
    for (int r = 0; r < ny; ++r) {
      const float* row = plane + static_cast<size_t>(ty.idx[r]) * w;
      float s = 0.f;
      for (int k = 0; k < nx; ++k) s += tx.wt[k] * row[tx.idx[k]];
      acc += ty.wt[r] * s;
    }
    out[static_cast<size_t>(c) * hw] = acc;
  }
}

}  // namespace le::warp
#endif  // LE_RENDER_WARP_DIRECTOR_SHARED

HWY_BEFORE_NAMESPACE();
namespace le::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr size_t kChunk = 256;  // a multiple of every lane count

struct Patches {
  HWY_ALIGN int32_t x[kChunk], y[kChunk];  // patch origin; -1 on the border path
  HWY_ALIGN float h[4][kChunk], v[4][kChunk];
};

// One axis for a vector of grid coordinates: patch origin i0 - 1 (or -1 when
// the patch leaves the image) and the four folded taps.
template <class DF, class V>
HWY_INLINE void axisVec(DF df, V g, int32_t n, int32_t* origin, float* const* taps) {
  const hn::RebindToSigned<DF> di;
  const auto one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f), zero = hn::Zero(df);
  const auto p = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(df, static_cast<float>(n))), one), half);
  auto f = hn::Sub(p, hn::Floor(p));
  f = hn::IfThenElseZero(hn::Lt(f, one), f);  // inf and NaN have no fraction
  const auto a = hn::Mul(hn::Mul(f, hn::Sub(one, f)), half);
  auto q = hn::IfThenElseZero(hn::Eq(p, p), p);
  q = hn::Min(hn::Max(q, zero), hn::Set(df, static_cast<float>(n - 1)));
  const auto fl = hn::Floor(q);
  const auto w1 = hn::Sub(q, fl), w0 = hn::Sub(one, w1);
  const auto i0 = hn::ConvertTo(di, fl);
  const auto inside = hn::And(hn::Gt(i0, hn::Zero(di)), hn::Lt(hn::Add(i0, hn::Set(di, 2)), hn::Set(di, n)));
  hn::Store(hn::IfThenElse(inside, hn::Sub(i0, hn::Set(di, 1)), hn::Set(di, -1)), di, origin);
  const auto b = hn::MulAdd(hn::Set(df, 2.f), a, one);  // 1 + 2a
  const auto na = hn::Neg(a);
  hn::Store(hn::Mul(na, w0), df, taps[0]);
  hn::Store(hn::MulAdd(b, w0, hn::Mul(na, w1)), df, taps[1]);
  hn::Store(hn::MulAdd(b, w1, hn::Mul(na, w0)), df, taps[2]);
  hn::Store(hn::Mul(na, w1), df, taps[3]);
}

// Requires H, W <= 2^24 (exact as floats).
void WarpRows(const float* HWY_RESTRICT src, const float* HWY_RESTRICT grid, float* HWY_RESTRICT Y,
              int32_t W, int32_t H, int32_t y0, int32_t y1) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const size_t hw = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t w = static_cast<size_t>(W);
  Patches k;
  for (int32_t y = y0; y < y1; ++y) {
    for (size_t x0 = 0; x0 < w; x0 += kChunk) {
      const size_t n = w - x0 < kChunk ? w - x0 : kChunk;
      const float* g = grid + (static_cast<size_t>(y) * w + x0) * 2;
      float* out = Y + static_cast<size_t>(y) * w + x0;
      size_t i = 0;
      for (; i + N <= n; i += N) {
        hn::Vec<decltype(df)> gx, gy;
        hn::LoadInterleaved2(df, g + 2 * i, gx, gy);
        float* const hx[4] = {k.h[0] + i, k.h[1] + i, k.h[2] + i, k.h[3] + i};
        float* const vy[4] = {k.v[0] + i, k.v[1] + i, k.v[2] + i, k.v[3] + i};
        axisVec(df, gx, W, k.x + i, hx);
        axisVec(df, gy, H, k.y + i, vy);
      }
      for (; i < n; ++i) k.x[i] = -1;  // the tail takes the scalar path

      for (i = 0; i < n; ++i) {
        if (k.x[i] < 0 || k.y[i] < 0) {
          warp::warpPixel(src, g + 2 * i, out + i, W, H, hw);
          continue;
        }
        const float* p = src + static_cast<size_t>(k.y[i]) * w + static_cast<size_t>(k.x[i]);
#if HWY_TARGET == HWY_SCALAR
        for (int c = 0; c < warp::kChannels; ++c, p += hw) {
          float acc = 0.f;
          for (int r = 0; r < 4; ++r) {
            const float* row = p + static_cast<size_t>(r) * w;
            acc += k.v[r][i] * (k.h[0][i] * row[0] + k.h[1][i] * row[1] + k.h[2][i] * row[2] +
                                k.h[3][i] * row[3]);
          }
          out[i + static_cast<size_t>(c) * hw] = acc;
        }
#else
        const hn::FixedTag<float, 4> d4;
        const float hv[4] = {k.h[0][i], k.h[1][i], k.h[2][i], k.h[3][i]};
        const auto h = hn::LoadU(d4, hv);
        const auto v0 = hn::Set(d4, k.v[0][i]), v1 = hn::Set(d4, k.v[1][i]);
        const auto v2 = hn::Set(d4, k.v[2][i]), v3 = hn::Set(d4, k.v[3][i]);
        for (int c = 0; c < warp::kChannels; ++c, p += hw) {
          auto acc = hn::Mul(v0, hn::LoadU(d4, p));
          acc = hn::MulAdd(v1, hn::LoadU(d4, p + w), acc);
          acc = hn::MulAdd(v2, hn::LoadU(d4, p + 2 * w), acc);
          acc = hn::MulAdd(v3, hn::LoadU(d4, p + 3 * w), acc);
          out[i + static_cast<size_t>(c) * hw] = hn::GetLane(hn::SumOfLanes(d4, hn::Mul(acc, h)));
        }
#endif
      }
    }
  }
}

}  // namespace le::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(WarpRows);

void warpDirectorBand(const float* src, const float* grid, float* Y, int32_t W, int32_t H,
                      int32_t y0, int32_t y1) {
  if (y0 < 0) y0 = 0;
  if (y1 > H) y1 = H;
  if (W <= 0 || y0 >= y1) return;
  constexpr int32_t kExactFloat = 1 << 24;
  if (H <= kExactFloat && W <= kExactFloat) {
    HWY_DYNAMIC_DISPATCH(WarpRows)(src, grid, Y, W, H, y0, y1);
    return;
  }
  const size_t hw = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t w = static_cast<size_t>(W);
  for (int32_t y = y0; y < y1; ++y)
    for (size_t x = 0; x < w; ++x) {
      const size_t at = static_cast<size_t>(y) * w + x;
      warp::warpPixel(src, grid + at * 2, Y + at, W, H, hw);
    }
}

void warpDirector(const float* src, const float* grid, float* Y, int32_t W, int32_t H) {
  warpDirectorBand(src, grid, Y, W, H, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
