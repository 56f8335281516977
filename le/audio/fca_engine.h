// Whole-clip face-conditioned deltas: 8-second frontend windows every 4 s,
// the six-layer mean per frame, causal energy-gated mean removal, and the
// recurrent delta model over a seven-frame window.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "le/audio/frontend.h"  // normaliseWindow: the frontend's own rule
#include "le/audio/ort_graph.h"

namespace le::audio {

// The delta model reads the legacy frontend's windows as they are.
inline constexpr int64_t kFcaFrameSamples = kFrameSamples;
inline constexpr int64_t kFcaWindow = kLegacySamples;
inline constexpr int64_t kFcaWindowFrames = kLegacyFrames;
inline constexpr int64_t kFcaHopFrames = kLegacyHop;
inline constexpr int kFcaDim = int(kChannels);
inline constexpr int kFcaLayers = int(kLayers);
inline constexpr int kFcaHidden = 384;
inline constexpr int kFcaDelta = 63;
inline constexpr int kFcaTaps = 7;  // frames t-1 .. t+5

// Subtracts from each frame (rows of 768) the running mean of the frames so
// far whose energy exceeds the causal 20 % quantile threshold.
void gateAndNormalise(std::vector<float>& frames, int64_t F);

class FcaEngine {
 public:
  FcaEngine(const std::string& frontend, const std::string& delta, int threads);
  // Rows for F = ceil(n / 640) frames into out (F x 63); F must fit the caller.
  void deltas(const float* samples, int64_t n, float* out);

 private:
  Ort::SessionOptions options_;
  std::unique_ptr<OrtGraph> frontend_, delta_;
};

}  // namespace le::audio
