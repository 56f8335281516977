#include <cstddef>

#include "le/render/grid_tap.h"
#include "le/render/le_custom_ops.h"

namespace le {

void gridsample_fast_band(const float* X, const float* grid, float* Y, int32_t C, int32_t H,
                          int32_t W, int32_t y0, int32_t y1) {
  if (y0 < 0) y0 = 0;
  if (y1 > H) y1 = H;
  if (C <= 0 || W <= 0 || y0 >= y1) return;
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

void gridsample_fast(const float* X, const float* grid, float* Y, int32_t C, int32_t H, int32_t W) {
  gridsample_fast_band(X, grid, Y, C, H, W, 0, H);
}

}  // namespace le
