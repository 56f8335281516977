// Teeth-pass kernels: RGB bytes to half planes, the two retrieval terms and
// the blend head's 3 x 3 convolution (one family each, laid out like
// le/runtime/le_simd.cc).
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/runtime/le_tessera_kernels.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>

#include "le/runtime/half.h"
#include "le/runtime/retrieve_term.h"
#include "le/runtime/tessera_kernels.h"

#include "le/runtime/half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT planes,
                     size_t planeStride, size_t pixels) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::ScalableTag<float> df;  // a quarter of d8's lanes
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> dq;
  const size_t N8 = hn::Lanes(d8);
  const size_t NF = hn::Lanes(df);
  const auto k255 = hn::Set(df, 255.0f);
  HWY_ALIGN uint8_t channel[hn::MaxLanes(hn::ScalableTag<uint8_t>())];
  size_t i = 0;
  // Through a buffer: a channel's bytes widen to four float vectors.
  auto store = [&](hn::VFromD<decltype(d8)> v, uint16_t* dst) {
    hn::Store(v, d8, channel);
    for (size_t q = 0; q < N8; q += NF) {
      const auto f = hn::ConvertTo(df, hn::PromoteTo(di, hn::Load(dq, channel + q)));
      StoreHalfU(df, hn::Div(f, k255), dst + q);
    }
  };
  for (; i + N8 <= pixels; i += N8) {
    hn::VFromD<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    store(r, planes + i);
    store(g, planes + planeStride + i);
    store(b, planes + 2 * planeStride + i);
  }
  for (; i < pixels; ++i)
    for (size_t c = 0; c < 3; ++c)
      planes[c * planeStride + i] = half::fromFloat(static_cast<float>(rgb[3 * i + c]) / 255.0f);
}

// round to half ((|d0| + |d1| + |d2|) / 3) for Lanes(df) elements from i.
template <class DF>
HWY_INLINE hn::VFromD<DF> MeanTerm(DF df, const uint16_t* HWY_RESTRICT a,
                                   const uint16_t* HWY_RESTRICT b, size_t n, size_t i) {
  auto s = hn::Zero(df);
  for (size_t c = 0; c < 3; ++c) {
    const auto d = hn::Sub(LoadHalfU(df, a + c * n + i), LoadHalfU(df, b + c * n + i));
    s = c == 0 ? hn::Abs(RoundThroughHalf(df, d)) : hn::Add(s, hn::Abs(RoundThroughHalf(df, d)));
  }
  return RoundThroughHalf(df, hn::Div(s, hn::Set(df, 3.0f)));
}

// Adds the lanes of v to sum one after another, lane 0 first.
template <class DF>
HWY_INLINE float AddInOrder(DF df, hn::VFromD<DF> v, float sum) {
  HWY_ALIGN float lanes[hn::MaxLanes(DF())];
  hn::Store(v, df, lanes);
  const size_t N = hn::Lanes(df);
  for (size_t j = 0; j < N; ++j) sum += lanes[j];
  return sum;
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  float sum = 0.0f;
  size_t i = begin;
  // A skipped element adds +0, which leaves the sum's bits alone: the sum
  // starts at +0 and no addition of two values other than -0 gives -0.
  for (; i < end && end - i >= N; i += N) {
    const auto wv = hn::LoadU(df, w + i);
    const auto p = hn::Mul(wv, MeanTerm(df, a, b, n, i));
    sum = AddInOrder(df, hn::IfThenZeroElse(hn::Eq(wv, hn::Zero(df)), p), sum);
  }
  for (; i < end; ++i)
    if (w[i] != 0.0f) sum += w[i] * retrieve::meanTerm(a, b, n, i);
  return sum;
}

float RetrieveTermExact(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                        const float* HWY_RESTRICT w, size_t n) {
  return RetrieveTermExactRange(a, b, w, n, 0, n);
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  float sum = 0.0f;
  size_t i = 0;
  for (; i + N <= n; i += N)
    sum = AddInOrder(df, RoundThroughHalf(df, hn::Mul(LoadHalfU(df, w + i), MeanTerm(df, a, b, n, i))),
                     sum);
  for (; i < n; ++i)
    sum += retrieve::roundHalf(half::toFloat(w[i]) * retrieve::meanTerm(a, b, n, i));
  return sum;
}

// One output pixel, every tap checked against the plane's edges: bias, then
// the taps in (ci, ky, kx) order.
HWY_INLINE float ConvPixel(const float* HWY_RESTRICT src, int cin, int h, int w,
                           const float* HWY_RESTRICT wk, float bias, int y, int x) {
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
  float sum = bias;
  for (int ci = 0; ci < cin; ++ci) {
    const float* p = src + static_cast<size_t>(ci) * plane;
    const float* k = wk + static_cast<size_t>(ci) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      if (sy < 0 || sy >= h) continue;
      for (int kx = 0; kx < 3; ++kx) {
        const int sx = x + kx - 1;
        if (sx < 0 || sx >= w) continue;
        sum += k[ky * 3 + kx] * p[static_cast<size_t>(sy) * static_cast<size_t>(w) + static_cast<size_t>(sx)];
      }
    }
  }
  return sum;
}

// Calls tap(kernel value, row pointer at column x - 1 + kx) for every tap
// of output row y inside the plane, in ConvPixel's order.
template <class Tap>
HWY_INLINE void ForEachTap(const float* HWY_RESTRICT src, int cin, int h, int w,
                           const float* HWY_RESTRICT wk, int y, size_t x, const Tap& tap) {
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
  for (int ci = 0; ci < cin; ++ci) {
    const float* k = wk + static_cast<size_t>(ci) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      if (sy < 0 || sy >= h) continue;
      const float* row = src + static_cast<size_t>(ci) * plane +
                         static_cast<size_t>(sy) * static_cast<size_t>(w) + x - 1;
      for (int kx = 0; kx < 3; ++kx) tap(k[ky * 3 + kx], row + kx);
    }
  }
}

// Output row y, columns [x, x + 4N) (or [x, x + N)): every column and its
// two neighbours lie inside the plane, so each tap is one unaligned load.
// Taps are added in ConvPixel's order with a separate multiply and add (this
// file builds without contraction): every target gives ConvPixel's bits.
template <class DF>
HWY_INLINE void ConvInterior4(DF df, const float* HWY_RESTRICT src, int cin, int h, int w,
                              const float* HWY_RESTRICT wk, float bias, int y, size_t x,
                              float* HWY_RESTRICT dstRow) {
  const size_t N = hn::Lanes(df);
  auto a0 = hn::Set(df, bias), a1 = a0, a2 = a0, a3 = a0;
  ForEachTap(src, cin, h, w, wk, y, x, [&](float k, const float* p) {
    const auto kv = hn::Set(df, k);
    a0 = hn::Add(a0, hn::Mul(kv, hn::LoadU(df, p)));
    a1 = hn::Add(a1, hn::Mul(kv, hn::LoadU(df, p + N)));
    a2 = hn::Add(a2, hn::Mul(kv, hn::LoadU(df, p + 2 * N)));
    a3 = hn::Add(a3, hn::Mul(kv, hn::LoadU(df, p + 3 * N)));
  });
  hn::StoreU(a0, df, dstRow + x);
  hn::StoreU(a1, df, dstRow + x + N);
  hn::StoreU(a2, df, dstRow + x + 2 * N);
  hn::StoreU(a3, df, dstRow + x + 3 * N);
}

template <class DF>
HWY_INLINE void ConvInterior1(DF df, const float* HWY_RESTRICT src, int cin, int h, int w,
                              const float* HWY_RESTRICT wk, float bias, int y, size_t x,
                              float* HWY_RESTRICT dstRow) {
  auto a = hn::Set(df, bias);
  ForEachTap(src, cin, h, w, wk, y, x, [&](float k, const float* p) {
    a = hn::Add(a, hn::Mul(hn::Set(df, k), hn::LoadU(df, p)));
  });
  hn::StoreU(a, df, dstRow + x);
}

HWY_INLINE void ConvPlane(const float* HWY_RESTRICT src, int cin, int h, int w,
                          const float* HWY_RESTRICT wk, float bias, float* HWY_RESTRICT dst) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const size_t width = static_cast<size_t>(w);
  for (int y = 0; y < h; ++y) {
    float* row = dst + static_cast<size_t>(y) * width;
    // Columns 1 ... w - 2 have both neighbours inside the plane.
    size_t x = 1;
    for (; width >= 2 && x + 4 * N + 1 <= width; x += 4 * N)
      ConvInterior4(df, src, cin, h, w, wk, bias, y, x, row);
    for (; width >= 2 && x + N + 1 <= width; x += N)
      ConvInterior1(df, src, cin, h, w, wk, bias, y, x, row);
    row[0] = ConvPixel(src, cin, h, w, wk, bias, y, 0);
    for (x = std::max<size_t>(x, 1); x < width; ++x)
      row[x] = ConvPixel(src, cin, h, w, wk, bias, y, static_cast<int>(x));
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int batch, int cin, int h, int w,
                  const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int cout,
                  float* HWY_RESTRICT out, int begin, int end) {
  if (h <= 0 || w <= 0 || cin < 0 || cout <= 0 || batch <= 0) return;
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
  const int64_t planes = static_cast<int64_t>(batch) * cout;
  const int64_t stop = std::min<int64_t>(end, planes);
  for (int64_t t = std::max(begin, 0); t < stop; ++t) {
    const int64_t item = t / cout;
    const int co = static_cast<int>(t % cout);
    ConvPlane(in + static_cast<size_t>(item) * static_cast<size_t>(cin) * plane, cin, h, w,
              weight + static_cast<size_t>(co) * static_cast<size_t>(cin) * 9, bias[co],
              out + static_cast<size_t>(t) * plane);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(RetrieveTermExact);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(Conv3x3Range);

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t pixels) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, planes, planeStride, pixels);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t begin, size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExact)(a, b, w, n);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight,
                  const float* bias, int cout, float* out, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, batch, cin, h, w, weight, bias, cout, out, begin, end);
}

}  // namespace le::simd
#endif  // HWY_ONCE
