// YUV 4:2:0 to RGB24, one row per call: BT.601 limited range, 8 fractional
// bits, integer only, so every vector target writes the same bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace le::simd {

// Converts one row of `width` pixels. Pixel x reads chroma index (x / 2) *
// step of u and v: step 1 for planar yuv420p, step 2 for nv12 (u = the
// interleaved row, v = u + 1). The caller passes chroma row y / 2 for luma
// row y. A width below 1 writes nothing. rgb receives width * 3 bytes.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* rgb);

// Every row of a frame through one dispatch: luma row r with chroma row r / 2
// of u and v, output rows rgbStride apart.
void yuv420FrameToRgb24(const uint8_t* y, ptrdiff_t yStride, const uint8_t* u, ptrdiff_t uStride,
                        const uint8_t* v, ptrdiff_t vStride, int width, int height, int step,
                        uint8_t* rgb, ptrdiff_t rgbStride);

}  // namespace le::simd

namespace le::yuv {

// The per-pixel arithmetic every target reproduces: c = 298 Y - 4640 is
// 298 (Y - 16) + 128, the 128 rounding the final arithmetic shift.
inline void pixel(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * Y - 4640;
  const int u = U - 128, v = V - 128;
  const int r = (c + 409 * v) >> 8;
  const int g = (c - 100 * u - 208 * v) >> 8;
  const int b = (c + 516 * u) >> 8;
  rgb[0] = static_cast<uint8_t>(std::clamp(r, 0, 255));
  rgb[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
  rgb[2] = static_cast<uint8_t>(std::clamp(b, 0, 255));
}

// Pixels [x0, x1) of a row, element by element.
inline void rowScalar(const uint8_t* y, const uint8_t* u, const uint8_t* v, ptrdiff_t x0,
                      ptrdiff_t x1, ptrdiff_t step, uint8_t* rgb) {
  for (ptrdiff_t x = x0; x < x1; ++x) {
    const ptrdiff_t c = (x / 2) * step;
    pixel(y[x], u[c], v[c], rgb + 3 * x);
  }
}

}  // namespace le::yuv
