// Per-target binary16 conversions on vectors of 32-bit lanes, shared by the
// kernel families. Include after <hwy/highway.h> in a family's .cc; like
// Highway's own -inl headers it is compiled once per target.
//
// Results equal le::half::toFloat / fromFloat lane for lane, NaN payloads
// included, on every target.
#if defined(LE_RUNTIME_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_RUNTIME_HALF_INL_H_
#undef LE_RUNTIME_HALF_INL_H_
#else
#define LE_RUNTIME_HALF_INL_H_
#endif

#include <hwy/highway.h>

// Targets whose Highway float->half demotion is the hardware instruction
// (F16C, FCVT), which rounds like half::fromFloat. Elsewhere Highway emulates
// it by truncation, so the integer body is used instead.
#undef LE_SIMD_NATIVE_F32_TO_F16
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || \
    HWY_TARGET == HWY_NEON || HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2 ||     \
    HWY_TARGET == HWY_SVE_256 || HWY_TARGET == HWY_SVE2_128
#define LE_SIMD_NATIVE_F32_TO_F16 1
#else
#define LE_SIMD_NATIVE_F32_TO_F16 0
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Half bit patterns (one per 32-bit lane) to float bits. Integer arithmetic
// on every target: the hardware half->float instructions quiet signalling
// NaNs, which would break bit identity with half::toFloat.
template <class DU>
HWY_INLINE hn::VFromD<DU> HalfBitsToF32Bits(DU du, hn::VFromD<DU> h) {
  const hn::RebindToFloat<DU> df;
  const auto kExpMask = hn::Set(du, 0x0F800000u);  // half exponent field << 13
  const auto kRebias = hn::Set(du, (127u - 15u) << 23);
  const auto shifted = hn::ShiftLeft<13>(hn::And(h, hn::Set(du, 0x7FFFu)));
  const auto exp = hn::And(shifted, kExpMask);
  const auto o = hn::Add(shifted, kRebias);
  // Infinity and NaN: rebias twice more to reach exponent 255.
  const auto special = hn::IfThenElse(hn::Eq(exp, kExpMask), hn::Add(o, kRebias), o);
  // Zero and subnormals: m * 2^-24 as (2^-14 + m * 2^-24) - 2^-14, exact.
  const auto sub = hn::BitCast(du, hn::Sub(hn::BitCast(df, hn::Add(o, hn::Set(du, 1u << 23))),
                                           hn::Set(df, 6.103515625e-05f)));
  const auto mag = hn::IfThenElse(hn::Eq(exp, hn::Zero(du)), sub, special);
  return hn::Or(mag, hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000u))));
}

// Float to half bit patterns (one per 32-bit lane), round to nearest, ties to
// even; a NaN becomes a quiet NaN keeping its top payload bits.
template <class DF>
HWY_INLINE hn::VFromD<hn::RebindToUnsigned<DF>> F32ToHalfBits(DF df, hn::VFromD<DF> v) {
  const hn::RebindToUnsigned<DF> du;
#if LE_SIMD_NATIVE_F32_TO_F16
  (void)df;
  const hn::Rebind<hwy::float16_t, DF> dh;
  const hn::Rebind<uint16_t, DF> d16;
  return hn::PromoteTo(du, hn::BitCast(d16, hn::DemoteTo(dh, v)));
#else
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto abs = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
  const auto absI = hn::BitCast(di, abs);
  // Normal range: rebias the exponent (-112 << 23), add the rounding bias
  // 0xFFF plus the kept lsb (ties to even); the carry may reach the exponent,
  // and everything from 65520 up saturates to infinity.
  const auto lsb = hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(abs, hn::Set(du, 0xC8000FFFu)), lsb));
  const auto clamped = hn::BitCast(du, hn::Min(hn::BitCast(di, normal), hn::Set(di, 0x7C00)));
  // Below 2^-14: adding 0.5 puts the half's subnormal ulp (2^-24) at the
  // float ulp, so the FPU's own ties-to-even rounding does the work.
  const auto sub = hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, abs), hn::Set(df, 0.5f))),
                           hn::Set(du, 0x3F000000u));
  auto mag = hn::IfThenElse(hn::RebindMask(du, hn::Lt(absI, hn::Set(di, 0x38800000))), sub,
                            clamped);
  const auto nan = hn::Or(hn::Set(du, 0x7E00u), hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 0x3FFu)));
  mag = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absI, hn::Set(di, 0x7F800000))), nan, mag);
  return hn::Or(mag, hn::And(hn::ShiftRight<16>(bits), hn::Set(du, 0x8000u)));
#endif
}

// Loads Lanes(df) half words as floats.
template <class DF>
HWY_INLINE hn::VFromD<DF> LoadHalfU(DF df, const uint16_t* HWY_RESTRICT p) {
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> d16;
  return hn::BitCast(df, HalfBitsToF32Bits(du, hn::PromoteTo(du, hn::LoadU(d16, p))));
}

// Stores Lanes(df) floats as half words.
template <class DF>
HWY_INLINE void StoreHalfU(DF df, hn::VFromD<DF> v, uint16_t* HWY_RESTRICT p) {
  const hn::Rebind<uint16_t, DF> d16;
#if LE_SIMD_NATIVE_F32_TO_F16
  (void)df;
  const hn::Rebind<hwy::float16_t, DF> dh;
  hn::StoreU(hn::BitCast(d16, hn::DemoteTo(dh, v)), d16, p);
#else
  const hn::RebindToSigned<DF> di;
  // Half patterns fit 16 bits: the signed saturating demotion keeps them.
  hn::StoreU(hn::DemoteTo(d16, hn::BitCast(di, F32ToHalfBits(df, v))), d16, p);
#endif
}

// Rounds every lane to the nearest half and back: "round to half".
template <class DF>
HWY_INLINE hn::VFromD<DF> RoundThroughHalf(DF df, hn::VFromD<DF> v) {
  const hn::RebindToUnsigned<DF> du;
  return hn::BitCast(df, HalfBitsToF32Bits(du, F32ToHalfBits(df, v)));
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#endif  // LE_RUNTIME_HALF_INL_H_
