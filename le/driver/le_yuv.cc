// Yuv420RowToRgb24 kernel family.
//
// The 32-bit sum 298 Y - 4640 + k C of each channel is split so that it fits
// 16-bit lanes exactly: with 298 = 256 + 42, 409 = 256 + 153, -208 = -256 + 48
// and 516 = 512 + 4,
//   R = Y + V' + ((42 Y + 153 V' - 4640) >> 8)
//   G = Y - V' + ((42 Y - 100 U' + 48 V' - 4640) >> 8)
//   B = Y + 2U' + ((42 Y + 4 U' - 4640) >> 8)
// The multiples of 256 leave the floor of the shift unchanged, and every inner
// sum stays within [-24224, 25501], so i16 lanes give the scalar result bit for
// bit. Luma is split into even and odd pixels, which share chroma sample k, so
// chroma needs no duplication: each parity is one lane of a u16 pair.
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

// Lanes(d8) pixels starting at an even pixel. Step 1: u and v point at the
// pixel's chroma samples. Step 2: uv points at the interleaved pair of the
// pixel, the U byte first when uFirst.
template <int kStep, class D8>
HWY_INLINE void Block(D8 d8, const uint8_t* HWY_RESTRICT y, const uint8_t* u, const uint8_t* v,
                      bool uFirst, uint8_t* HWY_RESTRICT rgb) {
  const hn::RepartitionToWide<D8> du16;
  const hn::RebindToSigned<decltype(du16)> di16;
  using VI = hn::Vec<decltype(di16)>;
  const auto kLow = hn::Set(du16, 0xFF);
  const auto k128 = hn::Set(di16, 128);

  const auto yy = hn::BitCast(du16, hn::LoadU(d8, y));
  const VI ye = hn::BitCast(di16, hn::And(yy, kLow));
  const VI yo = hn::BitCast(di16, hn::ShiftRight<8>(yy));

  VI cu, cv;
  if constexpr (kStep == 1) {
    const hn::Rebind<uint8_t, decltype(di16)> dc;
    cu = hn::Sub(hn::PromoteTo(di16, hn::LoadU(dc, u)), k128);
    cv = hn::Sub(hn::PromoteTo(di16, hn::LoadU(dc, v)), k128);
  } else {
    const auto uv = hn::BitCast(du16, hn::LoadU(d8, u));
    const VI lo = hn::Sub(hn::BitCast(di16, hn::And(uv, kLow)), k128);
    const VI hi = hn::Sub(hn::BitCast(di16, hn::ShiftRight<8>(uv)), k128);
    cu = uFirst ? lo : hi;
    cv = uFirst ? hi : lo;
    (void)v;
  }

  const auto kBias = hn::Set(di16, -4640);
  const VI tR = hn::Add(hn::Mul(cv, hn::Set(di16, 153)), kBias);
  const VI tG = hn::Add(hn::Sub(hn::Mul(cv, hn::Set(di16, 48)), hn::Mul(cu, hn::Set(di16, 100))),
                        kBias);
  const VI tB = hn::Add(hn::ShiftLeft<2>(cu), kBias);
  const VI oG = hn::Neg(cv);
  const VI oB = hn::Add(cu, cu);

  const auto k42 = hn::Set(di16, 42);
  const VI de = hn::Mul(ye, k42);
  const VI dodd = hn::Mul(yo, k42);
  const VI kZero = hn::Zero(di16);
  const VI kMax = hn::Set(di16, 255);
  // One channel for both parities, packed back into pixel order as bytes.
  const auto channel = [&](VI t, VI o) {
    const VI e = hn::Add(hn::Add(hn::ShiftRight<8>(hn::Add(de, t)), ye), o);
    const VI od = hn::Add(hn::Add(hn::ShiftRight<8>(hn::Add(dodd, t)), yo), o);
    const auto ec = hn::BitCast(du16, hn::Min(hn::Max(e, kZero), kMax));
    const auto oc = hn::BitCast(du16, hn::Min(hn::Max(od, kZero), kMax));
    return hn::BitCast(d8, hn::Or(ec, hn::ShiftLeft<8>(oc)));
  };
  hn::StoreInterleaved3(channel(tR, cv), channel(tG, oG), channel(tB, oB), d8, rgb);
}

// Whole blocks over the even pixels [0, even), the last one shifted back to
// end at `even` (it rewrites bytes with the same values). Needs even >= Lanes.
template <int kStep, class D8>
HWY_INLINE void Blocks(D8 d8, const uint8_t* y, const uint8_t* u, const uint8_t* v, bool uFirst,
                       size_t even, uint8_t* rgb) {
  const size_t n = hn::Lanes(d8);
  const auto at = [&](size_t x) {
    if constexpr (kStep == 1)
      Block<1>(d8, y + x, u + x / 2, v + x / 2, uFirst, rgb + 3 * x);
    else
      Block<2>(d8, y + x, u + x, v, uFirst, rgb + 3 * x);
  };
  size_t x = 0;
  for (; x + n <= even; x += n) at(x);
  if (x < even) at(even - n);
}

// Returns the pixels written: all even ones, or none for rows narrower than
// one 128-bit block (left to the scalar form).
template <int kStep>
ptrdiff_t Row(const uint8_t* y, const uint8_t* u, const uint8_t* v, bool uFirst, size_t even,
              uint8_t* rgb) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::CappedTag<uint8_t, 16> d128;
  if (even >= hn::Lanes(d8)) Blocks<kStep>(d8, y, u, v, uFirst, even, rgb);
  else if (even >= hn::Lanes(d128)) Blocks<kStep>(d128, y, u, v, uFirst, even, rgb);
  else return 0;
  return static_cast<ptrdiff_t>(even);
}

#endif  // HWY_TARGET != HWY_SCALAR

void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* rgb) {
  if (width < 1) return;
  const ptrdiff_t w = width;
  ptrdiff_t done = 0;
#if HWY_TARGET != HWY_SCALAR
  const size_t even = static_cast<size_t>(w & ~ptrdiff_t{1});
  if (step == 1) {
    done = Row<1>(y, u, v, true, even, rgb);
  } else if (step == 2 && (v == u + 1 || u == v + 1)) {
    // One load serves both chroma planes of an interleaved row, which also
    // keeps the reads inside the row's 2 * ceil(w / 2) bytes.
    const bool uFirst = v == u + 1;
    done = Row<2>(y, uFirst ? u : v, nullptr, uFirst, even, rgb);
  }
#endif
  yuv::rowScalar(y, u, v, done, w, step, rgb);
}

void Yuv420FrameToRgb24(const uint8_t* y, ptrdiff_t yStride, const uint8_t* u, ptrdiff_t uStride,
                        const uint8_t* v, ptrdiff_t vStride, int width, int height, int step,
                        uint8_t* rgb, ptrdiff_t rgbStride) {
  for (ptrdiff_t r = 0; r < height; ++r)
    Yuv420RowToRgb24(y + r * yStride, u + (r / 2) * uStride, v + (r / 2) * vStride, width, step,
                     rgb + r * rgbStride);
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
