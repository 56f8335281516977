// Runs a test body once per vector target compiled into the library that this
// processor can execute, with Highway's dispatch restricted to that target, so
// every variant of a kernel family is checked, not only the one the machine
// would pick. Usage:
//   le::test::forEachTarget([&](const char* target) { ... EXPECT_...; });
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
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

}  // namespace le::test
