// The corrected warp S(v) - A S(Dxx) - B S(Dyy) + A B S(Dxxyy) factors into
// (1 - A dxx)(1 - B dyy) applied at the bilinear corners, so every output
// sample is a separable filter over the corners' 3x3 neighbourhoods: a 4x4
// patch inside the image, up to 6x6 clamped taps at its border.
#include <cstddef>

#include "le/render/grid_tap.h"
#include "le/render/le_custom_ops.h"

namespace le {

namespace {

constexpr int kChannels = 3;

// Taps of one axis: the corners' neighbourhoods with (1 - A d2) folded into
// the bilinear weights.
struct AxisTaps {
  bool inside;      // i0 - 1 .. i0 + 2 all lie in the image
  int32_t idx[6];   // clamped; first four are i0 - 1 .. i0 + 2 when inside
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

}  // namespace

void warpDirectorBand(const float* src, const float* grid, float* Y, int32_t W, int32_t H,
                      int32_t y0, int32_t y1) {
  if (y0 < 0) y0 = 0;
  if (y1 > H) y1 = H;
  if (W <= 0 || y0 >= y1) return;
  const size_t hw = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t w = static_cast<size_t>(W);
  for (int32_t y = y0; y < y1; ++y) {
    const float* g = grid + static_cast<size_t>(y) * w * 2;
    float* out = Y + static_cast<size_t>(y) * w;
    for (size_t x = 0; x < w; ++x, g += 2, ++out) {
      const AxisTaps tx = axisTaps(g[0], W);
      const AxisTaps ty = axisTaps(g[1], H);
      if (tx.inside && ty.inside) {
        const float* p = src + static_cast<size_t>(ty.idx[0]) * w + static_cast<size_t>(tx.idx[0]);
        for (int c = 0; c < kChannels; ++c, p += hw) {
          float acc = 0.f;
          const float* row = p;
          for (int r = 0; r < 4; ++r, row += w)
            acc += ty.wt[r] * (tx.wt[0] * row[0] + tx.wt[1] * row[1] + tx.wt[2] * row[2] +
                               tx.wt[3] * row[3]);
          out[static_cast<size_t>(c) * hw] = acc;
        }
        continue;
      }
      const int nx = tx.inside ? 4 : 6, ny = ty.inside ? 4 : 6;
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
  }
}

void warpDirector(const float* src, const float* grid, float* Y, int32_t W, int32_t H) {
  warpDirectorBand(src, grid, Y, W, H, 0, H);
}

}  // namespace le
