// The batch stream's crop ring and plan: crops arrive in order and intact
// with at most four waiting, a slot being pasted is never overwritten, a
// failure on either side wakes the other, and the driver walk wraps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "le/pipeline/crop_ring.h"
#include "le/pipeline/stream.h"
#include "testkit/testkit.h"

namespace {

using le::stream::CropRing;

// Runs f on a thread and returns once that thread sleeps in the kernel: with
// the ring's lock free, it can only be waiting on the ring's condition.
std::future<void> blockedIn(std::function<void()> f) {
  std::atomic<pid_t> tid{0};
  auto side = std::async(std::launch::async, [&tid, f] { tid = ::gettid(), f(); });
  le::test::untilAsleep(tid);
  return side;
}

// A failure must wake the other side: one still asleep after 5 s is reported
// rather than waited on for ever, then let go by the ring's own notifies.
void expectWoken(std::future<void>& side, CropRing& ring) {
  if (side.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return;
  ADD_FAILURE() << "the failure woke nobody";
  ring.finish(), ring.release(), side.wait();
}

TEST(StreamPlan, DriverIndicesWrapAndClipFramesRoundUp) {
  std::vector<int32_t> got;
  for (int j = 0; j < 7; ++j) got.push_back(le::stream::driverIndex(j, 3));
  EXPECT_EQ(got, (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0}));
  for (int j = 0; j < 5; ++j) EXPECT_EQ(std::make_pair(le::stream::driverIndex(j, 1), le::stream::driverIndex(j, 0)), std::make_pair(0, 0)) << j;
  EXPECT_EQ(le::stream::driverIndex(int64_t{1} << 40, 7), int32_t((int64_t{1} << 40) % 7));
  for (const auto& [samples, frames] : {std::pair{0, 0}, {-3, 0}, {1, 1}, {640, 1}, {641, 2}, {2147483647, 3355444}})
    EXPECT_EQ(le::stream::clipFrames(samples), frames) << samples;
}

TEST(StreamRing, CropsArriveInOrderWithAtMostFourWaiting) {
  constexpr int kN = 200;
  CropRing ring(64);
  std::thread producer([&] {
    for (int i = 0; i < kN; ++i) {
      float* slot = ring.acquire();
      ASSERT_NE(slot, nullptr);
      for (size_t k = 0; k < 64; ++k) slot[k] = float(i);
      ring.publish();
    }
    ring.finish();
  });
  for (int i = 0; i < kN; ++i) {
    const float* crop = ring.next();
    ASSERT_NE(crop, nullptr) << i;
    EXPECT_LE(ring.produced() - ring.consumed(), CropRing::kSlots);
    // The producer gets time to run ahead while this slot is still read: it
    // must not write into it.
    if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (size_t k = 0; k < 64; ++k) ASSERT_EQ(crop[k], float(i)) << "crop " << i << " value " << k;
    ring.release();
  }
  EXPECT_EQ(ring.next(), nullptr);  // finished without another crop
  EXPECT_FALSE(ring.failed());
  producer.join();
}

TEST(StreamRing, FullRingProducerWakesOnConsumerFailure) {
  CropRing ring(8);
  for (int i = 0; i < CropRing::kSlots; ++i) {
    ASSERT_NE(ring.acquire(), nullptr);
    ring.publish();
  }
  float* fifth = reinterpret_cast<float*>(1);
  std::future<void> producer = blockedIn([&] { fifth = ring.acquire(); });
  ring.fail("paste failed");
  expectWoken(producer, ring);
  EXPECT_EQ(fifth, nullptr);
  EXPECT_TRUE(ring.failed());
  EXPECT_EQ(ring.reason(), "paste failed");
  EXPECT_EQ(ring.next(), nullptr);  // crops still waiting are not handed out
}

TEST(StreamRing, WaitingConsumerWakesOnProducerFailureAndKeepsTheFirstReason) {
  CropRing ring(8);
  const float* got = reinterpret_cast<const float*>(1);
  std::future<void> consumer = blockedIn([&] { got = ring.next(); });
  ring.fail("render failed");
  expectWoken(consumer, ring);
  EXPECT_EQ(got, nullptr);
  ring.fail("later");
  EXPECT_EQ(ring.reason(), "render failed");
  EXPECT_EQ(ring.acquire(), nullptr);
}

}  // namespace
