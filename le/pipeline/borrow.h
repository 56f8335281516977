// What the live pipeline's borrow stage calls: a pass that takes every
// rendered crop with its keypoints and returns, one push later, the teeth
// window to write into the previous crop. The tessera stream borrow is adapted
// to it for a session; tests wire fakes. One thread at a time calls it.
#pragma once

#include <memory>
#include <string>

#include "le/tessera/le_tessera.h"

namespace le::utt {

class Borrow {
 public:
  virtual ~Borrow() = default;
  // planes: the crop as three float planes (crop x crop each); kp: 63 floats.
  // True when *out received the previous crop's result.
  virtual bool push(const float* planes, const float* kp, tessera::FrameResult* out) = 0;
  // The pending crop's result; false when nothing was pending.
  virtual bool flush(tessera::FrameResult* out) = 0;
  // Writes a result's window into a crop's planes; nothing for a pass-through
  // result; throws, leaving the planes unchanged, on a window of the wrong size.
  virtual void writeBack(float* planes, const tessera::FrameResult& r) = 0;
};

}  // namespace le::utt
