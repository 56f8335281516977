// The fp16 engine's parts that need no model and no vector target: block
// widths, the packing refusal, the private pool.
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "le/render/conv_engine.h"
#include "testkit/testkit.h"

namespace {

using le::conv::Act;
using le::test::errorOf;

TEST(ConvPack, BlockWidthsCoverTheChannelsInVectorMultiples) {
  const std::tuple<int, int, std::vector<int32_t>> cases[] = {  // {channels, lanes, blocks}
      {96, 8, {32, 32, 32}},  {144, 8, {32, 32, 32, 32, 16}}, {22, 8, {24}},     {22, 16, {32}},
      {1, 4, {8}},            {1, 16, {16}},                   {3, 8, {8}},       {12, 8, {16}},
      {24, 16, {32}},         {48, 8, {32, 16}},               {33, 1, {32, 8}},  {192, 16, {32, 32, 32, 32, 32, 32}}};
  for (const auto& [co, lanes, blocks] : cases) EXPECT_EQ(le::conv::blockWidths(co, lanes), blocks) << co << " channels, " << lanes << " lanes";
}

TEST(ConvPack, RefusesWrongCountsWithTheLayerMessage) {
  for (const auto& [w, b] : {std::pair<size_t, size_t>{96 * 96 * 9 - 1, 96}, {96 * 96 * 9, 95}, {0, 0}})
    EXPECT_EQ(errorOf([&] { le::conv::packConv("s.e0.conv", std::vector<float>(w), std::vector<float>(b), 96, 96, 96, 3, Act::kRelu, 8); }),
              "le_conv: layer s.e0.conv needs 82944 weights / 96 bias but the graph supplies " + std::to_string(w) + " / " +
                  std::to_string(b) + " — refusing to pack (graph is not the m4b this kernel implements)");
}

// ---- the private pool --------------------------------------------------------------------

TEST(ConvPool, EveryJobRunsOnceOnEveryWorkerCount) {
  for (const int threads : {1, 2, 3}) {
    le::conv::Pool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    for (const size_t jobs : {size_t{0}, size_t{1}, size_t{5}, size_t{64}}) {
      std::vector<std::atomic<int>> runs(jobs);
      std::atomic<int> badWorker{0};
      pool.run(jobs, [&](size_t j, int32_t w) {
        runs[j].fetch_add(1);
        if (w < 0 || w >= threads) badWorker.fetch_add(1);
      });
      for (size_t j = 0; j < jobs; ++j) EXPECT_EQ(runs[j].load(), 1) << threads << " threads, job " << j;
      EXPECT_EQ(badWorker.load(), 0);
    }
  }
}

// The caller's job (worker 0) throws once the other worker's job runs; that
// one is held until run returns or 300 ms pass, so a run that returned early
// lets it end after.
TEST(ConvPool, AThrowingJobIsRethrownAfterEveryRunningJobEnded) {
  auto pool = std::make_unique<le::conv::Pool>(2);
  std::mutex mu;
  std::condition_variable cv;
  bool started = false, returned = false, endedAfterReturn = false;
  const std::string got = errorOf([&] {
    pool->run(2, [&](size_t, int32_t worker) {
      std::unique_lock<std::mutex> lk(mu);
      if (worker == 0) {
        cv.wait(lk, [&] { return started; });
        throw std::runtime_error("the caller's job failed");
      }
      started = true;
      cv.notify_all();
      cv.wait_for(lk, std::chrono::milliseconds(300), [&] { return returned; });
      endedAfterReturn = returned;
    });
  });
  {
    std::lock_guard<std::mutex> lk(mu);
    returned = true;
  }
  cv.notify_all();
  EXPECT_EQ(got, "the caller's job failed");
  std::atomic<int> n{0};  // the pool stays usable
  pool->run(4, [&](size_t, int32_t) { n.fetch_add(1); });
  EXPECT_EQ(n.load(), 4);
  pool.reset();  // joins the worker: a held job has ended either way
  EXPECT_FALSE(endedAfterReturn);
}

TEST(ConvPool, AFailedThreadStartJoinsTheStartedOnes) {
  int started = 0;
  std::atomic<int> served{0};
  auto spawn = [&](std::function<void()> body) {
    if (++started == 3) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([body = std::move(body), &served] {
      served.fetch_add(1);
      body();
    });
  };
  const std::string got = errorOf([&] { le::conv::Pool pool(4, spawn); });
  EXPECT_EQ(got.rfind("le_conv: cannot start a worker thread: ", 0), 0u) << got;
  EXPECT_EQ(started, 3);
  EXPECT_EQ(served.load(), 2);  // both started threads ran and were joined
}

}  // namespace
