// What the live pipeline needs from its session: a director that renders
// crops, a frame side that pulls driver frames and composites crops into them,
// and the factories it calls on its warm-up thread. The session adapter wires
// these to le::Renderer, le::DriverCursor, le::Paste and le::Identity; tests
// wire fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "le/pipeline/engine.h"

namespace le::utt {

class Director {
 public:
  virtual ~Director() = default;
  // n planar crops (3 x crop x crop floats each) for n frames, valid until the
  // next call. One thread at a time.
  virtual const float* render(const int32_t* si, const float* ks, const float* kd, int32_t n) = 0;
  virtual int32_t batch() const = 0;
  virtual std::string ep() const = 0;
};

class FrameSide {
 public:
  virtual ~FrameSide() = default;
  // Driver frame idx as RGB24 into rgb (width x height x 3 bytes).
  virtual void pullDriver(int32_t idx, uint8_t* rgb) = 0;
  // crop pasted through frame idx's matrix into rgb.
  virtual void composite(const float* crop, int32_t idx, uint8_t* rgb) = 0;
  // Keeps the warp prior's decoding position with an idle frame.
  virtual void walkPrior(int32_t idx) = 0;
};

struct Stages {
  int32_t nt = 0;  // driver frame count
  int32_t width = 0;
  int32_t height = 0;
  int32_t crop = 0;
  Director* main = nullptr;       // not owned; outlives the pipeline
  FrameSide* frames = nullptr;    // not owned; outlives the pipeline
  // Source row used for the warm-up render (63 floats), empty for none.
  std::vector<float> warmKp;
  // xs_target rows (nt x 63), empty when absent or the wrong length.
  std::vector<float> xsTarget;
  // The manifest's lip template text (empty: the bundle has none).
  std::string lipTemplateJson;
  EngineKind engineKind = EngineKind::A2x;
  // Called on the warm-up thread; a throw fails the warm-up with its text.
  std::function<std::unique_ptr<Engine>()> makeEngine;
  // Chunk director for a model name; a throw is noted as stage "warm-up".
  std::function<std::unique_ptr<Director>(const std::string&)> makeChunk;
};

}  // namespace le::utt
