// The cursor's frame buffers as one anonymous mapping that the kernel may back
// with transparent huge pages. A session's ring is 14 frames of 6.2 MB at
// 1080p; with 4 KiB pages every frame the producer writes walks about 1500
// page-table entries on cold slots, which cost more than the cursor's own
// bookkeeping (measured by bench/cursor_bench: the history window's cold
// slots made a pull 20 % slower until the ring sat on huge pages).
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::driver {

class RingMemory {
 public:
  // Slot starts are this many bytes apart at least, so two slots never share
  // a cache line.
  static constexpr size_t kSlotAlign = 64;
  // Alignment of the mapping: the size of a transparent huge page on x86-64
  // and on aarch64 with 4 KiB base pages.
  static constexpr size_t kHugePage = size_t{2} << 20;

  RingMemory() = default;
  // Throws std::bad_alloc when the mapping fails or the sizes overflow.
  RingMemory(size_t slots, size_t slotBytes);
  ~RingMemory();
  RingMemory(RingMemory&& o) noexcept;
  RingMemory& operator=(RingMemory&& o) noexcept;
  RingMemory(const RingMemory&) = delete;
  RingMemory& operator=(const RingMemory&) = delete;

  // Slot s (s < slots()); slotBytes() bytes, kSlotAlign-aligned.
  uint8_t* slot(size_t s) const { return base_ + s * stride_; }
  size_t slots() const { return slots_; }
  // The usable part of the mapping: from slot(0) to the end of the last slot.
  size_t bytes() const { return slots_ * stride_; }

 private:
  void release() noexcept;

  void* map_ = nullptr;  // as returned by mmap, unaligned
  size_t mapLen_ = 0;
  uint8_t* base_ = nullptr;
  size_t slots_ = 0;
  size_t stride_ = 0;
};

}  // namespace le::driver
