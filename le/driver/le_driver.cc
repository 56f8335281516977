// The driver cursor: ring, producer thread, history window and seeks.
//
// Ring index i (a count of published frames) lives in slot i mod slots. The
// consumer's read index `consumed` may move back into the history window or
// forward into the look-ahead; the producer only writes index `produced`, and
// only while produced - consumed < lookAhead, so a slot is rewritten at the
// earliest lookAhead + history + 1 read positions after it was handed out.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "le/driver/cursor.h"
#include "le/driver/ring_memory.h"

namespace le {

struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> src, int lookAheadReq, int historyReq);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void start() { thread = std::thread([this] { producerMain(); }); }
  void producerMain() noexcept;
  void produceLoop();
  void fail(const char* prefix, const char* what) noexcept;
  [[noreturn]] void throwStored() const;

  void seekTo(int si);
  int currentPosition();
  uint8_t* take(bool keep, int* idx);

  std::unique_ptr<driver::Source> source;
  int32_t NT = 0, W = 0, H = 0;
  uint64_t frameBytes = 0;
  int32_t lookAhead = 1;
  int32_t history = 0;
  int32_t slots = 2;
  driver::RingMemory ring;
  std::vector<int32_t> slotFrame;

  std::mutex m;
  std::condition_variable demand;
  std::condition_variable ready;
  uint64_t consumed = 0;
  uint64_t produced = 0;
  uint64_t keepFloor = 0;
  bool producing = false;
  int32_t nextFrame = 0;
  int32_t position = 0;
  int32_t srcPos = 0;  // touched by the producer only
  int32_t pendingSeek = -1;
  uint64_t epoch = 0;
  bool stop = false;
  bool failed = false;
  std::string error;
  uint64_t seeks = 0;
  // The source is not thread-safe: the producer samples its resident bytes
  // after every call so that residentBytes() never touches the source.
  int64_t sourceResident = 0;
  std::string sourceName;
  std::thread thread;
};

namespace {

std::string num(int64_t v) { return std::to_string(v); }
std::string unum(uint64_t v) { return std::to_string(v); }

}  // namespace

DriverCursor::Impl::Impl(std::unique_ptr<driver::Source> src, int lookAheadReq, int historyReq)
    : source(std::move(src)) {
  if (!source) throw std::invalid_argument("le_driver: cursor over no source");
  NT = source->NT();
  W = source->W();
  H = source->H();
  frameBytes = source->frameBytes();
  sourceName = source->name();
  // Modulo by NT and frame-sized copies below rely on these.
  if (NT < 1 || W < 1 || H < 1 || frameBytes < 1)
    throw std::runtime_error("le_driver: " + sourceName + " reports " + num(NT) + " frames of " +
                             num(W) + "x" + num(H) + " (" + unum(frameBytes) +
                             " bytes) — refusing an empty driver");
  const int64_t la = std::max<int64_t>(lookAheadReq, 1);
  const int64_t hs = std::max<int64_t>(historyReq, 0);
  const int64_t n = la + hs + 1;
  if (n > kMaxSlots)
    throw std::runtime_error("le_driver: look-ahead " + num(la) + " and history " + num(hs) +
                             " need " + num(n) + " frame buffers, more than the " +
                             num(kMaxSlots) + " a cursor allows — refusing");
  if (frameBytes > kMaxRingBytes / uint64_t(n))
    throw std::runtime_error("le_driver: " + num(n) + " frame buffers of " + unum(frameBytes) +
                             " bytes exceed the ring limit of " + unum(kMaxRingBytes) +
                             " bytes — refusing");
  lookAhead = int32_t(la);
  history = int32_t(hs);
  slots = int32_t(n);
  try {
    ring = driver::RingMemory(size_t(slots), size_t(frameBytes));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("le_driver: cannot allocate " + num(slots) + " frame buffers of " +
                             unum(frameBytes) + " bytes");
  }
  slotFrame.assign(size_t(slots), -1);
  sourceResident = source->residentBytes();
}

DriverCursor::Impl::~Impl() {
  {
    std::lock_guard lk(m);
    stop = true;
  }
  demand.notify_all();
  ready.notify_all();
  if (thread.joinable()) thread.join();
}

void DriverCursor::Impl::fail(const char* prefix, const char* what) noexcept {
  std::lock_guard lk(m);
  producing = false;
  if (!failed) {
    failed = true;
    // Source messages carry the family's own "le_driver: " already; it is
    // written once, in front of the whole text.
    const std::string_view own = "le_driver: ";
    std::string_view w = what;
    if (w.substr(0, own.size()) == own) w.remove_prefix(own.size());
    try {
      error = std::string(prefix) + std::string(w);
    } catch (...) {
      error.clear();  // throwStored() has a fixed text for this
    }
  }
  ready.notify_all();
}

void DriverCursor::Impl::throwStored() const {
  if (error.empty()) throw std::runtime_error("le_driver: the frame source failed");
  throw std::runtime_error(error);
}

void DriverCursor::Impl::producerMain() noexcept {
  try {
    produceLoop();
  } catch (const std::exception& e) {
    fail("le_driver: ", e.what());
  } catch (...) {
    fail("le_driver: ", "unknown failure in the frame source");
  }
}

void DriverCursor::Impl::produceLoop() {
  std::unique_lock lk(m);
  for (;;) {
    demand.wait(lk, [&] {
      return stop || pendingSeek >= 0 || produced - consumed < uint64_t(lookAhead);
    });
    if (stop) return;

    if (pendingSeek >= 0) {
      const int32_t target = pendingSeek;
      nextFrame = target;
      pendingSeek = -1;
      lk.unlock();
      try {
        source->seek(target);
      } catch (const std::exception& e) {
        fail("le_driver: seek failed: ", e.what());
        return;
      }
      const int64_t res = source->residentBytes();
      lk.lock();
      srcPos = target;
      sourceResident = res;
      continue;
    }

    producing = true;
    const int32_t id = nextFrame;
    const uint64_t slot = produced % uint64_t(slots);
    const uint64_t ep = epoch;
    lk.unlock();

    if (srcPos == NT) {
      source->rewind();  // the driver loops
      srcPos = 0;
    }
    if (!source->next(ring.slot(slot)))
      throw std::runtime_error(sourceName + " ended after " + num(srcPos) +
                               " frames, the manifest says NT=" + num(NT) +
                               " — a short driver is a session that stops part way through "
                               "the loop, refusing");
    srcPos += 1;
    const int64_t res = source->residentBytes();

    lk.lock();
    producing = false;
    sourceResident = res;
    // A hard seek posted during the decode makes this frame invisible. Its
    // pixels replaced what the slot held, so the slot's old index must not be
    // found by a later jump back into the window.
    if (epoch == ep) {
      slotFrame[slot] = id;
      produced += 1;
      nextFrame = (id + 1) % NT;
      ready.notify_all();
    } else {
      slotFrame[slot] = -1;
    }
  }
}

int DriverCursor::Impl::currentPosition() {
  std::lock_guard lk(m);
  return position;
}

void DriverCursor::Impl::seekTo(int si) {
  if (si < 0 || si >= NT)
    throw std::runtime_error("le_driver: seek(" + num(si) + ") outside [0," + num(NT) + ")");
  std::lock_guard lk(m);
  if (failed) throwStored();
  position = si;

  const int32_t nextTaken = produced > consumed ? slotFrame[consumed % uint64_t(slots)]
                            : pendingSeek >= 0  ? pendingSeek
                                                : nextFrame;
  if (nextTaken == si) return;

  if (pendingSeek < 0) {
    uint64_t lo = keepFloor;
    // While producing, index produced - slots shares the slot being written.
    if (produced >= uint64_t(slots))
      lo = std::max(lo, produced - uint64_t(slots) + (producing ? 1 : 0));
    if (consumed > uint64_t(history) + 1) lo = std::max(lo, consumed - 1 - uint64_t(history));
    for (uint64_t i = lo; i < produced; ++i) {
      if (slotFrame[i % uint64_t(slots)] == si) {
        consumed = i;
        demand.notify_one();
        return;
      }
    }
    if (nextFrame == si) {
      consumed = produced;
      demand.notify_one();
      return;
    }
  }

  consumed = produced;
  pendingSeek = si;
  epoch += 1;
  seeks += 1;
  demand.notify_one();
}

uint8_t* DriverCursor::Impl::take(bool keep, int* idx) {
  std::unique_lock lk(m);
  ready.wait(lk, [&] { return failed || stop || produced > consumed; });
  if (failed) throwStored();
  if (stop) throw std::runtime_error("le_driver: cursor is shutting down");
  const uint64_t i = consumed;
  consumed += 1;
  if (keep) keepFloor = i + 1;
  demand.notify_one();
  const uint64_t slot = i % uint64_t(slots);
  const int32_t id = slotFrame[slot];
  position = (id + 1) % NT;
  *idx = id;
  return ring.slot(slot);
}

// ---------------------------------------------------------------------------

DriverCursor::DriverCursor(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)),
      NT_(impl_->NT),
      W_(impl_->W),
      H_(impl_->H),
      name_(impl_->sourceName) {}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source,
                                                 int lookAhead, int history) {
  auto impl = std::make_unique<Impl>(std::move(source), lookAhead, history);
  impl->start();
  // From here on a throw destroys impl, which stops and joins the producer.
  return std::unique_ptr<DriverCursor>(new DriverCursor(std::move(impl)));
}

uint64_t DriverCursor::frameBytes() const { return impl_->frameBytes; }

namespace {

std::runtime_error mismatch(int idx, int si) {
  return std::runtime_error("le_driver: cursor yielded frame " + std::to_string(idx) +
                            " for si=" + std::to_string(si));
}

}  // namespace

int DriverCursor::pull(uint8_t* dst) {
  std::lock_guard lk(call_);
  if (!dst) throw std::invalid_argument("le_driver: pull into a null buffer");
  impl_->seekTo(impl_->currentPosition());
  int idx = -1;
  const uint8_t* p = impl_->take(false, &idx);
  std::memcpy(dst, p, size_t(impl_->frameBytes));
  return idx;
}

const uint8_t* DriverCursor::pull(int* idx) {
  std::lock_guard lk(call_);
  impl_->seekTo(impl_->currentPosition());
  int got = -1;
  const uint8_t* p = impl_->take(false, &got);
  if (idx) *idx = got;
  return p;
}

uint8_t* DriverCursor::pullMut(int* idx) {
  std::lock_guard lk(call_);
  impl_->seekTo(impl_->currentPosition());
  int got = -1;
  uint8_t* p = impl_->take(true, &got);
  if (idx) *idx = got;
  return p;
}

int DriverCursor::pullAt(int si, uint8_t* dst) {
  std::lock_guard lk(call_);
  if (!dst) throw std::invalid_argument("le_driver: pull into a null buffer");
  impl_->seekTo(si);
  int idx = -1;
  const uint8_t* p = impl_->take(false, &idx);
  if (idx != si) throw mismatch(idx, si);
  std::memcpy(dst, p, size_t(impl_->frameBytes));
  return idx;
}

const uint8_t* DriverCursor::pullAt(int si, int* idx) {
  std::lock_guard lk(call_);
  impl_->seekTo(si);
  int got = -1;
  const uint8_t* p = impl_->take(false, &got);
  if (got != si) throw mismatch(got, si);
  if (idx) *idx = got;
  return p;
}

uint8_t* DriverCursor::pullMutAt(int si, int* idx) {
  std::lock_guard lk(call_);
  impl_->seekTo(si);
  int got = -1;
  uint8_t* p = impl_->take(true, &got);
  if (got != si) throw mismatch(got, si);
  if (idx) *idx = got;
  return p;
}

void DriverCursor::seek(int si) {
  std::lock_guard lk(call_);
  impl_->seekTo(si);
}

int DriverCursor::position() const {
  std::lock_guard lk(call_);
  return impl_->currentPosition();
}

int64_t DriverCursor::seeks() const {
  std::lock_guard lk(call_);
  std::lock_guard st(impl_->m);
  return int64_t(impl_->seeks);
}

int64_t DriverCursor::residentBytes() const {
  std::lock_guard lk(call_);
  std::lock_guard st(impl_->m);
  return int64_t(uint64_t(impl_->slots) * impl_->frameBytes) + impl_->sourceResident;
}

}  // namespace le
