#include <gtest/gtest.h>

#include <vector>

#include "le/render/source_cone.h"

namespace le {
namespace {

std::vector<int32_t> walk(ConePredictor& p, const std::vector<int32_t>& sis, int32_t N) {
  std::vector<int32_t> got;
  for (int32_t si : sis) got.push_back(p.next(si, N));
  return got;
}

TEST(ConePredictor, StartsForwardWithoutWrap) {
  ConePredictor p;
  EXPECT_EQ(p.step, 1);
  EXPECT_FALSE(p.wrap);
  EXPECT_EQ(p.next(3, 10), 4);  // first call: no history, step +1
  ConePredictor q;
  EXPECT_EQ(q.next(9, 10), 8);  // a first frame at the end bounces
}

TEST(ConePredictor, ForwardToEndBouncesThenWrapsModuloN) {
  ConePredictor p;
  const int32_t N = 5;
  EXPECT_EQ(walk(p, {0, 1, 2, 3}, N), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(p.next(4, N), 3);  // at N-1 without a wrap: N-2
  EXPECT_FALSE(p.wrap);
  EXPECT_EQ(p.next(0, N), 1);  // N-1 -> 0 is a wrap
  EXPECT_TRUE(p.wrap);
  EXPECT_EQ(walk(p, {1, 2, 3}, N), (std::vector<int32_t>{2, 3, 4}));
  EXPECT_EQ(p.next(4, N), 0);  // after a wrap the walk is modulo N
}

TEST(ConePredictor, BackwardWalkBouncesAtZero) {
  ConePredictor p;
  EXPECT_EQ(walk(p, {6, 5, 4}, 8), (std::vector<int32_t>{7, 4, 3}));
  EXPECT_EQ(p.step, -1);
  EXPECT_EQ(walk(p, {3, 2, 1}, 8), (std::vector<int32_t>{2, 1, 0}));
  EXPECT_EQ(p.next(0, 8), 1);  // negative target bounces to 1
  EXPECT_FALSE(p.wrap);
}

TEST(ConePredictor, JumpsKeepTheStep) {
  ConePredictor p;
  EXPECT_EQ(walk(p, {5, 4}, 20), (std::vector<int32_t>{6, 3}));
  EXPECT_EQ(p.next(12, 20), 11);  // +8 is a jump: the step stays -1
  EXPECT_EQ(p.next(13, 20), 14);  // +1 is a step
  EXPECT_EQ(p.step, 1);
}

TEST(ConePredictor, BackwardAfterWrapIsModuloN) {
  ConePredictor p;
  walk(p, {3, 4}, 5);
  EXPECT_EQ(p.next(0, 5), 1);
  EXPECT_EQ(p.next(1, 5), 2);
  EXPECT_EQ(p.next(0, 5), 4);  // step -1, modulo N
}

TEST(ConePredictor, TwoFramesAndFewer) {
  ConePredictor p;
  EXPECT_EQ(p.next(0, 2), 1);
  EXPECT_EQ(p.next(1, 2), 0);  // forward past the end: N-2
  EXPECT_EQ(p.next(0, 2), 1);  // wrap with N = 2: step -1, (0 - 1) mod 2
  EXPECT_TRUE(p.wrap);
  EXPECT_EQ(p.step, -1);
  ConePredictor one;
  EXPECT_EQ(one.next(0, 1), -1);
  EXPECT_EQ(one.lastSi, 0);
  ConePredictor none;
  EXPECT_EQ(none.next(0, 0), -1);
}

}  // namespace
}  // namespace le
