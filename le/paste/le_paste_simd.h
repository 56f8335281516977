// Vector kernels of the paste compositor, dispatched per processor target like
// every family in le/runtime/le_simd.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd {

// One output row of the Lanczos-8 paste. rgba: side x side pixels of four
// floats (R, G, B, 0); mask: side x side bytes; lanczos: 32 phases x 8 taps;
// bilinear: 32 phases x 2 taps; colU/colV: per frame column x, its part of the
// crop coordinates in 1/1024 pixel, valid for x0 <= x <= x1; baseU/baseV: the
// row's part (the +16 rounding offset included). dstRow is the start of the
// RGB24 frame row; only columns x0 ... x1 are read or written.
void pasteLanczos8Row(const float* rgba, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* colU, const int* colV, int baseU,
                      int baseV, int x0, int x1, uint8_t* dstRow);

using PasteLanczos8RowFn = void (*)(const float*, int, const uint8_t*, const float*, const float*,
                                    const int*, const int*, int, int, int, int, uint8_t*);

// The variant pasteLanczos8Row dispatches to right now, resolved once so a
// frame's rows skip the per-call lookup.
PasteLanczos8RowFn pasteLanczos8RowKernel();

// Horizontal unsharp pass over a flat buffer:
// dst[i] = sum_k gauss[k] * src[i + k] for i < n (src holds n + ksize - 1).
void pasteBlurFlat(const float* src, const float* gauss, int ksize, float* dst, size_t n);

// Vertical pass and sharpening of one plane row of `width` pixels: with
// b(x) = sum_k gauss[k] * blur[k * stride + x],
// row[x] = clamp((1 + amount) * row[x] - amount * b(x), 0, 255).
void pasteSharpenRow(const float* blur, size_t stride, const float* gauss, int ksize, float amount,
                     float* row, size_t width);

}  // namespace le::simd
