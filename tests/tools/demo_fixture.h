// The demo identity for tests: written by `lefix demo` into a per-process
// temporary directory the first time a test asks for it (it takes seconds),
// plus the crop-to-frame helpers le-render's pixel checks use.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Frame position of crop pixel (u, v) through the 2 x 3 matrix m.
inline void cropToFrame(const float* m, double u, double v, double& x, double& y) {
  x = m[0] * u + m[1] * v + m[2];
  y = m[3] * u + m[4] * v + m[5];
}

// Crop pixel of a head-space keypoint coordinate in [-1, 1].
inline double kpToCrop(float q, int crop) { return (q + 1.0) * crop / 2.0 - 0.5; }

}  // namespace le::test
