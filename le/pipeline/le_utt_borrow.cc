// The borrow stage: every speech and ramp crop passes the attached borrow one
// frame late. The crop waits (held) until the next push returns its result,
// gets the teeth window written into it and goes the raw path; an idle frame
// first flushes the held crop out. Inline the run thread does this; with
// pipelined paste a borrow thread does, fed by a two-job queue. A failure is
// latched: from then on nothing is delivered until the next attach.
#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "le/pipeline/pipeline.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::utt {

void Pipeline::attachBorrow(std::shared_ptr<Borrow> borrow, std::string geometry) {
  if (!borrow) throw std::runtime_error("no borrow to attach");
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shutdown_) throw std::runtime_error("the pipeline is shutting down");
    // Started under the lock, so concurrent attaches start one thread; it
    // blocks on this lock until the borrow is installed.
    if (pipelined_ && !borrowThread_.joinable()) {
      try {
        borrowThread_ = std::thread([this] { borrowBody(); });
        pool::nameThread(borrowThread_, "le-borrow");
      } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot start the borrow thread: ") + e.what());
      }
      times_.pipe = true;
    }
    borrow_ = std::move(borrow);
    ++borrowEpoch_;
    borrowFailed_ = false;
    borrowOk_ = borrowFailures_ = 0;
    borrowMsg_.clear();
    borrowGeometry_ = std::move(geometry);
    poke_ = true;
  }
  cv_.notify_all();
}

BorrowStats Pipeline::borrowStats() {
  std::lock_guard<std::mutex> lock(mu_);
  BorrowStats s;
  s.state = !borrow_ ? 0 : borrowFailed_ ? -1 : 1;
  s.ok = borrowOk_;
  s.failures = borrowFailures_;
  s.message = borrowMsg_;
  return s;
}

bool Pipeline::borrowGeometry(std::string* text) {
  std::lock_guard<std::mutex> lock(mu_);
  *text = borrow_ ? borrowGeometry_ : std::string();
  return borrow_ != nullptr;
}

bool Pipeline::borrowFor(std::shared_ptr<Borrow>* b, uint64_t* epoch, bool* refused) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!borrow_) return false;
  *b = borrow_;
  *epoch = borrowEpoch_;
  *refused = borrowFailed_;
  return true;
}

bool Pipeline::queueBorrow(PasteJob job, uint64_t epoch) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t gen = job.generation;
    while (!cv_.wait_for(lock, kStep, [&] {
      return borrowQ_.size() < kBorrowQueue || shutdown_ || gen_ != gen || borrowFailed_;
    })) {
    }
    if (shutdown_ || gen_ != gen || borrowFailed_) return false;
    borrowQ_.push_back(BorrowJob{std::move(job), epoch});
  }
  borrowCv_.notify_all();
  return true;
}

void Pipeline::borrowBody() noexcept {
  for (;;) {
    BorrowJob bj;
    std::shared_ptr<Borrow> b;
    {
      std::unique_lock<std::mutex> lock(mu_);
      borrowCv_.wait(lock, [&] { return borrowStop_ || !borrowQ_.empty(); });
      if (borrowStop_) return;
      bj = std::move(borrowQ_.front());
      borrowQ_.pop_front();
      poke_ = true;
      // Jobs of an earlier attach, of an old generation or behind a failure
      // are dropped.
      if (bj.epoch == borrowEpoch_ && bj.job.generation == gen_ && !borrowFailed_) b = borrow_;
    }
    cv_.notify_all();  // room in the borrow queue
    if (!b) continue;
    const double t0 = nowMs();
    try {
      if (bj.job.generation != cursor_.gen) {
        forgetHeld();
        cursor_.gen = bj.job.generation;
      }
      borrowStep(std::move(bj.job), b, bj.epoch);
    } catch (const std::exception& e) {
      latchBorrow(textOf(e));
    } catch (...) {
      latchBorrow("unknown failure");
    }
    std::lock_guard<std::mutex> lock(mu_);
    times_.bTotal += nowMs() - t0;
    ++times_.jobsB;
  }
}

bool Pipeline::borrowStep(PasteJob job, const std::shared_ptr<Borrow>& b, uint64_t epoch) {
  if (epoch != cursor_.epoch || b != cursor_.borrow) switchEpoch(b, epoch);
  if (cursor_.failed) return false;
  if (!job.hasCrop) {
    if (cursor_.holding && !releaseHeld()) return false;
    return deliverBorrowed(std::move(job));
  }
  tessera::FrameResult r;
  bool got = false;
  try {
    got = b->push(job.crop.data(), job.kp.data(), &r);
  } catch (const std::exception& e) {
    return latchBorrow("push: " + textOf(e));
  } catch (...) {
    return latchBorrow("push: unknown failure");
  }
  if (cursor_.holding) {
    if (!got)
      return latchBorrow(
          "push: the pass returned no frame while a crop was held \xe2\x80\x94 refusing to deliver it "
          "uncomposed");
    if (!writeHeld(*b, r)) return false;
  }
  // A result with nothing held belongs to a crop already dropped (stale).
  cursor_.held = std::move(job);
  cursor_.holding = true;
  return true;
}

// The crop the previous borrow holds is finished by it (unless it failed);
// the new borrow starts with nothing held.
void Pipeline::switchEpoch(const std::shared_ptr<Borrow>& b, uint64_t epoch) {
  if (cursor_.holding && !cursor_.failed && cursor_.borrow) {
    try {
      tessera::FrameResult r;
      if (cursor_.borrow->flush(&r)) {
        cursor_.borrow->writeBack(cursor_.held.crop.data(), r);
        deliverBorrowed(std::move(cursor_.held));
      }
    } catch (const std::exception& e) {
      log::linef(log::Level::Warning, "[borrow] the replaced borrow could not finish its last crop: %s",
                 textOf(e).c_str());
    } catch (...) {
    }
  }
  cursor_.borrow = b;
  cursor_.epoch = epoch;
  cursor_.failed = false;
  cursor_.holding = false;
  cursor_.held = PasteJob{};
}

void Pipeline::forgetHeld() {
  if (!cursor_.borrow || cursor_.failed) {
    cursor_.holding = false;
    return;
  }
  if (cursor_.holding) {
    cursor_.holding = false;
    cursor_.held = PasteJob{};
    // The pass's pending frame is the dropped crop: emptied so the next push
    // does not return its result.
    tessera::FrameResult r;
    try {
      cursor_.borrow->flush(&r);
    } catch (const std::exception& e) {
      latchBorrow("flush: " + textOf(e));
    } catch (...) {
      latchBorrow("flush: unknown failure");
    }
  }
}

bool Pipeline::releaseHeld() {
  tessera::FrameResult r;
  bool got = false;
  try {
    got = cursor_.borrow->flush(&r);
  } catch (const std::exception& e) {
    return latchBorrow("flush: " + textOf(e));
  } catch (...) {
    return latchBorrow("flush: unknown failure");
  }
  if (!got)
    return latchBorrow(
        "flush: the pass held no pending frame while a crop was held \xe2\x80\x94 refusing to deliver it "
        "uncomposed");
  return writeHeld(*cursor_.borrow, r);
}

// The held crop gets its window and goes out; a failed write-back latches.
bool Pipeline::writeHeld(Borrow& b, const tessera::FrameResult& r) {
  try {
    b.writeBack(cursor_.held.crop.data(), r);
  } catch (const std::exception& e) {
    return latchBorrow("write-back: " + textOf(e));
  } catch (...) {
    return latchBorrow("write-back: unknown failure");
  }
  countBorrowOk();
  PasteJob out = std::move(cursor_.held);
  cursor_.holding = false;
  deliverBorrowed(std::move(out));
  return true;
}

bool Pipeline::deliverBorrowed(PasteJob job) {
  return pipelined_ ? rawPath(std::move(job), kBorrowPasteQueue) : rawPath(std::move(job));
}

// Latches the failure of the cursor's borrow (a replaced borrow's failure is
// not the new one's) and drops the held crop: it is never shown uncomposed.
bool Pipeline::latchBorrow(const std::string& msg) {
  cursor_.failed = true;
  cursor_.holding = false;
  cursor_.held = PasteJob{};
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (cursor_.epoch == borrowEpoch_) {
      borrowFailed_ = true;
      borrowMsg_ = msg;
      ++borrowFailures_;
      borrowQ_.clear();
    }
  }
  log::linef(log::Level::Error, "[borrow] FAILED, delivery stops until a new attach: %s", msg.c_str());
  cv_.notify_all();
  return false;
}

void Pipeline::countBorrowOk() {
  std::lock_guard<std::mutex> lock(mu_);
  if (cursor_.epoch == borrowEpoch_) ++borrowOk_;
}

}  // namespace le::utt
