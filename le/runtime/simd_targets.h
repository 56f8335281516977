// The processor targets every vector kernel family is compiled for. Include
// this FIRST in a family's .cc, before any Highway header: Highway fixes its
// target set when hwy/detect_targets.h is first seen.
//
// x86_64: AVX3_DL, AVX3, AVX2, SSE4, SSSE3 plus Highway's baseline (SCALAR
//   with GCC < 12.3, EMU128 otherwise) as the fallback slot. AVX3_DL carries
//   the 8-bit dot product (VNNI) the int8 convolution is built on.
// aarch64: SVE2_128, SVE_256, SVE2, SVE, NEON with NEON as the fallback, no
//   scalar variant (Advanced SIMD is the floor).
//
// A kernel family is one .cc file laid out like this (le/runtime/le_simd.cc is
// the reference; copy it):
//
//   #include "le/runtime/simd_targets.h"
//   #undef HWY_TARGET_INCLUDE
//   #define HWY_TARGET_INCLUDE "le/<dir>/<file>.cc"   // this file, from the root
//   #include <hwy/foreach_target.h>  // re-includes this file once per target
//   #include <hwy/highway.h>
//   #include "le/<dir>/<public header>.h"            // plain includes only here
//
//   HWY_BEFORE_NAMESPACE();
//   namespace le::simd {
//   namespace HWY_NAMESPACE {                        // N_AVX2, N_NEON, ...
//   namespace hn = hwy::HWY_NAMESPACE;
//   void MyFamily(const float* src, float* dst, size_t n) {
//     // vector body over whole vectors, then the < 1 vector tail with the
//     // same scalar arithmetic the tests use as reference
//   }
//   }  // namespace HWY_NAMESPACE
//   }  // namespace le::simd
//   HWY_AFTER_NAMESPACE();
//
//   #if HWY_ONCE
//   namespace le::simd {
//   HWY_EXPORT(MyFamily);
//   void myFamily(const float* src, float* dst, size_t n) {
//     HWY_DYNAMIC_DISPATCH(MyFamily)(src, dst, n);   // once per call or frame,
//   }                                                // never per row
//   }  // namespace le::simd
//   #endif
//
// Rules: no #include between HWY_BEFORE_NAMESPACE and HWY_AFTER_NAMESPACE;
// results must be bit-identical on every target. Test with
// tests/testkit/simd_each.h, which runs a body once per compiled target.
#pragma once

#ifdef HIGHWAY_HWY_DETECT_TARGETS_H_
#error "le/runtime/simd_targets.h must come before any Highway header"
#endif
#if defined(HWY_COMPILE_ALL_ATTAINABLE) || defined(HWY_IS_TEST) || \
    defined(HWY_COMPILE_ONLY_STATIC) || defined(HWY_COMPILE_ONLY_SCALAR) || \
    defined(HWY_COMPILE_ONLY_EMU128)
#error "the kernel target set is fixed here; do not override Highway's policy elsewhere"
#endif

// HWY_WANT_AVX3_DL comes from the build (le::deps) so that every translation
// unit including Highway, in whatever order, sees this same set.
#if !defined(HWY_WANT_AVX3_DL)
#error "build with le::deps: it defines HWY_WANT_AVX3_DL for every translation unit"
#endif

#include <hwy/detect_targets.h>

#if defined(__aarch64__) && (HWY_TARGETS & (HWY_SCALAR | HWY_EMU128))
#error "aarch64 builds must not compile a scalar fallback: NEON is the floor"
#endif
