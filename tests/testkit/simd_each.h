// Runs a kernel test once per vector target compiled into the library that
// this processor can execute, with Highway's dispatch restricted to that
// target, so every variant is checked against the scalar reference, not only
// the one the machine would pick. Sweeps add lengths and misalignments:
//   le::test::sweep(33, 4, [&](size_t n, size_t off) { ... });
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "le/runtime/le_simd.h"

namespace le::test {

// Restores Highway's own target detection on every exit path.
struct ScopedTargetMock {
  explicit ScopedTargetMock(int64_t bit) { hwy::SetSupportedTargetsForTest(bit); }
  ~ScopedTargetMock() { hwy::SetSupportedTargetsForTest(0); }
  ScopedTargetMock(const ScopedTargetMock&) = delete;
  ScopedTargetMock& operator=(const ScopedTargetMock&) = delete;
};

// Target bits compiled into the library and supported by this processor.
inline std::vector<int64_t> runnableTargets() {
  std::vector<int64_t> out;
  const int64_t supported = hwy::SupportedTargets();
  // Highway 1.0.3 re-detects on every SupportedTargets() call and stores the
  // dispatcher's choice before adding the vector-length targets (SVE2_128,
  // SVE_256), so a bare call demotes the dispatcher to plain SVE2/SVE. Clearing
  // the test mask stores the complete set again.
  hwy::SetSupportedTargetsForTest(0);
  for (int64_t t = le::simd::compiledTargets(); t != 0; t &= t - 1) {
    const int64_t bit = t & -t;
    if (supported & bit) out.push_back(bit);
  }
  return out;
}

template <class Body>
void forEachTarget(Body&& body) {
  const std::vector<int64_t> targets = runnableTargets();
  ASSERT_FALSE(targets.empty());
  for (const int64_t bit : targets) {
    const ScopedTargetMock mock(bit);
    const char* name = hwy::TargetName(bit);
    SCOPED_TRACE(std::string("target ") + name);
    // The restriction must really reach the dispatcher, or the loop would
    // test one variant many times.
    ASSERT_STREQ(le::simd::target(), name);
    body(name);
  }
}

// body(n, offset) for every length 0 ... maxLen and element offset
// 0 ... offsets - 1 (misaligned buffers), on every target. The body's own
// messages should name n and offset; the target is traced here.
template <class Body>
void sweep(size_t maxLen, size_t offsets, Body&& body) {
  forEachTarget([&](const char*) {
    for (size_t n = 0; n <= maxLen; ++n)
      for (size_t off = 0; off < offsets; ++off) body(n, off);
  });
}

// A buffer of n elements at an element offset, fenced by a guard value on
// both sides: intact() is false once a kernel wrote outside [at(), at() + n).
template <class T>
struct Fenced {
  static constexpr size_t kFence = 16;
  Fenced(size_t n, size_t offset, T guard) : n(n), off(offset + kFence), guard(guard),
                                              buf(n + offset + 2 * kFence, guard) {}
  T* at() { return buf.data() + off; }
  T& operator[](size_t i) { return buf[off + i]; }
  bool intact() const {
    for (size_t i = 0; i < buf.size(); ++i)
      if ((i < off || i >= off + n) && std::memcmp(&buf[i], &guard, sizeof(T)) != 0) return false;
    return true;
  }
  size_t n, off;
  T guard;
  std::vector<T> buf;
};

}  // namespace le::test
