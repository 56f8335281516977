// The ramp that eases the face from the last spoken pose back to the driver:
// frame k of R (1-based) renders the driver's target row plus (1 - k/R) of the
// last frame's offset from its own target row, so the last frame is the pure
// target row.
#pragma once

#include <cstdint>

#include "le/pipeline/engine.h"

namespace le::utt {

inline void rampOffsetFrom(const float* driven, const float* target, float* offset) {
  for (int i = 0; i < kKpFloats; ++i) offset[i] = driven[i] - target[i];
}

// a for the next frame when `remaining` of `total` frames are left.
inline float rampAlpha(int32_t total, int32_t remaining) {
  if (total < 1) return 1.0f;
  return float(total - remaining + 1) / float(total);
}

inline void rampRow(const float* offset, const float* target, float a, float* out) {
  for (int i = 0; i < kKpFloats; ++i) out[i] = (1.0f - a) * offset[i] + target[i];
}

}  // namespace le::utt
