// The speech a live host has pushed, kept for muxing beside the frames
// rendered from it. Frames are delivered in order, so samples before the
// start of the latest delivered speech frame are never asked for again and
// are let go: what is held follows the pipeline's latency, not the run's
// length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::tool {

class PushedAudio {
 public:
  void append(const int16_t* samples, size_t n) { held_.insert(held_.end(), samples, samples + n); }
  // Samples ever pushed.
  int64_t total() const { return base_ + static_cast<int64_t>(held_.size()); }
  bool empty() const { return total() == 0; }
  // Samples held right now.
  size_t held() const { return held_.size(); }

  // Copies the held samples of [from, from + n) into out (the others are left
  // as they are), then lets go of everything before from.
  void take(int64_t from, int16_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const int64_t s = from + static_cast<int64_t>(i);
      if (s >= base_ && s < total()) out[i] = held_[static_cast<size_t>(s - base_)];
    }
    dropBefore(from);
  }

 private:
  // Compacts once the dead front is a second long and at least as long as
  // what stays, so each sample moves O(1) times.
  void dropBefore(int64_t from) {
    const int64_t dead = (from < total() ? from : total()) - base_;
    if (dead < 16000 || dead < static_cast<int64_t>(held_.size()) - dead) return;
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(dead));
    base_ += dead;
  }

  std::vector<int16_t> held_;
  int64_t base_ = 0;  // sample number of held_[0]
};

}  // namespace le::tool
