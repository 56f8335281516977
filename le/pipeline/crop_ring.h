// The four-slot crop ring between the batch stream's render thread and the
// calling thread that pastes. The producer copies a finished crop into slot
// (produced mod 4) only while at most 3 crops wait, so the slot the consumer
// is still pasting (counted as consumed only afterwards) is never reused.
// A failure on either side is recorded under the lock and wakes both.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace le::stream {

class CropRing {
 public:
  static constexpr int64_t kSlots = 4;

  explicit CropRing(size_t floatsPerCrop);

  size_t cropFloats() const { return floats_; }

  // Producer: the next slot to fill, after waiting while all four hold crops
  // not yet consumed; null once the ring has failed.
  float* acquire();
  // Producer: the slot from acquire() now holds a crop.
  void publish();
  // Producer: no more crops will come.
  void finish();

  // Consumer: the oldest waiting crop; null on failure, or when the producer
  // finished without another crop.
  const float* next();
  // Consumer: the crop from next() is no longer read.
  void release();

  // Either side: stops both. The first reason is kept.
  void fail(std::string_view why) noexcept;
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  std::string reason() const;

  int64_t produced() const;
  int64_t consumed() const;

 private:
  const size_t floats_;
  std::vector<float> slots_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int64_t produced_ = 0, consumed_ = 0;
  bool done_ = false;
  std::atomic<bool> failed_{false};
  std::string reason_;
};

}  // namespace le::stream
