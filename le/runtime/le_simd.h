// Vector kernels compiled once per processor target and dispatched at run
// time to the best one the processor supports (targets: simd_targets.h), and
// the binary16 conversions. Half values are raw IEEE binary16 bit patterns in
// uint16_t. Sources and destinations must not overlap; no alignment needed.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(LE_BUILDING_LIBRARY)
#define LE_SIMD_EXPORT __attribute__((visibility("default")))
#else
#define LE_SIMD_EXPORT
#endif

namespace le::simd {

// Highway's name of the target the dispatcher runs ("AVX3", "NEON", ...);
// static storage. For logs and benchmarks only.
LE_SIMD_EXPORT const char* target();

// Highway target bits of every variant compiled into the library.
int64_t compiledTargets();

void f16ToF32(const uint16_t* src, float* dst, size_t n);
// Round to nearest, ties to even; a NaN stays a (quiet) NaN.
void f32ToF16(const float* src, uint16_t* dst, size_t n);

}  // namespace le::simd

namespace le {

// Element-by-element f16ToF32 with the same results; n = 0 does nothing.
void halfToFloat(const uint16_t* src, float* dst, size_t n);

// One value, rounded like simd::f32ToF16 except that NaN and infinity both
// give a signed infinity: this form never produces a NaN.
uint16_t f32ToF16(float x);

}  // namespace le
