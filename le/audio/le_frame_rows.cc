#include <algorithm>
#include <stdexcept>
#include <string>

#include "le/audio/frame_rows.h"

namespace le::audio {

void FrameRows::check(int64_t f) const {
  if (f < base_ || f >= end())
    throw std::logic_error("frame " + std::to_string(f) + " is not held (frames " + std::to_string(base_) +
                           ".." + std::to_string(end()) + ")");
}

float* FrameRows::row(int64_t f) {
  check(f);
  return v_.data() + static_cast<size_t>(f - base_) * static_cast<size_t>(width_);
}

const float* FrameRows::row(int64_t f) const {
  check(f);
  return v_.data() + static_cast<size_t>(f - base_) * static_cast<size_t>(width_);
}

void FrameRows::growTo(int64_t frames) {
  if (frames <= end()) return;
  v_.resize(static_cast<size_t>(frames - base_) * static_cast<size_t>(width_), 0.0f);
}

void FrameRows::truncate(int64_t frames) {
  if (frames < base_) throw std::logic_error("truncate to frame " + std::to_string(frames) + " below the held frames");
  if (frames < end()) v_.resize(static_cast<size_t>(frames - base_) * static_cast<size_t>(width_));
}

void FrameRows::dropBefore(int64_t f) {
  const int64_t dead = std::min(f, end()) - base_;
  const int64_t live = end() - base_ - dead;
  if (dead < kMinDrop || dead < live) return;
  v_.erase(v_.begin(), v_.begin() + static_cast<std::ptrdiff_t>(dead * width_));
  base_ += dead;
}

}  // namespace le::audio
