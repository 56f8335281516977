// Element-wise forms of the retrieval terms (le/runtime/tessera_kernels.h):
// the tails of the vector loops and the teeth pass's byte difference table.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "le/runtime/half.h"

namespace le::retrieve {

// Float to binary16 (nearest, ties to even) and back.
inline float roundHalf(float x) { return half::toFloat(half::fromFloat(x)); }

// One channel's term: |round to half (a - b)|.
inline float channelTerm(float a, float b) { return std::fabs(roundHalf(a - b)); }

// Element i of two 3-plane half arrays with n elements per plane:
// round to half of the channel terms' mean, added in channel order.
inline float meanTerm(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float s = channelTerm(half::toFloat(a[i]), half::toFloat(b[i]));
  s += channelTerm(half::toFloat(a[n + i]), half::toFloat(b[n + i]));
  s += channelTerm(half::toFloat(a[2 * n + i]), half::toFloat(b[2 * n + i]));
  return roundHalf(s / 3.0f);
}

}  // namespace le::retrieve
