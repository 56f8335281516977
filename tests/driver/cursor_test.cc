// DriverCursor over a scripted in-memory source: ordering across the loop
// point, history and look-ahead jumps, hard seeks, the epoch rule, failures,
// size caps and shutdown while the producer waits or decodes.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "le/driver/cursor.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

constexpr int kW = 4;
constexpr int kH = 2;
constexpr size_t kBytes = size_t(kW) * kH * 3;

// Frame f: its index in the first four bytes, then a pattern that differs per
// frame and per byte, so a torn or stale buffer is caught.
uint8_t patternByte(int f, size_t k) { return uint8_t(f * 31 + int(k) * 7 + 1); }

void paint(uint8_t* dst, int f) {
  const int32_t v = f;
  std::memcpy(dst, &v, 4);
  for (size_t k = 4; k < kBytes; ++k) dst[k] = patternByte(f, k);
}

::testing::AssertionResult holdsFrame(const uint8_t* p, int f) {
  int32_t v = 0;
  std::memcpy(&v, p, 4);
  if (v != f) return ::testing::AssertionFailure() << "buffer holds frame " << v << ", not " << f;
  for (size_t k = 4; k < kBytes; ++k)
    if (p[k] != patternByte(f, k))
      return ::testing::AssertionFailure() << "frame " << f << " differs at byte " << k;
  return ::testing::AssertionSuccess();
}

// Shared between the test and the source the cursor owns.
struct Probe {
  std::mutex m;
  std::condition_variable cv;
  int nexts = 0;
  int rewinds = 0;
  std::vector<int> seekTargets;
  bool destroyed = false;
  // next() of this source position blocks until released.
  int blockAt = -1;
  bool blocked = false;
  bool released = false;
  // seek() to this frame blocks until seekReleased.
  int blockSeekTo = -1;
  bool seekBlocked = false;
  bool seekReleased = false;

  int nextCalls() {
    std::lock_guard lk(m);
    return nexts;
  }
  int rewindCalls() {
    std::lock_guard lk(m);
    return rewinds;
  }
  bool isDestroyed() {
    std::lock_guard lk(m);
    return destroyed;
  }
  std::vector<int> seeks() {
    std::lock_guard lk(m);
    return seekTargets;
  }
  bool waitNexts(int n) {
    std::unique_lock lk(m);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return nexts >= n; });
  }
  bool waitBlocked() {
    std::unique_lock lk(m);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return blocked; });
  }
  void release() {
    std::lock_guard lk(m);
    released = true;
    cv.notify_all();
  }
  bool waitSeekBlocked() {
    std::unique_lock lk(m);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return seekBlocked; });
  }
  void releaseSeek() {
    std::lock_guard lk(m);
    seekReleased = true;
    cv.notify_all();
  }
};

struct Script {
  int NT = 20;
  int frames = -1;         // frames the member really holds; -1: NT
  int failAt = -1;         // next() of this position throws
  bool failSeek = false;
  uint64_t frameBytes = 0; // 0: W x H x 3
};

class ScriptedSource : public driver::Source {
 public:
  ScriptedSource(Script s, std::shared_ptr<Probe> p) : s_(s), p_(std::move(p)) {}
  ~ScriptedSource() override {
    std::lock_guard lk(p_->m);
    p_->destroyed = true;
  }
  int NT() const override { return s_.NT; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  uint64_t frameBytes() const override {
    return s_.frameBytes ? s_.frameBytes : driver::Source::frameBytes();
  }
  bool next(uint8_t* dst) override {
    {
      std::unique_lock lk(p_->m);
      p_->nexts += 1;
      p_->cv.notify_all();
      if (pos_ == p_->blockAt) {
        p_->blocked = true;
        p_->cv.notify_all();
        p_->cv.wait(lk, [&] { return p_->released; });
      }
    }
    // Bare text here; the seek failure below carries the family prefix as the
    // real sources' messages do: either way the cursor writes it once.
    if (pos_ == s_.failAt) throw std::runtime_error("decode fault at " + std::to_string(pos_));
    if (pos_ >= (s_.frames < 0 ? s_.NT : s_.frames)) return false;
    paint(dst, pos_);
    pos_ += 1;
    return true;
  }
  void rewind() override {
    std::lock_guard lk(p_->m);
    p_->rewinds += 1;
    pos_ = 0;
  }
  void seek(int i) override {
    {
      std::unique_lock lk(p_->m);
      p_->seekTargets.push_back(i);
      if (i == p_->blockSeekTo) {
        p_->seekBlocked = true;
        p_->cv.notify_all();
        p_->cv.wait(lk, [&] { return p_->seekReleased; });
      }
    }
    if (s_.failSeek) throw std::runtime_error("le_driver: no index in this member");
    pos_ = i;
  }
  std::string name() const override { return "scripted"; }
  int64_t residentBytes() const override { return 1000; }

 private:
  Script s_;
  std::shared_ptr<Probe> p_;
  int pos_ = 0;
};

std::unique_ptr<DriverCursor> cursor(Script s, const std::shared_ptr<Probe>& p, int lookAhead = 2,
                                     int history = 11) {
  return DriverCursor::over(std::make_unique<ScriptedSource>(s, p), lookAhead, history);
}

TEST(DriverCursorOrder, PullsLoopPastTheLastFrame) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5}, p);
  EXPECT_EQ(c->NT(), 5);
  EXPECT_EQ(c->frameBytes(), kBytes);
  EXPECT_EQ(c->sourceName(), "scripted");
  std::vector<int> got;
  std::vector<uint8_t> buf(kBytes);
  for (int k = 0; k < 5 + 3; ++k) {
    if (k % 2 == 0) {
      got.push_back(c->pull(buf.data()));
      EXPECT_TRUE(holdsFrame(buf.data(), got.back()));
    } else {
      int idx = -1;
      const uint8_t* f = c->pull(&idx);
      got.push_back(idx);
      EXPECT_TRUE(holdsFrame(f, idx));
    }
  }
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2}));
  EXPECT_EQ(c->position(), 3);
  EXPECT_EQ(c->seeks(), 0);
  EXPECT_TRUE(p->seeks().empty());
  EXPECT_EQ(p->rewindCalls(), 1);
}

TEST(DriverCursorOrder, PositionWrapsAndSeekSetsTheNextFrame) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 4}, p);
  int idx = -1;
  for (int k = 0; k < 4; ++k) c->pull(&idx);
  EXPECT_EQ(idx, 3);
  EXPECT_EQ(c->position(), 0);
  c->seek(2);
  EXPECT_EQ(c->position(), 2);
  c->pull(&idx);
  EXPECT_EQ(idx, 2);
}

TEST(DriverCursorJumps, ShortBackwardJumpIsServedFromHistory) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 50}, p, 2, 11);
  int idx = -1;
  for (int k = 0; k < 20; ++k) c->pull(&idx);
  // Read index 20: history reaches back to index 20 - 1 - 11 = 8.
  const uint8_t* f = c->pullAt(8, &idx);
  EXPECT_EQ(idx, 8);
  EXPECT_TRUE(holdsFrame(f, 8));
  std::vector<uint8_t> buf(kBytes);
  EXPECT_EQ(c->pull(buf.data()), 9);
  EXPECT_TRUE(holdsFrame(buf.data(), 9));
  EXPECT_EQ(c->pullAt(9, buf.data()), 9);  // the frame just taken
  EXPECT_EQ(c->seeks(), 0);
  EXPECT_TRUE(p->seeks().empty());
}

TEST(DriverCursorJumps, JumpBeyondHistoryIsOneHardSeek) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 50}, p, 2, 11);
  int idx = -1;
  for (int k = 0; k < 20; ++k) c->pull(&idx);
  EXPECT_TRUE(holdsFrame(c->pullAt(7, &idx), 7));
  EXPECT_EQ(c->seeks(), 1);
  EXPECT_EQ(p->seeks(), std::vector<int>{7});
  c->pull(&idx);
  EXPECT_EQ(idx, 8);
}

TEST(DriverCursorJumps, ForwardJumpInsideTheLookAheadCostsNoSeek) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 50}, p, 4, 2);
  int idx = -1;
  c->pull(&idx);
  // The fifth next() starts only after frames 0..3 are published.
  ASSERT_TRUE(p->waitNexts(5));
  EXPECT_TRUE(holdsFrame(c->pullAt(3, &idx), 3));
  c->pull(&idx);
  EXPECT_EQ(idx, 4);
  EXPECT_EQ(c->seeks(), 0);
  EXPECT_TRUE(p->seeks().empty());
}

TEST(DriverCursorJumps, JumpToTheFrameBeingDecodedCostsNoSeek) {
  auto p = std::make_shared<Probe>();
  p->blockAt = 2;
  auto c = cursor({.NT = 50}, p, 2, 0);
  int idx = -1;
  c->pull(&idx);
  ASSERT_TRUE(p->waitBlocked());  // frame 1 buffered, frame 2 in next()
  c->seek(2);
  p->release();
  EXPECT_TRUE(holdsFrame(c->pull(&idx), 2));
  c->pull(&idx);
  EXPECT_EQ(idx, 3);
  EXPECT_EQ(c->seeks(), 0);
  EXPECT_TRUE(p->seeks().empty());
}

TEST(DriverCursorJumps, FarJumpSeeksOnceAndContinuesFromThere) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 100}, p);
  std::vector<uint8_t> buf(kBytes);
  EXPECT_EQ(c->pull(buf.data()), 0);
  EXPECT_EQ(c->pullAt(60, buf.data()), 60);
  EXPECT_TRUE(holdsFrame(buf.data(), 60));
  EXPECT_EQ(c->seeks(), 1);
  EXPECT_EQ(c->pull(buf.data()), 61);
  EXPECT_EQ(c->pull(buf.data()), 62);
  EXPECT_TRUE(holdsFrame(buf.data(), 62));
  EXPECT_EQ(c->seeks(), 1);
  EXPECT_EQ(p->seeks(), std::vector<int>{60});
  EXPECT_EQ(c->position(), 63);
}

TEST(DriverCursorJumps, MutablePullIsNeverServedAgain) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 50}, p, 2, 11);
  int idx = -1;
  for (int k = 0; k < 7; ++k) c->pull(&idx);
  uint8_t* m = c->pullMutAt(7, &idx);
  EXPECT_EQ(idx, 7);
  std::memset(m, 0xEE, kBytes);
  const uint8_t* again = c->pullAt(7, &idx);
  EXPECT_TRUE(holdsFrame(again, 7));
  EXPECT_EQ(c->seeks(), 1);
  // Frames before the mutable take are no longer history either.
  c->pullAt(5, &idx);
  EXPECT_EQ(c->seeks(), 2);
  uint8_t* n = c->pullMut(&idx);
  EXPECT_EQ(idx, 6);
  EXPECT_TRUE(holdsFrame(n, 6));
}

TEST(DriverCursorJumps, FrameDecodedAcrossAHardSeekIsDropped) {
  auto p = std::make_shared<Probe>();
  p->blockAt = 2;
  auto c = cursor({.NT = 50}, p, 3, 4);
  int idx = -1;
  c->pull(&idx);
  ASSERT_TRUE(p->waitBlocked());  // producer is inside next() for frame 2
  c->seek(30);
  p->release();
  const uint8_t* f = c->pullAt(30, &idx);
  EXPECT_TRUE(holdsFrame(f, 30));
  EXPECT_EQ(c->seeks(), 1);
  c->pull(&idx);
  EXPECT_EQ(idx, 31);
}

TEST(DriverCursorJumps, DroppedFrameInvalidatesItsSlot) {
  auto p = std::make_shared<Probe>();
  p->blockAt = 21;
  p->blockSeekTo = 90;
  auto c = cursor({.NT = 100}, p, 2, 11);
  int idx = -1;
  for (int k = 0; k < 20; ++k) c->pull(&idx);
  // Frame 21 is being decoded into slot 21 mod 14, the slot of index 7.
  ASSERT_TRUE(p->waitBlocked());
  c->seek(90);
  p->release();
  ASSERT_TRUE(p->waitSeekBlocked());  // frame 21 dropped, nothing republished
  c->seek(9);                         // history: read index back to 9
  c->seek(7);                         // index 7's slot now holds frame 21
  p->releaseSeek();
  const uint8_t* f = c->pull(&idx);
  EXPECT_EQ(idx, 7);
  EXPECT_TRUE(holdsFrame(f, 7));
  EXPECT_EQ(c->seeks(), 2);
}

TEST(DriverCursorErrors, SeekOutsideTheDriverIsRefusedAndHarmless) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5}, p);
  EXPECT_EQ(errorOf([&] { c->seek(5); }), "le_driver: seek(5) outside [0,5)");
  EXPECT_EQ(errorOf([&] { c->seek(-1); }), "le_driver: seek(-1) outside [0,5)");
  int idx = -1;
  EXPECT_EQ(errorOf([&] { c->pullAt(INT_MAX, &idx); }), "le_driver: seek(2147483647) outside [0,5)");
  c->pull(&idx);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(c->seeks(), 0);
}

TEST(DriverCursorErrors, MidStreamFailureIsPermanent) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 20, .failAt = 3}, p);
  int idx = -1;
  // Frame 3 is decoded only once frame 1 has been taken.
  c->pull(&idx);
  EXPECT_EQ(idx, 0);
  c->pull(&idx);
  EXPECT_EQ(idx, 1);
  const std::string want = "le_driver: decode fault at 3";
  std::string first;
  for (int k = 0; k < 3 && first.empty(); ++k) {
    try {
      c->pull(&idx);
      EXPECT_EQ(idx, 2);
    } catch (const std::exception& e) {
      first = e.what();
    }
  }
  EXPECT_EQ(first, want);
  std::vector<uint8_t> buf(kBytes);
  EXPECT_EQ(errorOf([&] { c->pull(buf.data()); }), want);
  EXPECT_EQ(errorOf([&] { c->pullAt(0, buf.data()); }), want);
  EXPECT_EQ(errorOf([&] { c->seek(1); }), want);
  EXPECT_EQ(errorOf([&] { c->pullMut(&idx); }), want);
}

TEST(DriverCursorErrors, FailedSourceSeekIsRecorded) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 50, .failSeek = true}, p);
  int idx = -1;
  c->pull(&idx);
  const std::string want = "le_driver: seek failed: no index in this member";
  EXPECT_EQ(errorOf([&] { c->pullAt(40, &idx); }), want);
  EXPECT_EQ(errorOf([&] { c->pull(&idx); }), want);
}

TEST(DriverCursorErrors, ShortDriverIsRefusedAfterItsLastFrame) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5, .frames = 3}, p);
  std::vector<int> got;
  std::string err;
  for (int k = 0; k < 6 && err.empty(); ++k) {
    try {
      int idx = -1;
      c->pull(&idx);
      got.push_back(idx);
    } catch (const std::exception& e) {
      err = e.what();
    }
  }
  ASSERT_GE(got.size(), 2u);
  for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], int(k));
  EXPECT_LE(got.size(), 3u);
  EXPECT_EQ(err,
            "le_driver: scripted ended after 3 frames, the manifest says NT=5 — a short driver "
            "is a session that stops part way through the loop, refusing");
}

TEST(DriverCursorErrors, PullIntoNullBufferDoesNotConsume) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5}, p);
  EXPECT_THROW(c->pull(static_cast<uint8_t*>(nullptr)), std::invalid_argument);
  EXPECT_THROW(c->pullAt(2, static_cast<uint8_t*>(nullptr)), std::invalid_argument);
  int idx = -1;
  c->pull(&idx);
  EXPECT_EQ(idx, 0);
}

TEST(DriverCursorSizes, SlotAndByteCountsAreCapped) {
  auto p = std::make_shared<Probe>();
  EXPECT_EQ(errorOf([&] { cursor({}, p, INT_MAX, INT_MAX); }),
            "le_driver: look-ahead 2147483647 and history 2147483647 need 4294967295 frame "
            "buffers, more than the 1024 a cursor allows — refusing");
  EXPECT_EQ(errorOf([&] { cursor({}, p, 1000, 100); }),
            "le_driver: look-ahead 1000 and history 100 need 1101 frame buffers, more than the "
            "1024 a cursor allows — refusing");
  EXPECT_EQ(errorOf([&] { cursor({.frameBytes = uint64_t{1} << 40}, p, 2, 11); }),
            "le_driver: 14 frame buffers of 1099511627776 bytes exceed the ring limit of "
            "17179869184 bytes — refusing");
  EXPECT_EQ(errorOf([&] { cursor({.frameBytes = ~uint64_t{0}}, p, 1, 0); }),
            "le_driver: 2 frame buffers of 18446744073709551615 bytes exceed the ring limit of "
            "17179869184 bytes — refusing");
  EXPECT_EQ(errorOf([&] { cursor({.NT = 0}, p); }),
            "le_driver: scripted reports 0 frames of 4x2 (24 bytes) — refusing an empty driver");
  EXPECT_THROW(DriverCursor::over(nullptr, 2, 11), std::invalid_argument);
  // Every refused cursor released its source.
  EXPECT_TRUE(p->isDestroyed());
}

TEST(DriverCursorSizes, ResidentBytesCountTheRingAndTheSource) {
  auto p = std::make_shared<Probe>();
  EXPECT_EQ(cursor({}, p, 2, 11)->residentBytes(), int64_t(14 * kBytes + 1000));
  // Look-ahead is at least 1 and history at least 0.
  EXPECT_EQ(cursor({}, p, 0, -7)->residentBytes(), int64_t(2 * kBytes + 1000));
  EXPECT_EQ(cursor({}, p, 1024 - 1, 0)->residentBytes(), int64_t(1024 * kBytes + 1000));
}

TEST(DriverCursorShutdown, DestroyWhileTheProducerWaits) {
  auto p = std::make_shared<Probe>();
  {
    auto c = cursor({.NT = 50}, p, 2, 1);
    int idx = -1;
    c->pull(&idx);
    ASSERT_TRUE(p->waitNexts(3));  // look-ahead full: producer waits for demand
  }
  EXPECT_TRUE(p->isDestroyed());
  auto untouched = std::make_shared<Probe>();
  cursor({}, untouched).reset();
  EXPECT_TRUE(untouched->isDestroyed());
}

TEST(DriverCursorShutdown, DestroyWhileTheProducerDecodes) {
  auto p = std::make_shared<Probe>();
  p->blockAt = 1;
  auto c = cursor({.NT = 50}, p, 2, 1);
  ASSERT_TRUE(p->waitBlocked());
  std::thread destroyer([&] { c.reset(); });
  // The destructor must wait for the decode in flight, then stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(p->isDestroyed());
  p->release();
  destroyer.join();
  EXPECT_TRUE(p->isDestroyed());
  EXPECT_EQ(p->nextCalls(), 2);
}

TEST(DriverCursorThreads, SharedCursorSerialisesCalls) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 40}, p, 2, 6);
  auto worker = [&](int salt) {
    std::vector<uint8_t> buf(kBytes);
    for (int k = 0; k < 200; ++k) {
      const int si = (k * 7 + salt) % 40;
      if (k % 3 == 0) {
        EXPECT_EQ(c->pullAt(si, buf.data()), si);
        EXPECT_TRUE(holdsFrame(buf.data(), si));
      } else {
        const int got = c->pull(buf.data());
        EXPECT_TRUE(holdsFrame(buf.data(), got));
      }
      (void)c->position();
      (void)c->residentBytes();
    }
  };
  std::thread a(worker, 1);
  std::thread b(worker, 13);
  a.join();
  b.join();
  EXPECT_GT(c->seeks(), 0);
}

}  // namespace
}  // namespace le
