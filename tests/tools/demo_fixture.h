// The demo identity for tests: written by `lefix demo` into a per-process
// temporary directory the first time a test asks for it (it takes seconds),
// plus small image helpers shared by the demo tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "testkit/testkit.h"

namespace le::test {

// 40 frames: the first mouth opening peaks at frame 9, a blink shuts at 22.
inline constexpr const char* kDemoSeconds = "1.6";

inline const std::string& demoContainer() {
  static TempDir dir;
  static const std::string path = [] {
    const std::string p = dir / "demo.imx";
    if (runFixture({"demo", "--out", p, "--seconds", kDemoSeconds}) != 0) return std::string();
    return p;
  }();
  return path;
}

// Bilinear sample of an RGB24 frame at (x, y), channel c; edges clamp.
inline float sampleRGB(const uint8_t* rgb, int w, int h, double x, double y, int c) {
  x = std::clamp(x, 0.0, w - 1.0);
  y = std::clamp(y, 0.0, h - 1.0);
  const int x0 = std::min(static_cast<int>(x), w - 2), y0 = std::min(static_cast<int>(y), h - 2);
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int xx, int yy) { return static_cast<double>(rgb[(static_cast<size_t>(yy) * w + xx) * 3 + c]); };
  return static_cast<float>((at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                            (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy);
}

// Frame position of crop pixel (u, v) through the 2 x 3 matrix m.
inline void cropToFrame(const float* m, double u, double v, double& x, double& y) {
  x = m[0] * u + m[1] * v + m[2];
  y = m[3] * u + m[4] * v + m[5];
}

// Crop pixel of a head-space keypoint coordinate in [-1, 1].
inline double kpToCrop(float q, int crop) { return (q + 1.0) * crop / 2.0 - 0.5; }

}  // namespace le::test
