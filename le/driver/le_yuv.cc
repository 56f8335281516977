// Yuv420RowToRgb24 kernel family.
//
// The 32-bit sum X = 298 Y - 4640 + K(U, V) of each channel is even apart
// from K's own parity, so floor(X / 256) = floor((149 Y + floor(K / 2)) / 128)
// with halves that fit 16-bit lanes exactly:
//   R: floor(K / 2) = 204 V' + (V' >> 1) - 2320        in [-28496, 23651]
//   G: floor(K / 2) = -50 U' - 104 V' - 2320           in [-21878, 17392]
//   B: floor(K / 2) = 2 (129 U - 17672)                in [-35344, 30446]
// Each half is kept as two unsigned parts P = max(h, 0) and N = max(-h, 0),
// one of them zero, so T = (149 Y +sat P) -sat N is X / 2 clamped below at 0
// by unsigned saturation; (T +sat T) >> 8 is then floor(T / 128) clamped at
// 255. Luma is split into even and odd pixels, which share chroma sample k,
// so chroma needs no duplication: each parity is one byte of a u16 pair.
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/driver/le_yuv.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include "le/driver/yuv.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// Hands emit the unsigned positive and negative parts of the three chroma
// halves of Lanes(d8) pixels (see the top comment): PR, NR, PG, NG, PB, NB.
// One set serves both luma rows of a chroma row. (Vectors go by argument, not
// in a struct: scalable vectors cannot be members.)
// Step 1: u and v point at the chroma samples of an even pixel. Step 2: u
// points at the interleaved pair of the pixel, the U byte first when uFirst.
template <int kStep, class D8, class Emit>
HWY_INLINE void Chroma(D8 d8, const uint8_t* u, const uint8_t* v, bool uFirst, Emit&& emit) {
  const hn::RepartitionToWide<D8> du16;
  const hn::RebindToSigned<decltype(du16)> di16;
  using VI = hn::Vec<decltype(di16)>;
  const auto kLow = hn::Set(du16, 0xFF);
  const auto k128 = hn::Set(di16, 128);

  hn::Vec<decltype(du16)> uu, vv;
  if constexpr (kStep == 1) {
    const hn::Rebind<uint8_t, decltype(du16)> dc;
    uu = hn::PromoteTo(du16, hn::LoadU(dc, u));
    vv = hn::PromoteTo(du16, hn::LoadU(dc, v));
  } else {
    const auto uv = hn::BitCast(du16, hn::LoadU(d8, u));
    const auto lo = hn::And(uv, kLow), hi = hn::ShiftRight<8>(uv);
    uu = uFirst ? lo : hi;
    vv = uFirst ? hi : lo;
    (void)v;
  }
  const VI cu = hn::Sub(hn::BitCast(di16, uu), k128);  // U'
  const VI cv = hn::Sub(hn::BitCast(di16, vv), k128);  // V'

  const VI kZero = hn::Zero(di16);
  const auto kBias = hn::Set(di16, -2320);
  const VI hR = hn::Add(hn::Add(hn::Mul(cv, hn::Set(di16, 204)), hn::ShiftRight<1>(cv)), kBias);
  const VI hG = hn::Add(
      hn::Sub(hn::Mul(cu, hn::Set(di16, -50)), hn::Mul(cv, hn::Set(di16, 104))), kBias);
  const VI pR = hn::Max(hR, kZero), pG = hn::Max(hG, kZero);
  const auto m = hn::Mul(uu, hn::Set(du16, 129));
  const auto k17672 = hn::Set(du16, 17672);
  emit(hn::BitCast(du16, pR), hn::BitCast(du16, hn::Sub(pR, hR)), hn::BitCast(du16, pG),
       hn::BitCast(du16, hn::Sub(pG, hG)), hn::ShiftLeft<1>(hn::SaturatedSub(m, k17672)),
       hn::ShiftLeft<1>(hn::SaturatedSub(k17672, m)));
}

// Lanes(d8) pixels of one luma row starting at an even pixel, as RGB24.
template <class D8, class V16 = hn::Vec<hn::RepartitionToWide<D8>>>
HWY_INLINE void Luma(D8 d8, V16 PR, V16 NR, V16 PG, V16 NG, V16 PB, V16 NB,
                     const uint8_t* HWY_RESTRICT y, uint8_t* HWY_RESTRICT rgb) {
  const hn::RepartitionToWide<D8> du16;
  const auto yy = hn::BitCast(du16, hn::LoadU(d8, y));
  const auto k149 = hn::Set(du16, 149);
  const auto ae = hn::Mul(hn::And(yy, hn::Set(du16, 0xFF)), k149);
  const auto ao = hn::Mul(hn::ShiftRight<8>(yy), k149);
  const auto kHigh = hn::Set(du16, 0xFF00);
  // One channel for both parities, packed back into pixel order as bytes.
  const auto channel = [&](hn::Vec<decltype(du16)> P, hn::Vec<decltype(du16)> N) {
    const auto te = hn::SaturatedSub(hn::SaturatedAdd(ae, P), N);
    const auto to = hn::SaturatedSub(hn::SaturatedAdd(ao, P), N);
    const auto e = hn::ShiftRight<8>(hn::SaturatedAdd(te, te));
    const auto o = hn::And(hn::SaturatedAdd(to, to), kHigh);
    return hn::BitCast(d8, hn::Or(e, o));
  };
  hn::StoreInterleaved3(channel(PR, NR), channel(PG, NG), channel(PB, NB), d8, rgb);
}

// Whole blocks over the even pixels [0, even) of one row, or of two luma rows
// sharing a chroma row when y1 is set; the last block is shifted back to end
// at `even` (it rewrites bytes with the same values). Needs even >= Lanes.
template <int kStep, class D8>
HWY_INLINE void Blocks(D8 d8, const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                       const uint8_t* v, bool uFirst, size_t even, uint8_t* rgb0, uint8_t* rgb1) {
  const size_t n = hn::Lanes(d8);
  const auto at = [&](size_t x) {
    const auto rows = [&](auto PR, auto NR, auto PG, auto NG, auto PB, auto NB) {
      Luma(d8, PR, NR, PG, NG, PB, NB, y0 + x, rgb0 + 3 * x);
      if (y1) Luma(d8, PR, NR, PG, NG, PB, NB, y1 + x, rgb1 + 3 * x);
    };
    if constexpr (kStep == 1)
      Chroma<1>(d8, u + x / 2, v + x / 2, uFirst, rows);
    else
      Chroma<2>(d8, u + x, v, uFirst, rows);
  };
  size_t x = 0;
  for (; x + n <= even; x += n) at(x);
  if (x < even) at(even - n);
}

// Returns the pixels written per row: all even ones, or none for rows
// narrower than one 128-bit block (left to the scalar form).
template <int kStep>
ptrdiff_t Rows(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
               bool uFirst, size_t even, uint8_t* rgb0, uint8_t* rgb1) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::CappedTag<uint8_t, 16> d128;
  if (even >= hn::Lanes(d8)) Blocks<kStep>(d8, y0, y1, u, v, uFirst, even, rgb0, rgb1);
  else if (even >= hn::Lanes(d128)) Blocks<kStep>(d128, y0, y1, u, v, uFirst, even, rgb0, rgb1);
  else return 0;
  return static_cast<ptrdiff_t>(even);
}

#endif  // HWY_TARGET != HWY_SCALAR

// One luma row, or two (y1 set) that share the chroma row u, v.
void RowPair(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, int width,
             int step, uint8_t* rgb0, uint8_t* rgb1) {
  if (width < 1) return;
  const ptrdiff_t w = width;
  ptrdiff_t done = 0;
#if HWY_TARGET != HWY_SCALAR
  const size_t even = static_cast<size_t>(w & ~ptrdiff_t{1});
  if (step == 1) {
    done = Rows<1>(y0, y1, u, v, true, even, rgb0, rgb1);
  } else if (step == 2 && (v == u + 1 || u == v + 1)) {
    // One load serves both chroma planes of an interleaved row, which also
    // keeps the reads inside the row's 2 * ceil(w / 2) bytes.
    const bool uFirst = v == u + 1;
    done = Rows<2>(y0, y1, uFirst ? u : v, nullptr, uFirst, even, rgb0, rgb1);
  }
#endif
  yuv::rowScalar(y0, u, v, done, w, step, rgb0);
  if (y1) yuv::rowScalar(y1, u, v, done, w, step, rgb1);
}

void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* rgb) {
  RowPair(y, nullptr, u, v, width, step, rgb, nullptr);
}

// Rows 2k and 2k + 1 read chroma row k: each pair computes its chroma terms once.
void Yuv420FrameToRgb24(const uint8_t* y, ptrdiff_t yStride, const uint8_t* u, ptrdiff_t uStride,
                        const uint8_t* v, ptrdiff_t vStride, int width, int height, int step,
                        uint8_t* rgb, ptrdiff_t rgbStride) {
  for (ptrdiff_t r = 0; r < height; r += 2) {
    const ptrdiff_t k = r / 2;
    const bool pair = r + 1 < height;
    RowPair(y + r * yStride, pair ? y + (r + 1) * yStride : nullptr, u + k * uStride,
            v + k * vStride, width, step, rgb + r * rgbStride,
            pair ? rgb + (r + 1) * rgbStride : nullptr);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(Yuv420RowToRgb24);
HWY_EXPORT(Yuv420FrameToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, step, rgb);
}

void yuv420FrameToRgb24(const uint8_t* y, ptrdiff_t yStride, const uint8_t* u, ptrdiff_t uStride,
                        const uint8_t* v, ptrdiff_t vStride, int width, int height, int step,
                        uint8_t* rgb, ptrdiff_t rgbStride) {
  HWY_DYNAMIC_DISPATCH(Yuv420FrameToRgb24)(y, yStride, u, uStride, v, vStride, width, height, step,
                                           rgb, rgbStride);
}

}  // namespace le::simd
#endif  // HWY_ONCE
