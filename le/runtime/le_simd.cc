// Binary16 conversion kernels and the dispatch query; the reference layout of
// a kernel family (see simd_targets.h).
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/runtime/le_simd.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"

// Targets whose Highway float->half demotion is the hardware instruction
// (F16C, FCVT), which rounds like half::fromFloat. Elsewhere Highway emulates
// it by truncation, so the integer body below is used instead.
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

int64_t ActiveTarget() { return HWY_TARGET; }

// Integer body on every target: the hardware half->float instructions quiet
// signalling NaNs, which would break bit identity with half::toFloat.
void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint16_t, decltype(df)> d16;
  const size_t N = hn::Lanes(df);
  const auto kMagAndMant = hn::Set(du, 0x7FFFu);
  const auto kExpMask = hn::Set(du, 0x0F800000u);  // half exponent field << 13
  const auto kRebias = hn::Set(du, (127u - 15u) << 23);
  const auto kOne = hn::Set(du, 1u << 23);
  const auto kMinNormal = hn::Set(df, 6.103515625e-05f);  // 2^-14
  const auto kZero = hn::Zero(du);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto h = hn::PromoteTo(du, hn::LoadU(d16, src + i));
    const auto shifted = hn::ShiftLeft<13>(hn::And(h, kMagAndMant));
    const auto exp = hn::And(shifted, kExpMask);
    const auto o = hn::Add(shifted, kRebias);
    // Infinity and NaN: rebias twice more to reach exponent 255.
    const auto special = hn::IfThenElse(hn::RebindMask(du, hn::Eq(exp, kExpMask)), hn::Add(o, kRebias), o);
    // Zero and subnormals: m * 2^-24 as (2^-14 + m * 2^-24) - 2^-14, exact.
    const auto sub = hn::BitCast(du, hn::Sub(hn::BitCast(df, hn::Add(o, kOne)), kMinNormal));
    const auto mag = hn::IfThenElse(hn::RebindMask(du, hn::Eq(exp, kZero)), sub, special);
    const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000u)));
    hn::StoreU(hn::BitCast(df, hn::Or(mag, sign)), df, dst + i);
  }
  for (; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<uint16_t, decltype(df)> d16;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
#if LE_SIMD_NATIVE_F32_TO_F16
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  for (; i + N <= n; i += N)
    hn::StoreU(hn::BitCast(d16, hn::DemoteTo(dh, hn::LoadU(df, src + i))), d16, dst + i);
#else
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::RebindToSigned<decltype(df)> di;
  const auto kAbs = hn::Set(du, 0x7FFFFFFFu);
  // Rebias the exponent (-112 << 23) and add the rounding bias 0xFFF.
  const auto kRebiasRound = hn::Set(du, 0xC8000FFFu);
  const auto kLsb = hn::Set(du, 1u);
  const auto kInfHalf = hn::Set(di, 0x7C00);
  const auto kQuietHalf = hn::Set(du, 0x7E00u);
  const auto kPayload = hn::Set(du, 0x3FFu);
  const auto kMinNormal = hn::Set(di, 0x38800000);  // 2^-14
  const auto kInf = hn::Set(di, 0x7F800000);
  const auto kHalfF = hn::Set(df, 0.5f);
  const auto kHalfBits = hn::Set(du, 0x3F000000u);
  for (; i + N <= n; i += N) {
    const auto bits = hn::BitCast(du, hn::LoadU(df, src + i));
    const auto abs = hn::And(bits, kAbs);
    const auto absI = hn::BitCast(di, abs);
    // Normal range: ties-to-even on the 13 dropped bits; the carry may reach
    // the exponent, and everything from 65520 up saturates to infinity.
    const auto lsb = hn::And(hn::ShiftRight<13>(abs), kLsb);
    const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(abs, kRebiasRound), lsb));
    const auto clamped = hn::BitCast(du, hn::Min(hn::BitCast(di, normal), kInfHalf));
    // Below 2^-14: adding 0.5 puts the half's subnormal ulp (2^-24) at the
    // float ulp, so the FPU's own ties-to-even rounding does the work.
    const auto sub = hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, abs), kHalfF)), kHalfBits);
    auto mag = hn::IfThenElse(hn::RebindMask(du, hn::Lt(absI, kMinNormal)), sub, clamped);
    const auto nan = hn::Or(kQuietHalf, hn::And(hn::ShiftRight<13>(abs), kPayload));
    mag = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absI, kInf)), nan, mag);
    const auto half = hn::Or(mag, hn::And(hn::ShiftRight<16>(bits), hn::Set(du, 0x8000u)));
    hn::StoreU(hn::DemoteTo(d16, hn::BitCast(di, half)), d16, dst + i);
  }
#endif
  for (; i < n; ++i) dst[i] = half::fromFloat(src[i]);
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(ActiveTarget);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);

// Asks the dispatcher itself rather than hwy::SupportedTargets(): the best
// supported target (AVX3_DL, say) need not be one we compiled.
const char* target() { return hwy::TargetName(HWY_DYNAMIC_DISPATCH(ActiveTarget)()); }

int64_t compiledTargets() { return HWY_TARGETS; }

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}

void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}

}  // namespace le::simd

namespace le {

void halfToFloat(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

uint16_t f32ToF16(float x) { return half::fromFloatNoNaN(x); }

}  // namespace le
#endif  // HWY_ONCE
