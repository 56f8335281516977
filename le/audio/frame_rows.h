// Per-frame rows of a stream that only ever moves forward: rows of a fixed
// width for the frames [base(), end()). Readers say which frames they still
// need and the front is dropped, so what is held follows the readers' reach
// (left context, look-ahead, rows not yet pulled), not the stream's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::audio {

class FrameRows {
 public:
  // Frames dropped at once, at the least: compaction moves the rows still
  // held, so it waits until the dead front is at least this long and at least
  // as long as what stays; every value then moves O(1) times, and at most
  // twice the live rows plus this many are held.
  static constexpr int64_t kMinDrop = 256;

  explicit FrameRows(int64_t width = 1) : width_(width) {}

  int64_t width() const { return width_; }
  int64_t base() const { return base_; }
  int64_t end() const { return base_ + static_cast<int64_t>(v_.size()) / width_; }
  size_t heldBytes() const { return v_.capacity() * sizeof(float); }
  // Frame base()'s row, the others following; null while nothing is held.
  const float* data() const { return v_.empty() ? nullptr : v_.data(); }

  // Frame f, for base() <= f < end(); throws std::logic_error for a frame
  // already dropped (a reader asked for less than it reads).
  float* row(int64_t f);
  const float* row(int64_t f) const;

  // Holds frames up to `frames` (new rows zero-filled); never shrinks.
  void growTo(int64_t frames);
  // Lets go of frames from `frames` on (work done ahead that is undone).
  void truncate(int64_t frames);
  // Nothing before frame f is read again.
  void dropBefore(int64_t f);
  void clear() { startAt(0); }
  // Empty, the next row held being frame `first`.
  void startAt(int64_t first) {
    v_.clear();
    base_ = first;
  }
  // The held rows as one array, frame base() first, for code that walks
  // rows itself.
  std::vector<float>& values() { return v_; }
  const std::vector<float>& values() const { return v_; }

 private:
  void check(int64_t f) const;
  std::vector<float> v_;
  int64_t base_ = 0;
  int64_t width_;
};

}  // namespace le::audio
