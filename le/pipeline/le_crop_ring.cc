#include "le/pipeline/crop_ring.h"

namespace le::stream {

CropRing::CropRing(size_t floatsPerCrop)
    : floats_(floatsPerCrop), slots_(floatsPerCrop * size_t(kSlots)) {}

float* CropRing::acquire() {
  std::unique_lock lk(mu_);
  // Four waiting crops fill the ring; the failure flag is part of the
  // predicate so a consumer that stopped never leaves the producer waiting.
  cv_.wait(lk, [&] { return failed() || produced_ - consumed_ < kSlots; });
  if (failed()) return nullptr;
  return slots_.data() + size_t(produced_ % kSlots) * floats_;
}

void CropRing::publish() {
  {
    std::lock_guard lk(mu_);
    ++produced_;
  }
  cv_.notify_all();
}

void CropRing::finish() {
  {
    std::lock_guard lk(mu_);
    done_ = true;
  }
  cv_.notify_all();
}

const float* CropRing::next() {
  std::unique_lock lk(mu_);
  cv_.wait(lk, [&] { return failed() || produced_ > consumed_ || done_; });
  if (failed() || produced_ == consumed_) return nullptr;
  return slots_.data() + size_t(consumed_ % kSlots) * floats_;
}

void CropRing::release() {
  {
    std::lock_guard lk(mu_);
    ++consumed_;
  }
  cv_.notify_all();
}

void CropRing::fail(std::string_view why) noexcept {
  {
    std::lock_guard lk(mu_);
    if (!failed()) {
      try {
        reason_ = why;
      } catch (...) {
        // Out of memory: the flag below still stops both sides.
      }
    }
    failed_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

std::string CropRing::reason() const {
  std::lock_guard lk(mu_);
  return reason_;
}

int64_t CropRing::produced() const {
  std::lock_guard lk(mu_);
  return produced_;
}

int64_t CropRing::consumed() const {
  std::lock_guard lk(mu_);
  return consumed_;
}

}  // namespace le::stream
