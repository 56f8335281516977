// Keypoint frames of a mouth and the compose descriptor (corpus geometry v2)
// the teeth-borrow tests place them with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "le/tessera/tessera_pi.h"

namespace le::test {

inline constexpr int kLipRows[6] = {6, 12, 14, 17, 19, 20};  // upper 6, 12, 14; lower 17, 19, 20

// The members of unified.pi, and a manifest of nothing else.
inline const std::string kPiV2Fields =
    "\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],\"lip_geom_params\":[0.10,0.08,0.074]";

inline tessera::UnifiedPi piV2(int canvas) {
  return tessera::UnifiedPi::fromManifestJson("{\"unified\":{\"pi\":{" + kPiV2Fields + "}}}", canvas);
}

// A mask value as a byte: rounded, clamped to [0, 1], 0 for NaN.
inline uint8_t refByte(float v) { return v > 0.f ? uint8_t(std::nearbyint(std::min(v, 1.f) * 255.f)) : 0; }

// 63 floats (the rest of the face at 0): lips centred at (cx, cy), corners
// `half` apart, the middle rows `ap` above and below, the corners ap / 1.2.
inline std::vector<float> mouthKp(float cx, float cy, float half, float ap) {
  std::vector<float> kp(63, 0.f);
  const float xs[6] = {cx - half, cx, cx + half, cx - half, cx, cx + half};
  const float ys[6] = {cy - ap / 1.2f, cy - ap, cy - ap / 1.2f, cy + ap / 1.2f, cy + ap, cy + ap / 1.2f};
  for (int i = 0; i < 6; ++i) kp[size_t(3 * kLipRows[i])] = xs[i], kp[size_t(3 * kLipRows[i] + 1)] = ys[i];
  return kp;
}

}  // namespace le::test
