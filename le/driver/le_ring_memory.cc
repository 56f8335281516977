// Ring buffers on transparent huge pages (see ring_memory.h for why).
#include <sys/mman.h>

#include <cstdint>
#include <new>
#include <utility>

#include "le/driver/ring_memory.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define LE_RING_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define LE_RING_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define LE_RING_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define LE_RING_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef LE_RING_POISON
#define LE_RING_POISON(p, n) ((void)(p), (void)(n))
#define LE_RING_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace le::driver {

RingMemory::RingMemory(size_t slots, size_t slotBytes) {
  if (slots == 0 || slotBytes == 0) return;
  if (slotBytes > SIZE_MAX - (kSlotAlign - 1)) throw std::bad_alloc();
  const size_t stride = (slotBytes + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
  if (stride > (SIZE_MAX - 2 * kHugePage) / slots) throw std::bad_alloc();
  const size_t used = (slots * stride + kHugePage - 1) / kHugePage * kHugePage;
  // One extra huge page of slack lets the start be moved to a 2 MiB boundary.
  const size_t len = used + kHugePage;
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  map_ = p;
  mapLen_ = len;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  base_ = reinterpret_cast<uint8_t*>(a);
  slots_ = slots;
  stride_ = stride;
#ifdef MADV_HUGEPAGE
  // Only a request: with huge pages off (or "never") the ring works the same
  // on base pages, so a refusal is not an error.
  (void)::madvise(base_, used, MADV_HUGEPAGE);
#endif
  // A mapping is invisible to the address sanitizer: mark the padding after
  // each slot and the mapping around the slots, so a frame written past its
  // end is caught as it was when every slot was its own heap block.
  LE_RING_POISON(map_, size_t(base_ - static_cast<uint8_t*>(map_)));
  for (size_t s = 0; s < slots; ++s)
    LE_RING_POISON(slot(s) + slotBytes, stride - slotBytes);
  uint8_t* const end = static_cast<uint8_t*>(map_) + len;
  LE_RING_POISON(base_ + slots * stride, size_t(end - (base_ + slots * stride)));
}

RingMemory::~RingMemory() { release(); }

RingMemory::RingMemory(RingMemory&& o) noexcept
    : map_(std::exchange(o.map_, nullptr)),
      mapLen_(std::exchange(o.mapLen_, 0)),
      base_(std::exchange(o.base_, nullptr)),
      slots_(std::exchange(o.slots_, 0)),
      stride_(std::exchange(o.stride_, 0)) {}

RingMemory& RingMemory::operator=(RingMemory&& o) noexcept {
  if (this != &o) {
    release();
    map_ = std::exchange(o.map_, nullptr);
    mapLen_ = std::exchange(o.mapLen_, 0);
    base_ = std::exchange(o.base_, nullptr);
    slots_ = std::exchange(o.slots_, 0);
    stride_ = std::exchange(o.stride_, 0);
  }
  return *this;
}

void RingMemory::release() noexcept {
  if (map_) {
    LE_RING_UNPOISON(map_, mapLen_);  // the shadow outlives the mapping
    ::munmap(map_, mapLen_);
  }
  map_ = nullptr;
  mapLen_ = 0;
  base_ = nullptr;
  slots_ = 0;
  stride_ = 0;
}

}  // namespace le::driver
