// The cursor's ring mapping: slot layout, size refusals, ownership moves, and
// that the kernel sees the ring as eligible for transparent huge pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <utility>

#include "le/driver/ring_memory.h"

namespace le::driver {
namespace {

TEST(RingMemory, SlotsAreAlignedDisjointAndHoldTheirBytes) {
  // An odd slot size: the stride rounds up, the contents must not.
  const size_t slots = 5, bytes = 1920 * 1080 * 3 + 7;
  RingMemory r(slots, bytes);
  ASSERT_EQ(r.slots(), slots);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r.slot(0)) % RingMemory::kHugePage, 0u);
  for (size_t s = 0; s < slots; ++s) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.slot(s)) % RingMemory::kSlotAlign, 0u) << s;
    if (s > 0) {
      EXPECT_GE(size_t(r.slot(s) - r.slot(s - 1)), bytes) << s;
    }
  }
  EXPECT_GE(r.bytes(), slots * bytes);
  // Every byte of every slot is writable, and no slot's bytes land in another.
  for (size_t s = 0; s < slots; ++s)
    for (size_t k = 0; k < bytes; ++k) r.slot(s)[k] = uint8_t(s * 37 + k % 251);
  for (size_t s = 0; s < slots; ++s) {
    size_t bad = 0;
    for (size_t k = 0; k < bytes; ++k) bad += r.slot(s)[k] != uint8_t(s * 37 + k % 251);
    EXPECT_EQ(bad, 0u) << "slot " << s;
  }
}

TEST(RingMemory, EmptyOverflowingAndMovedRings) {
  EXPECT_EQ(std::make_pair(RingMemory(0, 100).slots(), RingMemory(0, 100).bytes()), std::make_pair(size_t(0), size_t(0)));
  EXPECT_EQ(RingMemory(3, 0).slots(), 0u);
  EXPECT_THROW(RingMemory(2, SIZE_MAX - 3), std::bad_alloc);
  EXPECT_THROW(RingMemory(SIZE_MAX / 64, 128), std::bad_alloc);
  RingMemory a(2, 4096);
  uint8_t* p = a.slot(1);
  p[4095] = 9;
  RingMemory b(std::move(a));
  EXPECT_EQ(a.slots(), 0u);
  EXPECT_EQ(b.slot(1), p);
  RingMemory c(1, 64);
  c = std::move(b);  // c's own mapping is released, b's taken over
  EXPECT_EQ(b.slots(), 0u);
  EXPECT_EQ(c.slot(1)[4095], 9);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(RingMemoryDeathTest, AWritePastASlotIsCaughtByTheAddressSanitizer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RingMemory r(2, 100);
  volatile uint8_t* p = r.slot(0);
  p[99] = 1;  // the last byte of the slot is fine
  EXPECT_DEATH(p[100] = 1, "use-after-poison");
  volatile uint8_t* q = r.slot(1);
  EXPECT_DEATH(q[100] = 1, "use-after-poison");
}
#endif

// The smaps record of the mapping holding addr, or "" when not found.
std::string smapsRecord(const void* addr) {
  std::ifstream in("/proc/self/smaps");
  std::string line, rec;
  bool inside = false;
  const auto a = reinterpret_cast<uintptr_t>(addr);
  while (std::getline(in, line)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) {
      if (inside) return rec;
      inside = a >= lo && a < hi;
      rec.clear();
    }
    if (inside) rec += line + "\n";
  }
  return inside ? rec : "";
}

TEST(RingMemory, TheKernelMayBackTheRingWithHugePages) {
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string m;
  std::getline(mode, m);
  if (m.find("[always]") == std::string::npos && m.find("[madvise]") == std::string::npos)
    GTEST_SKIP() << "transparent huge pages are off here: " << m;
  RingMemory r(3, 6 << 20);
  r.slot(0)[0] = 1;
  const std::string rec = smapsRecord(r.slot(0));
  ASSERT_NE(rec, "") << "no smaps record for the ring";
  const size_t at = rec.find("THPeligible:");
  if (at == std::string::npos) GTEST_SKIP() << "this kernel's smaps has no THPeligible line";
  int eligible = -1;
  std::istringstream(rec.substr(at + 12)) >> eligible;
  EXPECT_EQ(eligible, 1) << rec;
}

}  // namespace
}  // namespace le::driver
