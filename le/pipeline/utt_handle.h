// The C handle behind le_utt: the pipeline and the session adapters it
// borrows. The pipeline is stopped first, then the adapters go, then the
// session is released for its own frame-level entry points.
#pragma once

#include <functional>
#include <memory>

#include "le/pipeline/pipeline.h"
#include "le/pipeline/stages.h"

struct le_utt {
  std::unique_ptr<le::utt::Director> director;
  std::unique_ptr<le::utt::FrameSide> frames;
  std::unique_ptr<le::utt::Pipeline> pipeline;
  std::function<void()> release;

  le_utt() = default;
  le_utt(const le_utt&) = delete;
  le_utt& operator=(const le_utt&) = delete;
  ~le_utt() {
    pipeline.reset();
    frames.reset();
    director.reset();
    if (release) release();
  }
};
