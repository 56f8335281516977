// Binary16 conversion kernels and the dispatch query; the reference layout of
// a kernel family (see simd_targets.h).
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/runtime/le_simd.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"

#include "le/runtime/half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

int64_t ActiveTarget() { return HWY_TARGET; }

// Integer body on every target (see HalfBitsToF32Bits).
void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(LoadHalfU(df, src + i), df, dst + i);
  for (; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) StoreHalfU(df, hn::LoadU(df, src + i), dst + i);
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
