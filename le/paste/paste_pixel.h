// Per-pixel steps shared by every resampler of the paste compositor: the
// fixed-point coordinate split, the mask alpha and the blend.
#pragma once

#include <cmath>
#include <cstdint>

namespace le::paste {

// A frame pixel's crop position: integer sample and 1/32 phase per axis.
struct Tap {
  int64_t iu, iv;
  int pu, pv;
};

// U, V in 1/1024 pixel with the +16 already added, so that dropping the low
// five bits rounds the phase to the nearest 1/32. false: the pixel lies
// outside the crop (not even the bilinear mask reaches it).
inline bool tapAt(int64_t U, int64_t V, int side, Tap& t) {
  t.iu = U >> 10;
  t.iv = V >> 10;
  if (t.iu < -1 || t.iu >= side || t.iv < -1 || t.iv >= side) return false;
  t.pu = static_cast<int>((U >> 5) & 31);
  t.pv = static_cast<int>((V >> 5) & 31);
  return true;
}

inline float maskAt(const uint8_t* mask, int side, int64_t i, int64_t j) {
  if (i < 0 || j < 0 || i >= side || j >= side) return 0.0f;
  return mask[j * side + i];
}

// Bilinear mask sample rounded to a whole level 0 ... 255. The weights are
// multiples of 1/32 and the samples bytes, so the sum is exact in float and
// the rounding cannot depend on the order of the operations.
inline float maskLevel(const uint8_t* mask, int side, const Tap& t, const float* bilinear) {
  const float* bx = bilinear + 2 * t.pu;
  const float* by = bilinear + 2 * t.pv;
  float m00, m10, m01, m11;
  if (t.iu >= 0 && t.iv >= 0 && t.iu + 1 < side && t.iv + 1 < side) {
    const uint8_t* m = mask + t.iv * side + t.iu;
    m00 = m[0];
    m10 = m[1];
    m01 = m[side];
    m11 = m[side + 1];
  } else {
    m00 = maskAt(mask, side, t.iu, t.iv);
    m10 = maskAt(mask, side, t.iu + 1, t.iv);
    m01 = maskAt(mask, side, t.iu, t.iv + 1);
    m11 = maskAt(mask, side, t.iu + 1, t.iv + 1);
  }
  return std::nearbyint(by[0] * (bx[0] * m00 + bx[1] * m10) + by[1] * (bx[0] * m01 + bx[1] * m11));
}

// alpha L + (1 - alpha) F, clamped and truncated; a NaN colour gives 0 rather
// than an undefined conversion.
inline uint8_t blendByte(float alpha, float L, uint8_t F) {
  const float o = alpha * L + (1.0f - alpha) * static_cast<float>(F);
  return static_cast<uint8_t>(o > 0.0f ? (o < 255.0f ? o : 255.0f) : 0.0f);
}

}  // namespace le::paste
