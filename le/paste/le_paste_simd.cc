// Paste kernels: the Lanczos-8 row and the two unsharp passes (one family per
// kernel, laid out like le/runtime/le_simd.cc).
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/paste/le_paste_simd.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include "le/paste/le_paste_simd.h"
#include "le/paste/paste_pixel.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

int64_t PasteTarget() { return HWY_TARGET; }

// Colour of a pixel whose 8 x 8 footprint may leave the crop: taps outside
// contribute nothing and the weights are not renormalised.
HWY_INLINE void lanczosBorder(const float* HWY_RESTRICT rgba, int side, const le::paste::Tap& t,
                              const float* wx, const float* wy, float out[3]) {
  float acc[3] = {0.0f, 0.0f, 0.0f};
  for (int r = 0; r < 8; ++r) {
    const int64_t y = t.iv - 3 + r;
    if (y < 0 || y >= side) continue;
    float h[3] = {0.0f, 0.0f, 0.0f};
    for (int k = 0; k < 8; ++k) {
      const int64_t x = t.iu - 3 + k;
      if (x < 0 || x >= side) continue;
      const float* p = rgba + (y * side + x) * 4;
      for (int c = 0; c < 3; ++c) h[c] += wx[k] * p[c];
    }
    for (int c = 0; c < 3; ++c) acc[c] += wy[r] * h[c];
  }
  for (int c = 0; c < 3; ++c) out[c] = acc[c];
}

#if HWY_TARGET != HWY_SCALAR
// Up to 16 lanes = four taps of four channels; 128-bit on the scalable
// targets, where the lane count is not a compile-time constant.
#if HWY_HAVE_SCALABLE
using DTap = hn::CappedTag<float, 4>;
#else
using DTap = hn::CappedTag<float, 16>;
#endif

// Sums the 4-lane groups of v (taps of one channel set) into out[0 ... 3].
template <class D, class V>
HWY_INLINE void foldTaps(D d, V v, float* HWY_RESTRICT out) {
  if constexpr (hn::MaxLanes(D()) > 4) {
    const hn::Half<D> dh;
    foldTaps(dh, hn::Add(hn::LowerHalf(dh, v), hn::UpperHalf(dh, v)), out);
  } else {
    hn::StoreU(v, d, out);
  }
}

// All 64 taps inside the crop. The horizontal weights come pre-spread over
// the four channel lanes of each tap (hexp), so a vector covers N / 4 taps.
HWY_INLINE void lanczosInterior(const float* HWY_RESTRICT rgba, int side, const le::paste::Tap& t,
                                const float* HWY_RESTRICT hw, const float* wy, float out[3]) {
  const DTap d;
  const size_t N = hn::Lanes(d);
  const size_t groups = 32 / N;
  const size_t stride = static_cast<size_t>(side) * 4;
  const float* base = rgba + static_cast<size_t>(t.iv - 3) * stride + static_cast<size_t>(t.iu - 3) * 4;
  auto acc = hn::Zero(d);
  for (int r = 0; r < 8; ++r) {
    const float* row = base + static_cast<size_t>(r) * stride;
    auto s = hn::Mul(hn::LoadU(d, row), hn::LoadU(d, hw));
    for (size_t g = 1; g < groups; ++g)
      s = hn::MulAdd(hn::LoadU(d, row + g * N), hn::LoadU(d, hw + g * N), s);
    acc = hn::MulAdd(hn::Set(d, wy[r]), s, acc);
  }
  alignas(16) float sum[4];
  foldTaps(d, acc, sum);
  out[0] = sum[0];
  out[1] = sum[1];
  out[2] = sum[2];
}
#endif

void PasteLanczos8Row(const float* HWY_RESTRICT rgba, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczos, const float* HWY_RESTRICT bilinear,
                      const int* HWY_RESTRICT colU, const int* HWY_RESTRICT colV, int baseU,
                      int baseV, int x0, int x1, uint8_t* HWY_RESTRICT dstRow) {
#if HWY_TARGET != HWY_SCALAR
  // 32 phases x 8 taps x 4 channel lanes, spread on the first interior pixel.
  alignas(64) float hexp[32 * 32];
  bool spread = false;
#endif
  for (int x = x0; x <= x1; ++x) {
    le::paste::Tap t;
    if (!le::paste::tapAt(int64_t{baseU} + colU[x], int64_t{baseV} + colV[x], side, t)) continue;
    const float level = le::paste::maskLevel(mask, side, t, bilinear);
    if (level <= 0.0f) continue;
    const float alpha = level / 255.0f;
    const float* wx = lanczos + 8 * t.pu;
    const float* wy = lanczos + 8 * t.pv;
    float rgb[3];
    const bool inside = t.iu >= 3 && t.iv >= 3 && t.iu <= side - 5 && t.iv <= side - 5;
#if HWY_TARGET != HWY_SCALAR
    if (inside) {
      if (!spread) {
        for (int i = 0; i < 32 * 32; ++i) hexp[i] = lanczos[i / 4];
        spread = true;
      }
      lanczosInterior(rgba, side, t, hexp + 32 * t.pu, wy, rgb);
    } else {
      lanczosBorder(rgba, side, t, wx, wy, rgb);
    }
#else
    (void)inside;
    lanczosBorder(rgba, side, t, wx, wy, rgb);
#endif
    uint8_t* px = dstRow + static_cast<size_t>(x) * 3;
    for (int c = 0; c < 3; ++c) px[c] = le::paste::blendByte(alpha, rgb[c], px[c]);
  }
}

void PasteBlurFlat(const float* HWY_RESTRICT src, const float* HWY_RESTRICT gauss, int ksize,
                   float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Mul(hn::Set(d, gauss[0]), hn::LoadU(d, src + i));
    for (int k = 1; k < ksize; ++k) acc = hn::MulAdd(hn::Set(d, gauss[k]), hn::LoadU(d, src + i + k), acc);
    hn::StoreU(acc, d, dst + i);
  }
  for (; i < n; ++i) {
    float acc = gauss[0] * src[i];
    for (int k = 1; k < ksize; ++k) acc += gauss[k] * src[i + static_cast<size_t>(k)];
    dst[i] = acc;
  }
}

void PasteSharpenRow(const float* HWY_RESTRICT blur, size_t stride, const float* HWY_RESTRICT gauss,
                     int ksize, float amount, float* HWY_RESTRICT row, size_t width) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto gain = hn::Set(d, 1.0f + amount);
  const auto amt = hn::Set(d, amount);
  const auto lo = hn::Zero(d);
  const auto hi = hn::Set(d, 255.0f);
  size_t x = 0;
  for (; x + N <= width; x += N) {
    auto b = hn::Mul(hn::Set(d, gauss[0]), hn::LoadU(d, blur + x));
    for (int k = 1; k < ksize; ++k)
      b = hn::MulAdd(hn::Set(d, gauss[k]), hn::LoadU(d, blur + static_cast<size_t>(k) * stride + x), b);
    const auto v = hn::NegMulAdd(amt, b, hn::Mul(gain, hn::LoadU(d, row + x)));
    hn::StoreU(hn::Min(hn::Max(v, lo), hi), d, row + x);
  }
  for (; x < width; ++x) {
    float b = gauss[0] * blur[x];
    for (int k = 1; k < ksize; ++k) b += gauss[k] * blur[static_cast<size_t>(k) * stride + x];
    const float v = (1.0f + amount) * row[x] - amount * b;
    row[x] = v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(PasteTarget);
HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(PasteBlurFlat);
HWY_EXPORT(PasteSharpenRow);

void pasteLanczos8Row(const float* rgba, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* colU, const int* colV, int baseU,
                      int baseV, int x0, int x1, uint8_t* dstRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(rgba, side, mask, lanczos, bilinear, colU, colV, baseU,
                                         baseV, x0, x1, dstRow);
}

PasteLanczos8RowFn pasteLanczos8RowKernel() {
  // Until the first dispatched call settles the target, the table's entry is
  // Highway's choose-and-call trampoline, which would re-detect on every row.
  (void)HWY_DYNAMIC_DISPATCH(PasteTarget)();
  return &HWY_DYNAMIC_DISPATCH(PasteLanczos8Row);
}

void pasteBlurFlat(const float* src, const float* gauss, int ksize, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteBlurFlat)(src, gauss, ksize, dst, n);
}

void pasteSharpenRow(const float* blur, size_t stride, const float* gauss, int ksize, float amount,
                     float* row, size_t width) {
  HWY_DYNAMIC_DISPATCH(PasteSharpenRow)(blur, stride, gauss, ksize, amount, row, width);
}

}  // namespace le::simd
#endif  // HWY_ONCE
