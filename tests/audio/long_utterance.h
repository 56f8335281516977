// The bounded-memory check shared by the streaming engines (a2x, motion).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <tuple>
#include <type_traits>
#include <vector>

namespace le::test {

// One 40 s utterance (speech repeated), pushed `block` samples at a time and
// pulled `n` frames at a time as a host would, through an engine that lets
// consumed rows go and one that keeps every row: the same frames, and the
// state the first holds stops growing once its first rows are let go (what
// 40 s need is what 15 s needed, give or take one compaction's slack).
// pull(e, idx, src, drv, n): the engine's pull; firstHeld(e): the first row
// it still holds; beforePush runs before every push.
template <class Engine, class Pull, class FirstHeld>
void longUtteranceHoldsOnlyWhatLaterFramesRead(Engine& bounded, Engine& reference, const std::vector<float>& speech,
                                               size_t block, int n, Pull pull, FirstHeld firstHeld,
                                               const std::type_identity_t<std::function<void(Engine&)>>& beforePush = {}) {
  std::vector<float> s;
  while (s.size() < size_t(40 * 16000)) s.insert(s.end(), speech.begin(), speech.end());
  reference.keepHistory(true);
  Engine* engines[2] = {&bounded, &reference};
  std::vector<int> idx[2], i(static_cast<size_t>(n));
  std::vector<float> drv[2], src(static_cast<size_t>(n) * 63), d(src.size());
  const auto pullAll = [&](int k) {
    for (int64_t got; (got = pull(*engines[k], i.data(), src.data(), d.data(), n)) > 0;) {
      idx[k].insert(idx[k].end(), i.begin(), i.begin() + got);
      drv[k].insert(drv[k].end(), d.begin(), d.begin() + got * 63);
    }
  };
  size_t heldAt15s = 0, heldMax = 0;
  for (size_t at = 0; at < s.size(); at += block) {
    for (int k = 0; k < 2; ++k) {
      if (beforePush) beforePush(*engines[k]);
      engines[k]->push(s.data() + at, int64_t(std::min(block, s.size() - at)));
      engines[k]->avail();
      pullAll(k);
    }
    if (at >= 15 * 16000 && heldAt15s == 0) heldAt15s = bounded.heldBytes();
    heldMax = std::max(heldMax, bounded.heldBytes());
  }
  for (int k = 0; k < 2; ++k) {
    engines[k]->finish();
    pullAll(k);
  }
  ASSERT_EQ(idx[0].size(), (s.size() + 639) / 640);
  EXPECT_EQ(std::tie(idx[0], drv[0]), std::tie(idx[1], drv[1]));
  EXPECT_GT(firstHeld(bounded), 0);
  EXPECT_EQ(firstHeld(reference), 0);
  ASSERT_GT(heldAt15s, 0u);
  EXPECT_LT(double(heldMax), 1.5 * double(heldAt15s));
  EXPECT_GT(reference.heldBytes(), 2 * heldMax);
}

}  // namespace le::test
