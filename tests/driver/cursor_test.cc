// DriverCursor over a scripted in-memory source: order across the loop point,
// history and look-ahead jumps, hard seeks, the epoch rule, failures, size
// caps and shutdown while the producer waits or decodes. Its ring mapping:
// slot layout, size refusals, ownership moves, and that the kernel sees the
// ring as eligible for transparent huge pages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "le/driver/cursor.h"
#include "le/driver/ring_memory.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::errorOf;
constexpr int kW = 4, kH = 2;
constexpr size_t kBytes = size_t(kW) * kH * 3;

// Frame f: its index in the first four bytes, then bytes that differ per frame
// and per position, so a torn or stale buffer is caught.
uint8_t patternByte(int f, size_t k) { return uint8_t(f * 31 + int(k) * 7 + 1); }

::testing::AssertionResult holdsFrame(const uint8_t* p, int f) {
  int32_t v = 0;
  std::memcpy(&v, p, 4);
  for (size_t k = 4; k < kBytes && v == f; ++k)
    if (p[k] != patternByte(f, k)) return ::testing::AssertionFailure() << "frame " << f << " differs at byte " << k;
  if (v != f) return ::testing::AssertionFailure() << "buffer holds frame " << v << ", not " << f;
  return ::testing::AssertionSuccess();
}

// Shared between the test and the source the cursor owns. next() at source
// position blockAt, and seek() to blockSeekTo, wait until released.
struct Probe {
  std::mutex m;
  std::condition_variable cv;
  int nexts = 0, rewinds = 0, blockAt = -1, blockSeekTo = -1;
  bool destroyed = false, blocked = false, released = false, seekBlocked = false, seekReleased = false;
  std::vector<int> seekTargets;
  template <class F>
  auto locked(F f) { std::lock_guard lk(m); return f(); }
  bool waitFor(bool& flag) { return waitUntil([&] { return flag; }); }
  bool waitNexts(int n) { return waitUntil([&] { return nexts >= n; }); }
  template <class P>
  bool waitUntil(P pred) { std::unique_lock lk(m); return cv.wait_for(lk, std::chrono::seconds(20), pred); }
  void set(bool& flag) { std::lock_guard lk(m); flag = true; cv.notify_all(); }
};

struct Script {
  int NT = 20;
  int frames = -1;          // frames the member really holds; -1: NT
  int failAt = -1;          // next() at this position throws
  bool failSeek = false;
  uint64_t frameBytes = 0;  // 0: W x H x 3
};

class ScriptedSource : public driver::Source {
 public:
  ScriptedSource(Script s, std::shared_ptr<Probe> p) : s_(s), p_(std::move(p)) {}
  ~ScriptedSource() override { p_->locked([&] { return p_->destroyed = true; }); }
  int NT() const override { return s_.NT; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  uint64_t frameBytes() const override { return s_.frameBytes ? s_.frameBytes : driver::Source::frameBytes(); }
  bool next(uint8_t* dst) override {
    {
      std::unique_lock lk(p_->m);
      ++p_->nexts;
      if (pos_ == p_->blockAt) p_->blocked = true;
      p_->cv.notify_all();
      if (pos_ == p_->blockAt) p_->cv.wait(lk, [&] { return p_->released; });
    }
    // A bare text; the seek failure below carries the family prefix as the
    // real sources' messages do: either way the cursor writes it once.
    if (pos_ == s_.failAt) throw std::runtime_error("decode fault at " + std::to_string(pos_));
    if (pos_ >= (s_.frames < 0 ? s_.NT : s_.frames)) return false;
    std::memcpy(dst, &pos_, 4);
    for (size_t k = 4; k < kBytes; ++k) dst[k] = patternByte(pos_, k);
    ++pos_;
    return true;
  }
  void rewind() override { p_->locked([&] { return ++p_->rewinds; }); pos_ = 0; }
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
  int32_t pos_ = 0;
};

std::unique_ptr<DriverCursor> cursor(Script s, const std::shared_ptr<Probe>& p, int lookAhead = 2, int history = 11) {
  return DriverCursor::over(std::make_unique<ScriptedSource>(s, p), lookAhead, history);
}

TEST(DriverCursorOrder, PullsLoopAndEveryPullFormAgrees) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5}, p);
  EXPECT_EQ(std::make_tuple(c->NT(), c->frameBytes(), c->sourceName()), std::make_tuple(5, kBytes, std::string("scripted")));
  std::vector<uint8_t> buf(kBytes);
  for (int k = 0; k < 5 + 3; ++k) {
    int idx = -1;
    const uint8_t* f = k % 3 == 0 ? (idx = c->pull(buf.data()), buf.data()) : k % 3 == 1 ? c->pull(&idx) : c->pullMut(&idx);
    EXPECT_EQ(idx, k % 5);
    EXPECT_TRUE(holdsFrame(f, k % 5));
  }
  EXPECT_EQ(c->position(), 3);
  c->seek(1);
  EXPECT_EQ(c->position(), 1);
  EXPECT_EQ(c->pull(buf.data()), 1);
  EXPECT_EQ(p->locked([&] { return std::make_pair(p->rewinds, p->seekTargets.size()); }), std::make_pair(1, size_t(0)));
  EXPECT_EQ(c->seeks(), 0);  // frame 1 is still in the window
}

// {look-ahead, history, frames pulled first, target, mutable take of it first,
// hard seeks}: history serves jumps back up to `history` behind the last
// taken frame, the look-ahead jumps forward; anything else is one hard seek.
TEST(DriverCursorJumps, HistoryLookAheadAndHardSeeks) {
  struct Case { int lookAhead, history, before, target; bool mutFirst; int seeks; };
  const Case cases[] = {
      {2, 11, 20, 8, false, 0},   // read index 20: history reaches back to 20 - 1 - 11 = 8
      {2, 11, 20, 7, false, 1},   // one further: a hard seek
      {2, 11, 20, 19, false, 0},  // the frame just taken
      {2, 11, 1, 60, false, 1},   // far ahead
      {2, 0, 2, 0, false, 1},     // no history: frame 0 after frame 1
      {2, 11, 7, 7, true, 1},     // a frame handed out for modification is never served again
      {2, 11, 8, 5, true, 1},     // ... nor anything before it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "after " << c.before << " to " << c.target << " history " << c.history);
    auto p = std::make_shared<Probe>();
    auto cur = cursor({.NT = 100}, p, c.lookAhead, c.history);
    int idx = -1;
    for (int k = 0; k < c.before; ++k) cur->pull(&idx);
    if (c.mutFirst) std::memset(cur->pullMutAt(7, &idx), 0xEE, kBytes);
    std::vector<uint8_t> buf(kBytes);
    EXPECT_EQ(cur->pullAt(c.target, buf.data()), c.target);
    EXPECT_TRUE(holdsFrame(buf.data(), c.target));
    EXPECT_EQ(cur->seeks(), c.seeks);
    EXPECT_EQ(int(p->locked([&] { return p->seekTargets.size(); })), c.seeks);
    EXPECT_TRUE(holdsFrame(cur->pull(&idx), c.target + 1));
    EXPECT_EQ(cur->seeks(), c.seeks);
  }
  auto p = std::make_shared<Probe>();  // forward inside the look-ahead
  auto c = cursor({.NT = 50}, p, 4, 2);
  int idx = -1;
  c->pull(&idx);
  ASSERT_TRUE(p->waitNexts(5));  // the fifth next() starts once frames 0 ... 3 are published
  EXPECT_TRUE(holdsFrame(c->pullAt(3, &idx), 3));
  EXPECT_EQ(c->seeks(), 0);
}

TEST(DriverCursorJumps, FramesDecodedAcrossAHardSeek) {
  // The frame being decoded is the target: no seek. Another target: the
  // frame is dropped and the seek serves the target.
  for (const auto& [target, seeks] : {std::pair{2, 0}, {30, 1}}) {
    auto p = std::make_shared<Probe>();
    p->blockAt = 2;
    auto c = cursor({.NT = 50}, p, 3, 4);
    int idx = -1;
    c->pull(&idx);
    ASSERT_TRUE(p->waitFor(p->blocked));
    c->seek(target);
    p->set(p->released);
    EXPECT_TRUE(holdsFrame(c->pullAt(target, &idx), target));
    EXPECT_TRUE(holdsFrame(c->pull(&idx), target + 1));
    EXPECT_EQ(c->seeks(), seeks);
  }
  // A dropped frame's slot is not found by a later jump back into the window:
  // frame 21 is decoded into slot 21 mod 14, the slot of index 7.
  auto p = std::make_shared<Probe>();
  p->blockAt = 21;
  p->blockSeekTo = 90;
  auto c = cursor({.NT = 100}, p, 2, 11);
  int idx = -1;
  for (int k = 0; k < 20; ++k) c->pull(&idx);
  ASSERT_TRUE(p->waitFor(p->blocked));
  c->seek(90);
  p->set(p->released);
  ASSERT_TRUE(p->waitFor(p->seekBlocked));
  c->seek(9);
  c->seek(7);
  p->set(p->seekReleased);
  EXPECT_TRUE(holdsFrame(c->pull(&idx), 7));
  EXPECT_EQ(c->seeks(), 2);
}

TEST(DriverCursorErrors, BadArgumentsAreHarmlessAndSourceFailuresPermanent) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 5}, p);
  int idx = -1;
  for (int si : {5, -1, INT_MAX})
    EXPECT_EQ(errorOf([&] { c->pullAt(si, &idx); }), "le_driver: seek(" + std::to_string(si) + ") outside [0,5)");
  for (const std::string& e : {errorOf([&] { c->pull(static_cast<uint8_t*>(nullptr)); }),
                               errorOf([&] { c->pullAt(2, static_cast<uint8_t*>(nullptr)); })})
    EXPECT_EQ(e, "le_driver: pull into a null buffer");
  EXPECT_TRUE(holdsFrame(c->pull(&idx), 0));  // nothing was consumed
  EXPECT_EQ(c->seeks(), 0);
  // {script, pulls that succeed at least, message}
  const std::string shortDriver =
      "le_driver: scripted ended after 3 frames, the manifest says NT=5 — a short driver is a session that stops "
      "part way through the loop, refusing";
  const std::tuple<Script, int, std::string> failures[] = {
      {{.NT = 20, .failAt = 3}, 2, "le_driver: decode fault at 3"},
      {{.NT = 5, .frames = 3}, 2, shortDriver},
      {{.NT = 50, .failSeek = true}, 1, "le_driver: seek failed: no index in this member"}};
  for (const auto& [script, good, msg] : failures) {
    auto f = cursor(script, std::make_shared<Probe>());
    std::string first;
    int pulled = 0;
    for (; pulled < 10 && first.empty(); ++pulled) {
      first = errorOf([&] { script.failSeek && pulled == 1 ? f->pullAt(40, &idx) : f->pull(&idx); });
      if (first == "(no error)") {
        first.clear();
        EXPECT_EQ(idx, script.failSeek ? 0 : pulled);
      }
    }
    EXPECT_GT(pulled, good) << msg;
    EXPECT_EQ(first, msg);
    std::vector<uint8_t> buf(kBytes);
    for (const std::string& again : {errorOf([&] { f->pull(buf.data()); }), errorOf([&] { f->pullAt(0, buf.data()); }),
                                     errorOf([&] { f->seek(1); }), errorOf([&] { f->pullMut(&idx); })})
      EXPECT_EQ(again, msg);
  }
}

TEST(DriverCursorSizes, SlotAndByteCountsAreCapped) {
  auto p = std::make_shared<Probe>();
  const std::pair<std::string, std::string> refusals[] = {
      {errorOf([&] { cursor({}, p, INT_MAX, INT_MAX); }),
       "le_driver: look-ahead 2147483647 and history 2147483647 need 4294967295 frame buffers, more than the 1024 a "
       "cursor allows — refusing"},
      {errorOf([&] { cursor({}, p, 1000, 100); }),
       "le_driver: look-ahead 1000 and history 100 need 1101 frame buffers, more than the 1024 a cursor allows — "
       "refusing"},
      {errorOf([&] { cursor({.frameBytes = (uint64_t{16} << 30) / 14 + 1}, p, 2, 11); }),  // one byte over
       "le_driver: 14 frame buffers of 1227133514 bytes exceed the ring limit of 17179869184 bytes — refusing"},
      {errorOf([&] { cursor({.frameBytes = ~uint64_t{0}}, p, 1, 0); }),
       "le_driver: 2 frame buffers of 18446744073709551615 bytes exceed the ring limit of 17179869184 bytes — "
       "refusing"},
      {errorOf([&] { cursor({.NT = 0}, p); }),
       "le_driver: scripted reports 0 frames of 4x2 (24 bytes) — refusing an empty driver"}};
  for (const auto& [got, want] : refusals) EXPECT_EQ(got, want);
  EXPECT_EQ(errorOf([] { DriverCursor::over(nullptr, 2, 11); }), "le_driver: cursor over no source");
  EXPECT_TRUE(p->locked([&] { return p->destroyed; }));  // refused cursors released their source
  // Ring plus the source; look-ahead at least 1, history at least 0.
  for (const auto& [la, h, slots] : {std::tuple{2, 11, 14}, {0, -7, 2}, {1023, 0, 1024}})
    EXPECT_EQ(cursor({}, p, la, h)->residentBytes(), int64_t(size_t(slots) * kBytes + 1000)) << la << " " << h;
}

TEST(DriverCursorShutdown, DestroyWhileTheProducerWaitsOrDecodes) {
  auto waiting = std::make_shared<Probe>();
  {
    auto c = cursor({.NT = 50}, waiting, 2, 1);
    int idx = -1;
    c->pull(&idx);
    ASSERT_TRUE(waiting->waitNexts(3));  // look-ahead full: the producer waits for demand
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(waiting->locked([&] { return waiting->nexts; }), 3);  // and decodes no frame past it
  }
  EXPECT_TRUE(waiting->locked([&] { return waiting->destroyed; }));
  auto p = std::make_shared<Probe>();
  p->blockAt = 1;
  auto c = cursor({.NT = 50}, p, 2, 1);
  ASSERT_TRUE(p->waitFor(p->blocked));
  std::atomic<pid_t> tid{0};
  std::thread destroyer([&] { tid = ::gettid(), c.reset(); });
  const std::string asleep = errorOf([&] { test::untilAsleep(tid); });  // blocked by the decode in flight
  EXPECT_FALSE(p->locked([&] { return p->destroyed; })) << "destroyer asleep: " << asleep;
  p->set(p->released);
  destroyer.join();
  EXPECT_EQ(p->locked([&] { return std::make_pair(p->destroyed, p->nexts); }), std::make_pair(true, 2));
}

TEST(DriverCursorThreads, SharedCursorSerialisesCalls) {
  auto p = std::make_shared<Probe>();
  auto c = cursor({.NT = 40}, p, 2, 6);
  auto worker = [&](int salt) {
    std::vector<uint8_t> buf(kBytes);
    for (int k = 0; k < 200; ++k) {
      const int si = (k * 7 + salt) % 40;
      const int got = k % 3 == 0 ? c->pullAt(si, buf.data()) : c->pull(buf.data());
      EXPECT_TRUE(k % 3 != 0 || got == si) << got << " for " << si;
      EXPECT_TRUE(holdsFrame(buf.data(), got));
      (void)c->position(), (void)c->residentBytes();
    }
  };
  std::thread a(worker, 1), b(worker, 13);
  a.join();
  b.join();
  EXPECT_GT(c->seeks(), 0);
}


using driver::RingMemory;

TEST(RingMemory, SlotsAreAlignedDisjointAndHoldTheirBytes) {
  // An odd slot size: the stride rounds up, the contents must not.
  const size_t slots = 5, bytes = 1920 * 1080 * 3 + 7;
  RingMemory r(slots, bytes);
  ASSERT_EQ(r.slots(), slots);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r.slot(0)) % RingMemory::kHugePage, 0u);
  for (size_t s = 0; s < slots; ++s) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.slot(s)) % RingMemory::kSlotAlign, 0u) << s;
    EXPECT_TRUE(s == 0 || size_t(r.slot(s) - r.slot(s - 1)) >= bytes) << s;
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
  EXPECT_EQ(std::make_pair(a.slots(), b.slot(1)), std::make_pair(size_t(0), p));
  RingMemory c(1, 64);
  c = std::move(b);  // c's own mapping is released, b's taken over
  EXPECT_EQ(std::make_pair(b.slots(), c.slot(1)[4095]), std::make_pair(size_t(0), uint8_t(9)));
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

TEST(RingMemory, TheKernelMayBackTheRingWithHugePages) {
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string m;
  std::getline(mode, m);
  if (m.find("[always]") == std::string::npos && m.find("[madvise]") == std::string::npos)
    GTEST_SKIP() << "transparent huge pages are off here: " << m;
  RingMemory r(3, 6 << 20);
  r.slot(0)[0] = 1;
  // The THPeligible line of the smaps record whose range holds the ring.
  std::ifstream in("/proc/self/smaps");
  const auto at = reinterpret_cast<uintptr_t>(r.slot(0));
  bool inside = false, found = false;
  int eligible = -1;
  for (std::string line; std::getline(in, line);) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) found |= inside = at >= lo && at < hi;
    else if (inside && line.rfind("THPeligible:", 0) == 0) eligible = std::atoi(line.c_str() + 12);
  }
  ASSERT_TRUE(found) << "no smaps record for the ring";
  if (eligible < 0) GTEST_SKIP() << "this kernel's smaps has no THPeligible line";
  EXPECT_EQ(eligible, 1);
}

}  // namespace
}  // namespace le
