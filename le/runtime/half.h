// Element-wise IEEE binary16 conversions: the arithmetic every half-precision
// kernel reproduces bit for bit, and the tail of its vector loops.
#pragma once

#include <cstdint>
#include <cstring>

namespace le::half {

inline uint32_t floatBits(float x) {
  uint32_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

inline float bitsFloat(uint32_t u) {
  float x;
  std::memcpy(&x, &u, sizeof x);
  return x;
}

// Exact: subnormal halves become normal floats, a NaN keeps its sign and its
// 10 payload bits at the top of the float mantissa (no quieting).
inline float toFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  uint32_t m = h & 0x3FFu;
  if (e == 0x1F) return bitsFloat(sign | 0x7F800000u | (m << 13));
  if (e != 0) return bitsFloat(sign | ((e + 112) << 23) | (m << 13));
  if (m == 0) return bitsFloat(sign);
  uint32_t e32 = 113;  // 2^-14, the exponent of the smallest normal half
  while ((m & 0x400u) == 0) {
    m <<= 1;
    --e32;
  }
  return bitsFloat(sign | (e32 << 23) | ((m & 0x3FFu) << 13));
}

// Magnitude bits of a finite float with biased exponent e (< 255) and
// mantissa mant, rounded to nearest, ties to even.
inline uint16_t finiteMagnitude(uint32_t e, uint32_t mant) {
  const int h = static_cast<int>(e) - 112;  // the half's biased exponent
  if (h > 30) return 0x7C00;
  if (h >= 1) {
    uint32_t r = (static_cast<uint32_t>(h) << 10) | (mant >> 13);
    const uint32_t dropped = mant & 0x1FFFu;
    // A carry may run into the exponent: 65520 and up become infinity.
    if (dropped > 0x1000u || (dropped == 0x1000u && (mant & 0x2000u) != 0)) ++r;
    return static_cast<uint16_t>(r);
  }
  if (h >= -10) {
    const uint32_t m = mant | 0x800000u;
    const uint32_t s = 126 - e;  // 14 ... 24
    uint32_t r = m >> s;
    const uint32_t rem = m & ((1u << s) - 1);
    const uint32_t halfway = 1u << (s - 1);
    if (rem > halfway || (rem == halfway && (r & 1u) != 0)) ++r;
    return static_cast<uint16_t>(r);
  }
  return 0;
}

// Array-kernel form: a float NaN becomes a quiet half NaN keeping the top
// payload bits.
inline uint16_t fromFloat(float x) {
  const uint32_t u = floatBits(x);
  const uint16_t sign = static_cast<uint16_t>((u >> 16) & 0x8000u);
  const uint32_t e = (u >> 23) & 0xFFu;
  const uint32_t mant = u & 0x7FFFFFu;
  if (e == 255)
    return static_cast<uint16_t>(sign | 0x7C00u | (mant != 0 ? 0x0200u | (mant >> 13) : 0u));
  return static_cast<uint16_t>(sign | finiteMagnitude(e, mant));
}

// Single-value form: never produces a NaN; NaN and infinity both saturate to
// a signed infinity.
inline uint16_t fromFloatNoNaN(float x) {
  const uint32_t u = floatBits(x);
  const uint16_t sign = static_cast<uint16_t>((u >> 16) & 0x8000u);
  const uint32_t e = (u >> 23) & 0xFFu;
  if (e > 142) return static_cast<uint16_t>(sign | 0x7C00u);
  return static_cast<uint16_t>(sign | finiteMagnitude(e, u & 0x7FFFFFu));
}

}  // namespace le::half
