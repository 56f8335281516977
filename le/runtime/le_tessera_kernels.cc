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

// One item's input planes.
struct ConvSrc {
  const float* p;
  int cin, h, w;
  size_t plane;  // h * w
};

// One output pixel, every tap checked against the plane's edges: bias, then
// the taps in (ci, ky, kx) order.
HWY_INLINE float ConvPixel(const ConvSrc& s, const float* HWY_RESTRICT wk, float bias, int y, int x) {
  float sum = bias;
  for (int ci = 0; ci < s.cin; ++ci) {
    const float* p = s.p + static_cast<size_t>(ci) * s.plane;
    const float* k = wk + static_cast<size_t>(ci) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      if (sy < 0 || sy >= s.h) continue;
      for (int kx = 0; kx < 3; ++kx) {
        const int sx = x + kx - 1;
        if (sx < 0 || sx >= s.w) continue;
        sum += k[ky * 3 + kx] * p[static_cast<size_t>(sy) * static_cast<size_t>(s.w) + static_cast<size_t>(sx)];
      }
    }
  }
  return sum;
}

// The vector blocks below cover columns [x, x + kCols * N) of row y, where
// every column and its two neighbours lie inside the plane, so a tap is one
// unaligned load. They add the taps in ConvPixel's order with a separate
// multiply and add (this file builds without contraction): every target
// gives ConvPixel's bits.

// Four output channels at once (weights wk + j * cin * 9, planes out +
// j * plane): each input load feeds four channels.
template <int kCols, class DF>
HWY_INLINE void ConvBlock4Ch(DF df, const ConvSrc& s, const float* HWY_RESTRICT wk, const float* bias, int y,
                             size_t x, float* HWY_RESTRICT out) {
  const size_t N = hn::Lanes(df), ks = static_cast<size_t>(s.cin) * 9;
  auto a00 = hn::Set(df, bias[0]), a10 = hn::Set(df, bias[1]), a20 = hn::Set(df, bias[2]), a30 = hn::Set(df, bias[3]);
  [[maybe_unused]] auto a01 = a00, a11 = a10, a21 = a20, a31 = a30;
  for (int ci = 0; ci < s.cin; ++ci) {
    const float* k = wk + static_cast<size_t>(ci) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      if (sy < 0 || sy >= s.h) continue;
      const float* row = s.p + static_cast<size_t>(ci) * s.plane + static_cast<size_t>(sy) * s.w + x - 1;
      for (int kx = 0; kx < 3; ++kx) {
        const size_t o = static_cast<size_t>(ky * 3 + kx);
        const auto v0 = hn::LoadU(df, row + kx);
        [[maybe_unused]] const auto v1 = kCols == 2 ? hn::LoadU(df, row + kx + N) : v0;
        auto kv = hn::Set(df, k[o]);
        a00 = hn::Add(a00, hn::Mul(kv, v0));
        if constexpr (kCols == 2) a01 = hn::Add(a01, hn::Mul(kv, v1));
        kv = hn::Set(df, k[ks + o]);
        a10 = hn::Add(a10, hn::Mul(kv, v0));
        if constexpr (kCols == 2) a11 = hn::Add(a11, hn::Mul(kv, v1));
        kv = hn::Set(df, k[2 * ks + o]);
        a20 = hn::Add(a20, hn::Mul(kv, v0));
        if constexpr (kCols == 2) a21 = hn::Add(a21, hn::Mul(kv, v1));
        kv = hn::Set(df, k[3 * ks + o]);
        a30 = hn::Add(a30, hn::Mul(kv, v0));
        if constexpr (kCols == 2) a31 = hn::Add(a31, hn::Mul(kv, v1));
      }
    }
  }
  float* r = out + static_cast<size_t>(y) * s.w + x;
  hn::StoreU(a00, df, r);
  hn::StoreU(a10, df, r + s.plane);
  hn::StoreU(a20, df, r + 2 * s.plane);
  hn::StoreU(a30, df, r + 3 * s.plane);
  if constexpr (kCols == 2) {
    hn::StoreU(a01, df, r + N);
    hn::StoreU(a11, df, r + s.plane + N);
    hn::StoreU(a21, df, r + 2 * s.plane + N);
    hn::StoreU(a31, df, r + 3 * s.plane + N);
  }
}

// One output channel, kCols (1 or 4) vectors of columns.
template <int kCols, class DF>
HWY_INLINE void ConvBlock1Ch(DF df, const ConvSrc& s, const float* HWY_RESTRICT wk, float bias, int y, size_t x,
                             float* HWY_RESTRICT out) {
  const size_t N = hn::Lanes(df);
  auto a0 = hn::Set(df, bias);
  [[maybe_unused]] auto a1 = a0, a2 = a0, a3 = a0;
  for (int ci = 0; ci < s.cin; ++ci) {
    const float* k = wk + static_cast<size_t>(ci) * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      if (sy < 0 || sy >= s.h) continue;
      const float* row = s.p + static_cast<size_t>(ci) * s.plane + static_cast<size_t>(sy) * s.w + x - 1;
      for (int kx = 0; kx < 3; ++kx) {
        const auto kv = hn::Set(df, k[ky * 3 + kx]);
        a0 = hn::Add(a0, hn::Mul(kv, hn::LoadU(df, row + kx)));
        if constexpr (kCols == 4) {
          a1 = hn::Add(a1, hn::Mul(kv, hn::LoadU(df, row + kx + N)));
          a2 = hn::Add(a2, hn::Mul(kv, hn::LoadU(df, row + kx + 2 * N)));
          a3 = hn::Add(a3, hn::Mul(kv, hn::LoadU(df, row + kx + 3 * N)));
        }
      }
    }
  }
  float* r = out + static_cast<size_t>(y) * s.w + x;
  hn::StoreU(a0, df, r);
  if constexpr (kCols == 4) {
    hn::StoreU(a1, df, r + N);
    hn::StoreU(a2, df, r + 2 * N);
    hn::StoreU(a3, df, r + 3 * N);
  }
}

// Row of w columns: column 0 and w - 1 element by element, the interior in
// blocks of `big` columns (or `small` when the interior is narrower); the
// last block is moved left to end at column w - 2, recomputing a few columns
// with the same bits rather than leaving a scalar tail.
template <class Big, class Small, class Scalar>
HWY_INLINE void ConvRow(size_t w, size_t big, size_t small, const Big& bigBlock, const Small& smallBlock,
                        const Scalar& scalar) {
  scalar(0);
  if (w < 2) return;
  const size_t last = w - 1;  // interior columns: [1, last)
  size_t x = 1;
  if (last - 1 >= big) {
    for (; x + big <= last; x += big) bigBlock(x);
    if (x < last) bigBlock(last - big);
  } else if (last - 1 >= small) {
    for (; x + small <= last; x += small) smallBlock(x);
    if (x < last) smallBlock(last - small);
  } else {
    for (; x < last; ++x) scalar(x);
  }
  scalar(last);
}

void Conv3x3Range(const float* HWY_RESTRICT in, int batch, int cin, int h, int w,
                  const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int cout,
                  float* HWY_RESTRICT out, int begin, int end) {
  if (h <= 0 || w <= 0 || cin < 0 || cout <= 0 || batch <= 0) return;
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w), ks = static_cast<size_t>(cin) * 9;
  const int64_t stop = std::min<int64_t>(end, static_cast<int64_t>(batch) * cout);
  for (int64_t t = std::max(begin, 0); t < stop;) {
    const int64_t item = t / cout;
    const int co = static_cast<int>(t % cout);
    const ConvSrc s{in + static_cast<size_t>(item) * static_cast<size_t>(cin) * plane, cin, h, w, plane};
    const float* wk = weight + static_cast<size_t>(co) * ks;
    float* dst = out + static_cast<size_t>(t) * plane;
    // Four channels of one item share every input load.
    const int group = co + 4 <= cout && t + 4 <= stop ? 4 : 1;
    for (int y = 0; y < h; ++y) {
      auto scalar = [&](size_t x) {
        for (int j = 0; j < group; ++j)
          dst[j * plane + static_cast<size_t>(y) * w + x] = ConvPixel(s, wk + j * ks, bias[co + j], y, static_cast<int>(x));
      };
      if (group == 4)
        ConvRow(static_cast<size_t>(w), 2 * N, N,
                [&](size_t x) { ConvBlock4Ch<2>(df, s, wk, bias + co, y, x, dst); },
                [&](size_t x) { ConvBlock4Ch<1>(df, s, wk, bias + co, y, x, dst); }, scalar);
      else
        ConvRow(static_cast<size_t>(w), 4 * N, N, [&](size_t x) { ConvBlock1Ch<4>(df, s, wk, bias[co], y, x, dst); },
                [&](size_t x) { ConvBlock1Ch<1>(df, s, wk, bias[co], y, x, dst); }, scalar);
    }
    t += group;
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
