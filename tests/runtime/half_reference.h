// Binary16 and float32 conversions written from the formats' definitions in
// double arithmetic: they share nothing with the library's conversions.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace le::test {

inline uint32_t bitsOf(float x) { return std::bit_cast<uint32_t>(x); }

// value = m * 2^(e - 25) (+ 1024 implied for normals); a NaN's payload goes
// to the top of the float's.
inline float refToFloat(uint16_t h) {
  const int e = (h >> 10) & 0x1F, m = h & 0x3FF;
  if (e == 31) return std::bit_cast<float>((uint32_t(h & 0x8000) << 16) | 0x7F800000u | (uint32_t(m) << 13));
  const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return static_cast<float>((h & 0x8000) ? -mag : mag);
}

// Nearest with ties to even on the exact value: the quantum is 2^(e - 10)
// with e the exponent of |x| clamped to the subnormal floor 2^-14; from 65520
// on, infinity.
inline uint16_t refToHalf(float x) {
  const uint16_t sign = (bitsOf(x) >> 31) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | 0x7E00 | ((bitsOf(x) & 0x7FFFFF) >> 13);
  const double a = std::fabs(static_cast<double>(x));
  if (std::isinf(x) || a >= 65520.0) return sign | 0x7C00;
  if (a == 0) return sign;
  int e;
  std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1)
  e = std::max(e - 1, -14);
  const double q = std::nearbyint(std::ldexp(a, 10 - e));
  if (e == -14 && q < 1024) return sign | static_cast<uint16_t>(q);
  return sign | static_cast<uint16_t>(((e + 15) << 10) + (static_cast<int>(q) - 1024));
}

}  // namespace le::test
