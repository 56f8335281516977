// The bundle's idle drive tables: per entry the source keypoints, the driving
// keypoints and the driver frame they belong to.
#pragma once

#include <cstdint>
#include <vector>

#include "le/bundle/manifest.h"

namespace le {

struct Drive {
  std::vector<float> xs;    // frames x 63
  std::vector<float> xd;    // frames x 63
  std::vector<int32_t> si;  // frames, each in [0, NT)
  int32_t frames = 0;
};

Drive loadDrive(const Manifest& manifest);

}  // namespace le
