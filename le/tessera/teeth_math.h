// Small numeric rules the teeth pass applies in several steps.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "le/runtime/half.h"

namespace le::tessera::teeth {

// A fraction of 255 as a byte: not above 0 (NaN included) gives 0, at least 1
// gives 255, otherwise v x 255 rounded to nearest, ties to even. Adding and
// removing 2^23 rounds a float in [0, 2^23) to an integer in the current
// (nearest-even) mode, without the floating-point environment save that
// nearbyintf costs per call.
inline uint8_t toByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<uint8_t>((v * 255.0f + 0x1p23f) - 0x1p23f);
}

// Hermite smoothstep of t clamped to [0, 1]; NaN gives 0.
inline float smoothstep01(float t) {
  if (!(t > 0.0f)) return 0.0f;
  if (t > 1.0f) t = 1.0f;
  return (3.0f - 2.0f * t) * t * t;
}

// Adds the seconds since `start` to `sum` and restarts the clock.
class StepClock {
 public:
  void lap(double* sum) {
    const auto now = std::chrono::steady_clock::now();
    *sum += std::chrono::duration<double>(now - start_).count();
    start_ = now;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Ascending with every NaN after every number.
template <class T>
bool nanLastLess(T a, T b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Indices of `keys` in stable ascending order, NaN last.
template <class T>
std::vector<int> stableOrder(const std::vector<T>& keys) {
  std::vector<int> idx(keys.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return nanLastLess(keys[a], keys[b]); });
  return idx;
}

// One row of 4 x 4 block means of a half plane: `rows` holds 4 rows of
// `width` halves; out[px] = half of (the 16 values added row by row in float,
// times 1/16) for px < width / 4.
inline void pool4x4Row(const uint16_t* rows, size_t width, uint16_t* out) {
  for (size_t px = 0; px < width / 4; ++px) {
    float s = 0.0f;
    for (size_t r = 0; r < 4; ++r)
      for (size_t c = 0; c < 4; ++c) s += half::toFloat(rows[r * width + 4 * px + c]);
    out[px] = half::fromFloat(s * 0.0625f);
  }
}

}  // namespace le::tessera::teeth
