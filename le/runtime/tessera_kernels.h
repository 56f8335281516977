// Vector kernels of the teeth pass, dispatched per processor target like
// every family in le/runtime/le_simd.h. Arrays are planar: channel c of
// element i of a 3-channel array with n elements per plane is at c * n + i.
// Half values are raw binary16 patterns; "round to half" below means float to
// binary16 (nearest, ties to even) and back.
//
// The retrieval terms add their per-element products to one float sum in
// increasing element order on every target, so a donor ranking built on them
// is the same on every processor, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd {

// planes[c * planeStride + i] = binary16 of (rgb[3i + c] / 255.0f), for each
// of the `pixels` interleaved RGB24 pixels.
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t pixels);

// Exact retrieval term over elements [begin, end) of 3-plane half arrays a
// and b with n elements per plane and a float weight per element:
//   d_c = round to half (a_c - b_c); m = round to half ((|d0| + |d1| + |d2|) / 3);
//   sum += w * m in increasing element order, skipping elements with w == 0
// (a NaN or infinite m of a zero-weight element adds nothing).
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t begin, size_t end);

// retrieveTermExactRange over all n elements.
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);

// Pooled retrieval term: w is one half per element, and each element adds
// round to half (w * m); no element is skipped (a NaN propagates).
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);

// 3 x 3 convolution, stride 1, one pixel of zero padding, of in
// [batch][cin][h][w] with weight [cout][cin][3][3] and bias [cout] into out
// [batch][cout][h][w]. Computes output planes t in [begin, end) only
// (item t / cout, channel t % cout), so disjoint ranges may run on different
// threads. Each value is the bias plus the taps inside the plane added in
// (input channel, kernel row, kernel column) order, every product rounded
// before it is added: the same bits on every target.
void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight,
                  const float* bias, int cout, float* out, int begin, int end);

}  // namespace le::simd
