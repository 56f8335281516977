// Worker pool: chunking, the inline rules, per-thread pools and their
// teardown, exceptions thrown by chunks, and the thread-count rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "le/runtime/le_pool.h"

namespace {

using le::pool::Pool;
using Range = std::pair<size_t, size_t>;

// Records every call with the thread that made it.
struct Recorder {
  std::mutex mu;
  std::vector<Range> calls;
  std::set<std::thread::id> threads;
  void operator()(size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    calls.emplace_back(b, e);
    threads.insert(std::this_thread::get_id());
  }
  std::vector<Range> sorted() {
    std::vector<Range> c = calls;
    std::sort(c.begin(), c.end());
    return c;
  }
};

TEST(PoolThreads, EnvironmentRule) {
  using le::pool::threadsFrom;
  EXPECT_EQ(threadsFrom(nullptr, nullptr, 8), 4);
  EXPECT_EQ(threadsFrom(nullptr, nullptr, 2), 2);
  EXPECT_EQ(threadsFrom(nullptr, nullptr, 0), 4);  // unknown hardware: no cap
  EXPECT_EQ(threadsFrom("1", nullptr, 8), 1);
  EXPECT_EQ(threadsFrom("0", nullptr, 8), 1);
  EXPECT_EQ(threadsFrom("-3", nullptr, 8), 1);
  EXPECT_EQ(threadsFrom("64", nullptr, 8), 8);
  EXPECT_EQ(threadsFrom("6", "2", 8), 6);  // LE_CORE_THREADS wins
  EXPECT_EQ(threadsFrom("", "3", 8), 3);   // empty counts as unset
  EXPECT_EQ(threadsFrom(nullptr, "3", 8), 3);
  EXPECT_EQ(threadsFrom(nullptr, "0", 8), 1);
  // Text that is not a whole number is ignored with a warning.
  EXPECT_EQ(threadsFrom("many", "3", 8), 3);
  EXPECT_EQ(threadsFrom("2x", nullptr, 8), 4);
  EXPECT_EQ(threadsFrom(" 2", nullptr, 8), 4);
  // Out of range never wraps, and a hard ceiling applies without a hardware cap.
  EXPECT_EQ(threadsFrom("99999999999999999999999", nullptr, 16), 16);
  EXPECT_EQ(threadsFrom("-99999999999999999999999", nullptr, 16), 1);
  EXPECT_EQ(threadsFrom("1000000", nullptr, 0), 256);
  EXPECT_GE(le::pool::threads(), 1);
  EXPECT_TRUE(le::pool::available());
}

TEST(PoolChunks, PartsAndChunkBounds) {
  using le::pool::chunkOf;
  using le::pool::partsFor;
  EXPECT_EQ(partsFor(10, 1, 4), 4);
  EXPECT_EQ(partsFor(9, 4, 4), 2);
  EXPECT_EQ(partsFor(0, 1, 4), 1);
  EXPECT_EQ(partsFor(7, 4, 4), 1);  // q = 1 does not split
  EXPECT_EQ(partsFor(100, 0, 4), 4);  // grain 0 counts as 1
  EXPECT_EQ(partsFor(100, 1, 1), 1);
  EXPECT_EQ(partsFor(std::numeric_limits<size_t>::max(), 1, 8), 8);

  EXPECT_EQ(chunkOf(10, 4, 0).end, 3u);
  EXPECT_EQ(chunkOf(10, 4, 3).begin, 9u);
  EXPECT_EQ(chunkOf(10, 4, 3).end, 10u);
  // n = 5 in 4 parts: chunk 2, the last chunk [6, 5) is empty.
  EXPECT_EQ(chunkOf(5, 4, 3).begin, chunkOf(5, 4, 3).end);
  // Near SIZE_MAX, ceil(n / parts) must not overflow and chunks still tile.
  const size_t big = std::numeric_limits<size_t>::max();
  size_t covered = 0;
  for (int k = 0; k < 7; ++k) {
    const auto c = chunkOf(big, 7, k);
    EXPECT_EQ(c.begin, covered);
    ASSERT_LE(c.begin, c.end);
    covered = c.end;
  }
  EXPECT_EQ(covered, big);
}

TEST(PoolRun, ChunkingExamplesWithFourThreads) {
  Pool pool(4);
  {
    Recorder r;
    pool.run(10, le::pool::partsFor(10, 1, 4), le::pool::RangeRef(r));
    EXPECT_EQ(r.sorted(), (std::vector<Range>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  }
  {
    // Workers 2 and 3 take part in the generation but make no call.
    Recorder r;
    pool.run(9, le::pool::partsFor(9, 4, 4), le::pool::RangeRef(r));
    EXPECT_EQ(r.sorted(), (std::vector<Range>{{0, 5}, {5, 9}}));
  }
  {
    Recorder r;
    pool.run(0, le::pool::partsFor(0, 1, 4), le::pool::RangeRef(r));
    EXPECT_EQ(r.sorted(), (std::vector<Range>{{0, 0}}));
  }
  // The caller runs chunk 0 itself.
  std::thread::id first;
  auto f = [&](size_t b, size_t) {
    if (b == 0) first = std::this_thread::get_id();
  };
  pool.run(8, 4, le::pool::RangeRef(f));
  EXPECT_EQ(first, std::this_thread::get_id());
}

TEST(PoolRun, ManyGenerationsCoverEveryIndexOnce) {
  Pool pool(3);
  for (size_t n = 2; n < 300; n += 7) {
    std::vector<std::atomic<int>> hits(n);
    auto f = [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
    };
    pool.run(n, 3, le::pool::RangeRef(f));
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
  }
}

TEST(PoolRun, SingleThreadPoolRunsInline) {
  Pool pool(1);
  Recorder r;
  pool.run(10, 4, le::pool::RangeRef(r));
  EXPECT_EQ(r.sorted(), (std::vector<Range>{{0, 10}}));
  EXPECT_EQ(r.threads.count(std::this_thread::get_id()), 1u);
}

TEST(ParallelRange, CoversTheRangeAndSmallRangesStayInline) {
  Recorder small;
  le::pool::parallelRange(5, 4, small);  // q = 1: never touches the pool
  EXPECT_EQ(small.sorted(), (std::vector<Range>{{0, 5}}));

  Recorder empty;
  le::pool::parallelRange(0, 1, empty);
  EXPECT_EQ(empty.sorted(), (std::vector<Range>{{0, 0}}));

  Recorder r;
  le::pool::parallelRange(1000, 10, r);
  const auto calls = r.sorted();
  ASSERT_EQ(static_cast<int>(calls.size()), le::pool::parts(1000, 10));
  size_t next = 0;
  for (const auto& [b, e] : calls) {
    EXPECT_EQ(b, next);
    next = e;
  }
  EXPECT_EQ(next, 1000u);
}

TEST(ParallelRange, NestedCallOnTheCallerRunsInline) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing splits";
  const std::thread::id caller = std::this_thread::get_id();
  std::mutex mu;
  std::vector<Range> inner;
  std::atomic<int> outer{0};
  le::pool::parallelRange(64, 1, [&](size_t, size_t) {
    outer.fetch_add(1);
    if (std::this_thread::get_id() != caller) return;
    le::pool::parallelRange(100, 1, [&](size_t b, size_t e) {
      std::lock_guard<std::mutex> lk(mu);
      inner.emplace_back(b, e);
    });
  });
  EXPECT_EQ(outer.load(), le::pool::parts(64, 1));
  EXPECT_EQ(inner, (std::vector<Range>{{0, 100}}));
}

TEST(ParallelRange, NestedCallOnAWorkerUsesItsOwnPool) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing splits";
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<size_t> innerItems{0};
  std::atomic<int> workerCalls{0};
  le::pool::parallelRange(64, 1, [&](size_t, size_t) {
    if (std::this_thread::get_id() == caller) return;
    workerCalls.fetch_add(1);
    le::pool::parallelRange(100, 1, [&](size_t b, size_t e) { innerItems.fetch_add(e - b); });
  });
  EXPECT_EQ(innerItems.load(), 100u * static_cast<size_t>(workerCalls.load()));
  EXPECT_GE(workerCalls.load(), 1);
}

TEST(ParallelRange, ManyThreadsEachWithItsOwnPool) {
  // Threads come and go, each building and (at exit) joining its own pool.
  for (int round = 0; round < 3; ++round) {
    std::vector<std::thread> ts;
    std::atomic<uint64_t> total{0};
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&, t] {
        for (int k = 0; k < 50; ++k)
          le::pool::parallelRange(200 + t, 1, [&](size_t b, size_t e) {
            uint64_t s = 0;
            for (size_t i = b; i < e; ++i) s += i;
            total.fetch_add(s);
          });
      });
    for (auto& th : ts) th.join();
    uint64_t want = 0;
    for (int t = 0; t < 8; ++t) want += 50ull * (200 + t) * (199 + t) / 2;
    EXPECT_EQ(total.load(), want);
  }
}

TEST(PoolLifetime, DestructionJoinsWorkersAfterUse) {
  // Each pool serves a few generations, including ones where some workers
  // have no chunk, then is torn down with its workers idle.
  for (int i = 0; i < 50; ++i) {
    Pool pool(4);
    std::atomic<int> calls{0};
    auto f = [&](size_t, size_t) { calls.fetch_add(1); };
    pool.run(9, 2, le::pool::RangeRef(f));
    pool.run(40, 4, le::pool::RangeRef(f));
    EXPECT_EQ(calls.load(), 6);
  }
  Pool unused(4);  // never posted to: destruction must not wait for a job
}

TEST(PoolErrors, ThrowingChunkIsRethrownOnTheCaller) {
  Pool pool(4);
  std::atomic<int> finished{0};
  // A worker's chunk throws; the others still run to completion first.
  auto f = [&](size_t b, size_t e) {
    if (b == 3) throw std::runtime_error("chunk 1 failed");
    finished.fetch_add(static_cast<int>(e - b));
  };
  try {
    pool.run(10, 4, le::pool::RangeRef(f));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "chunk 1 failed");
  }
  EXPECT_EQ(finished.load(), 7);

  // The caller's own chunk throwing waits for the workers too.
  std::atomic<int> others{0};
  auto g = [&](size_t b, size_t) {
    if (b == 0) throw 42;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    others.fetch_add(1);
  };
  EXPECT_THROW(pool.run(8, 4, le::pool::RangeRef(g)), int);
  EXPECT_EQ(others.load(), 3);

  // Every chunk throws: exactly one exception comes out and the pool stays usable.
  auto h = [](size_t, size_t) { throw std::logic_error("all"); };
  EXPECT_THROW(pool.run(8, 4, le::pool::RangeRef(h)), std::logic_error);
  Recorder r;
  pool.run(10, 4, le::pool::RangeRef(r));
  EXPECT_EQ(r.calls.size(), 4u);
}

TEST(PoolErrors, ParallelRangeRethrowsAndClearsTheInsideFlag) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing splits";
  EXPECT_THROW(le::pool::parallelRange(100, 1,
                                       [](size_t b, size_t) {
                                         if (b != 0) throw std::runtime_error("x");
                                       }),
               std::runtime_error);
  // After the failure a nested call must split again (the flag was reset):
  // the next top-level call goes through the pool as usual.
  Recorder r;
  le::pool::parallelRange(100, 1, r);
  EXPECT_EQ(static_cast<int>(r.calls.size()), le::pool::parts(100, 1));
}

}  // namespace
