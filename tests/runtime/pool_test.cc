// Worker pool: the thread-count rule, chunking, the inline rules, per-thread
// pools and their teardown, and exceptions thrown by chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "le/runtime/le_pool.h"
#include "testkit/testkit.h"

namespace {

using le::pool::Pool;
using Range = std::pair<size_t, size_t>;

// Every call, sorted, and whether the caller made the first one.
struct Recorder {
  std::mutex mu;
  std::vector<Range> calls;
  std::thread::id firstBy;
  void operator()(size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    calls.emplace_back(b, e);
    if (b == 0) firstBy = std::this_thread::get_id();
  }
  std::vector<Range> sorted() { std::sort(calls.begin(), calls.end()); return calls; }
};

TEST(PoolThreads, EnvironmentRule) {
  struct Case { const char *core, *paste; unsigned hardware; int want; };
  const Case cases[] = {
      {nullptr, nullptr, 8, 4}, {nullptr, nullptr, 2, 2}, {nullptr, nullptr, 0, 4},  // 0: unknown cores
      {"1", nullptr, 8, 1},     {"0", nullptr, 8, 1},     {"-3", nullptr, 8, 1},
      {"64", nullptr, 8, 8},    {"6", "2", 8, 6},         {"", "3", 8, 3},
      {nullptr, "0", 8, 1},     {"many", "3", 8, 3},      {"2x", nullptr, 8, 4},
      {" 2", nullptr, 8, 4},    {"1000000", nullptr, 0, 256},  // the hard ceiling
      {"99999999999999999999999", nullptr, 16, 16}, {"-99999999999999999999999", nullptr, 16, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(le::pool::threadsFrom(c.core, c.paste, c.hardware), c.want)
        << (c.core ? c.core : "unset") << " / " << (c.paste ? c.paste : "unset") << " / " << c.hardware;
}

TEST(PoolChunks, PartsAndChunkBounds) {
  const size_t big = std::numeric_limits<size_t>::max();
  struct Parts { size_t n, grain; int threads, want; };
  for (const Parts& p : {Parts{10, 1, 4, 4}, {9, 4, 4, 2}, {0, 1, 4, 1}, {7, 4, 4, 1}, {100, 0, 4, 4},
                         {100, 1, 1, 1}, {big, 1, 8, 8}})
    EXPECT_EQ(le::pool::partsFor(p.n, p.grain, p.threads), p.want) << p.n << "/" << p.grain;
  // Chunks tile [0, n) in order, ceil(n / parts) long, the last shorter or
  // empty, without overflow near SIZE_MAX.
  for (const size_t n : {size_t(0), size_t(1), size_t(5), size_t(10), size_t(97), big - 3, big}) {
    for (int parts = 1; parts <= 9; ++parts) {
      const size_t chunk = n / size_t(parts) + (n % size_t(parts) != 0);
      size_t covered = 0;
      for (int k = 0; k < parts; ++k) {
        const auto c = le::pool::chunkOf(n, parts, k);
        ASSERT_EQ(c.begin, std::min(covered, n)) << n << " " << parts << " " << k;
        ASSERT_EQ(c.end - c.begin, std::min(chunk, n - c.begin)) << n << " " << parts << " " << k;
        covered = c.end;
      }
      ASSERT_EQ(covered, n) << n << " " << parts;
    }
  }
}

TEST(PoolRun, ChunksOfTheDocumentedExamples) {
  Pool pool(4), single(1);
  const struct {
    Pool* pool;
    size_t n;
    int parts;
    std::vector<Range> want;
  } cases[] = {{&pool, 10, 4, {{0, 3}, {3, 6}, {6, 9}, {9, 10}}},
               {&pool, 9, 2, {{0, 5}, {5, 9}}},  // workers 2 and 3 take part but make no call
               {&pool, 0, 1, {{0, 0}}},
               {&pool, 10, 9, {{0, 3}, {3, 6}, {6, 9}, {9, 10}}},  // parts clamped to the pool
               {&single, 10, 4, {{0, 10}}}};
  for (const auto& c : cases) {
    Recorder r;
    c.pool->run(c.n, c.parts, le::pool::RangeRef(r));
    EXPECT_EQ(r.sorted(), c.want) << c.n;
    EXPECT_EQ(r.firstBy, std::this_thread::get_id());  // the caller runs chunk 0
  }
}

TEST(PoolRun, EveryIndexExactlyOnceOverManyGenerations) {
  for (int size : {2, 3, 4}) {
    Pool pool(size);
    for (size_t n = 1; n < 300; n += 7) {
      std::vector<std::atomic<int>> hits(n);
      auto f = [&](size_t b, size_t e) { for (size_t i = b; i < e; ++i) hits[i].fetch_add(1, std::memory_order_relaxed); };
      pool.run(n, size, le::pool::RangeRef(f));
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << size << " " << n << " " << i;
    }
  }
  Pool unused(4);  // never posted to: destruction must not wait for a job
}

TEST(ParallelRange, NestedCallsRunInlineOnTheCallerAndSplitOnAWorker) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing splits";
  const std::thread::id caller = std::this_thread::get_id();
  std::mutex mu;
  std::vector<Range> inner;
  std::atomic<size_t> workerItems{0};
  std::atomic<int> workerCalls{0};
  le::pool::parallelRange(64, 1, [&](size_t, size_t) {
    if (std::this_thread::get_id() == caller) {
      le::pool::parallelRange(100, 1, [&](size_t b, size_t e) {
        std::lock_guard<std::mutex> lk(mu);
        inner.emplace_back(b, e);
      });
    } else {
      ++workerCalls;  // a worker is another thread: its own pool splits
      le::pool::parallelRange(100, 1, [&](size_t b, size_t e) { workerItems += e - b; });
    }
  });
  EXPECT_EQ(inner, (std::vector<Range>{{0, 100}}));
  // Chunk k runs on thread k, so every chunk past the first is a worker's.
  EXPECT_EQ(workerCalls.load(), le::pool::parts(64, 1) - 1);
  EXPECT_EQ(workerItems.load(), 100u * size_t(workerCalls.load()));
}

TEST(ParallelRange, ThreadsComeAndGoEachWithItsOwnPool) {
  for (int round = 0; round < 3; ++round) {
    std::vector<std::thread> ts;
    std::atomic<uint64_t> total{0};
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&, t] {
        for (int k = 0; k < 50; ++k)
          le::pool::parallelRange(200 + t, 1, [&](size_t b, size_t e) {
            for (size_t i = b; i < e; ++i) total += i;
          });
      });
    for (auto& th : ts) th.join();
    uint64_t want = 0;
    for (int t = 0; t < 8; ++t) want += 50ull * (200 + t) * (199 + t) / 2;
    EXPECT_EQ(total.load(), want);
  }
}

TEST(PoolErrors, TheFirstExceptionReachesTheCallerAfterEveryChunk) {
  Pool pool(4);
  std::atomic<int> finished{0};
  auto workerThrows = [&](size_t b, size_t e) {
    if (b == 3) throw std::runtime_error("chunk 1 failed");
    finished += int(e - b);
  };
  EXPECT_EQ(le::test::errorOf([&] { pool.run(10, 4, le::pool::RangeRef(workerThrows)); }), "chunk 1 failed");
  EXPECT_EQ(finished.load(), 7);
  std::atomic<int> others{0};
  auto callerThrows = [&](size_t b, size_t) {
    if (b == 0) throw 42;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++others;
  };
  EXPECT_THROW(pool.run(8, 4, le::pool::RangeRef(callerThrows)), int);
  EXPECT_EQ(others.load(), 3);  // the workers still referenced the job
  auto all = [](size_t, size_t) { throw std::logic_error("all"); };
  EXPECT_THROW(pool.run(8, 4, le::pool::RangeRef(all)), std::logic_error);
  Recorder r;
  pool.run(10, 4, le::pool::RangeRef(r));
  EXPECT_EQ(r.calls.size(), 4u);
  if (le::pool::threads() < 2) return;
  // parallelRange clears its inside flag on the way out: the next call splits.
  EXPECT_THROW(le::pool::parallelRange(100, 1, [](size_t b, size_t) { if (b) throw std::runtime_error("x"); }),
               std::runtime_error);
  Recorder after;
  le::pool::parallelRange(100, 1, after);
  EXPECT_EQ(int(after.calls.size()), le::pool::parts(100, 1));
}

}  // namespace
