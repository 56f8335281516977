// The batch stream behind le_stream: its own session ("render" model key), the
// whole-clip delta model and the bundle's target rows. A run computes every
// delta first, then a render thread renders crops into a four-slot ring while
// the calling thread pastes them into driver frames and hands each frame to
// the callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "le/audio/fca_engine.h"
#include "le/session/session.h"

namespace le::stream {

inline constexpr int kKpFloats = 63;
inline constexpr int64_t kFrameSamples = 640;

// Driver frame of clip frame j: 0, 1, ... wrapping at NT (always 0 for NT <= 1).
int32_t driverIndex(int64_t j, int32_t NT);

// target + gain x delta, 63 values.
void drivenRow(const float* target, const float* delta, float gain, float* out);

// Frames of a clip of count samples: ceil(count / 640), 0 for count < 1.
int64_t clipFrames(int64_t count);

// Returns false to stop the run after this frame.
using FrameFn = std::function<bool(int32_t index, const uint8_t* rgb, int32_t w, int32_t h)>;

class Stream {
 public:
  // Throws the failing step's text: "le_create: " or "le_fca_create: " + the
  // family's message, "cannot read xs_target.bin (NT*63 f32)", "skip < 0",
  // "gain not finite". Null paths reach the two create calls as they are.
  Stream(const char* bundle, const char* frontend, int32_t threads, int32_t skip, float gain);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Delivers frames in order through cb (may be empty) and returns how many;
  // a cb that returns false ends the run after its frame.
  // Throws on failure ("bad args", "already running", "le_fca_deltas: ...",
  // "render/paste failed: " + the failing side's message), the render thread
  // joined on every path; an exception from cb propagates as it is.
  int32_t run(const float* samples, int32_t count, const FrameFn& cb);

  int32_t width() const { return W_; }
  int32_t height() const { return H_; }
  int32_t NT() const { return NT_; }

 private:
  // Declared so the delta model goes before the session.
  std::unique_ptr<le_ctx> ctx_;
  std::unique_ptr<audio::FcaEngine> fca_;
  std::vector<float> target_;
  int32_t NT_ = 0, W_ = 0, H_ = 0, crop_ = 0, skip_ = 0;
  float gain_ = 1.0f;
  std::atomic<bool> running_{false};
};

}  // namespace le::stream
