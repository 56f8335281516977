// Turning one normalised grid coordinate into the two bilinear taps along an
// axis of n pixels (align_corners 0). Every float, including inf and NaN, is
// clamped before it becomes an index.
#pragma once

#include <cmath>
#include <cstdint>

namespace le::grid {

// Sample position in pixels: -1 is half a pixel before the first sample.
inline float position(float g, int32_t n) { return ((g + 1.f) * static_cast<float>(n) - 1.f) * 0.5f; }

// Fractional part of an unclamped position; 0 where it has none (|p| >= 2^23,
// inf, NaN), so downstream weights stay finite.
inline float fraction(float p) {
  const float f = p - std::floor(p);
  return f < 1.f ? f : 0.f;
}

struct Tap {
  int32_t i0;  // left/top sample
  int32_t i1;  // right/bottom sample, i0 or i0 + 1
  float t;     // weight of i1; i0 gets 1 - t
};

// The position clamped into [0, n-1] (NaN counts as -inf), which is what
// border padding samples.
inline Tap tap(float p, int32_t n) {
  const float hi = static_cast<float>(n - 1);
  const float q = p > 0.f ? (p < hi ? p : hi) : 0.f;
  const float fl = std::floor(q);
  // float(n - 1) may round up past n - 1 for n > 2^24: convert in 64 bits.
  const int64_t i = static_cast<int64_t>(fl);
  const int32_t i0 = static_cast<int32_t>(i < n - 1 ? i : n - 1);
  return {i0, i0 + 1 < n ? i0 + 1 : i0, q - fl};
}

inline int32_t clampIndex(int32_t i, int32_t n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

}  // namespace le::grid
