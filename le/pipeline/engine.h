// The audio engine as the live pipeline sees it: the calling surface both
// engines share (reset, set eager, push, finish, avail, pull, total, nt). Only
// the pipeline's dispatch thread calls an engine; a failing call throws with
// the engine's own message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le::utt {

inline constexpr int kKpFloats = 63;  // 21 keypoints x (x, y, z)

class Engine {
 public:
  virtual ~Engine() = default;
  // New utterance: driver indices start at `start` and walk in `direction`,
  // looping over the driver.
  virtual void reset(int32_t start, int32_t direction) = 0;
  virtual void setEager(int32_t frames) = 0;
  virtual void push(const float* samples, int64_t count) = 0;
  virtual void finish() = 0;
  // Frames ready to pull, computing more first when needed.
  virtual int32_t avail() = 0;
  // Up to n frames: driver index, target row and driven row (63 floats each).
  virtual int32_t pull(int32_t* idx, float* target, float* driven, int32_t n) = 0;
  // Frames of the utterance once finished, else -1.
  virtual int32_t total() = 0;
  // Driver frame count the engine's tables were built for.
  virtual int32_t nt() = 0;
};

enum class EngineKind { A2x, Motion };

// The streaming audio-to-expression engine when a2x_enc_stream.onnx resolves
// in motionDir and opens for reading, else the motion generator.
EngineKind selectEngine(const std::string& motionDir);

// Creates the selected engine (on the warm-up thread). Throws with the
// engine's creation message.
std::unique_ptr<Engine> createEngine(EngineKind kind, const std::string& motionDir, int32_t threads,
                                     const std::string& ep);

}  // namespace le::utt
