// Binary16 frame inputs of the fixture m4b directors: smooth pooled features
// and priors in [0, 1], keypoints of a face outline with the driving set
// moved a little. Plain data, no onnxruntime.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "le/runtime/le_simd.h"

namespace le::test {

// A smooth periodic wave in [-1, 1] (period 1) from + - * only, so that
// every machine draws the same inputs: libm's sin is not the same function
// everywhere. Computed in double and rounded once at the end, which hides
// whether a compiler fused a multiply-add (it does on Arm, not on x86-64).
inline double wave(double t) {
  const double s = t - std::floor(t);
  const double tri = s < 0.5 ? 4 * s - 1 : 3 - 4 * s;
  return tri * (1.5 - 0.5 * tri * tri);
}

// [0, 1) in steps of 2^-24, exact on every machine (the standard
// distributions may round through long double, which differs).
inline double unit(std::mt19937& rng) { return static_cast<double>(rng() >> 8) / 16777216.0; }

// The seed of the crop-256 frame one machine renders for another's check.
constexpr uint32_t kReferenceSeed = 11;

// Frames of binary16 inputs: smooth pooled features and priors in [0, 1],
// keypoints of a face outline with the driving set moved a little.
struct M4bFrames {
  int crop = 256;
  int n = 0;
  std::vector<std::vector<uint16_t>> pooled, prior;
  std::vector<float> ks, kd;

  M4bFrames(int crop_, int n_, uint32_t seed) : crop(crop_), n(n_) {
    std::mt19937 rng(seed);
    for (int f = 0; f < n; ++f) {
      pooled.push_back(smooth(64, 32, rng));
      prior.push_back(smooth(3, crop, rng));
      for (int k = 0; k < 21; ++k) {
        const double a = k / 21.0;
        const double s[3] = {0.3 * wave(a + 0.25) + 0.05 * (unit(rng) - 0.5), 0.35 * wave(a), 0.05 * wave(a + 0.25)};
        for (int j = 0; j < 3; ++j) {
          ks.push_back(static_cast<float>(s[j]));
          kd.push_back(static_cast<float>(s[j] + 0.12 * (unit(rng) - 0.5)));
        }
      }
    }
  }

  static std::vector<uint16_t> smooth(int planes, int side, std::mt19937& rng) {
    std::vector<uint16_t> out(static_cast<size_t>(planes) * side * side);
    for (int p = 0; p < planes; ++p) {
      const double a = 1 + 4 * unit(rng), b = 1 + 4 * unit(rng), c = unit(rng), d = unit(rng);
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
          const double fx = (x + 0.5) / side, fy = (y + 0.5) / side;
          const double v = 0.5 + 0.25 * wave(a * fx + c) + 0.2 * wave(b * fy + d + 0.25);
          out[(static_cast<size_t>(p) * side + y) * side + x] = le::f32ToF16(static_cast<float>(v));
        }
    }
    return out;
  }

  // One pointer a frame, as the engine takes them.
  static std::vector<const uint16_t*> ptrs(const std::vector<std::vector<uint16_t>>& frames) {
    std::vector<const uint16_t*> v;
    for (const auto& p : frames) v.push_back(p.data());
    return v;
  }
};

}  // namespace le::test
