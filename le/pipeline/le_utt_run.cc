// The run thread: takes audio and marks from the host, talks to the dispatch
// thread through the mailbox, renders speech and ramp frames and produces idle
// frames. Only this thread touches the run-thread fields of the pipeline.
#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "le/pipeline/pipeline.h"
#include "le/pipeline/ramp.h"

namespace le::utt {

void Pipeline::runBody() noexcept {
  for (;;) {
    bool worked = false;
    try {
      worked = runPass();
    } catch (const std::exception& e) {
      noteFailure("run", textOf(e), true);
    } catch (...) {
      noteFailure("run", "unknown failure", true);
    }
    std::unique_lock<std::mutex> lock(mu_);
    if (shutdown_) return;
    // Idle passes sleep until a host call, a response or a free slot pokes
    // the thread, or for one step (the silence gap is a clock, not an event).
    if (!worked) cv_.wait_for(lock, kStep, [&] { return poke_ || shutdown_; });
    poke_ = false;
  }
}

bool Pipeline::runPass() {
  const PassInput in = takeHostInput();
  if (in.stop) return false;
  bool worked = false;
  if (in.interrupted) {
    serveInterrupt(in.lp);
    worked = true;
  }
  if (in.startUtt) {
    startUtterance();
    worked = true;
  }
  bool active;
  bool finishWanted;
  {
    std::lock_guard<std::mutex> lock(mu_);
    active = uttActive_;
    finishWanted = finishDecided_;
  }
  worked = collectResponse(active) || worked;
  const BatchView b = batchView();
  worked = requestMore(in.engineReady, active, finishWanted, b) || worked;
  worked = renderPending(active, b) || worked;
  worked = closeWhenDone() || worked;
  return rampOrIdle() || worked;
}

Pipeline::PassInput Pipeline::takeHostInput() {
  PassInput in;
  std::lock_guard<std::mutex> lock(mu_);
  if (shutdown_) {
    in.stop = true;
    return in;
  }
  in.engineReady = engine_ != nullptr;
  if (gen_ != servedGen_) {
    servedGen_ = gen_;
    in.interrupted = true;
    in.lp = lastPulled_;
    uttActive_ = false;
    finishDecided_ = false;
  }
  // No input is taken while easing back: it waits for the next utterance.
  // Audio waits until the engine is installed so idle frames keep flowing.
  const bool accept =
      !in.interrupted && !rampActive_ && !(uttActive_ && finishDecided_) && in.engineReady;
  // A mark at the head with no utterance left to end (it closed on its own
  // after an engine failure) ends nothing; kept, it would hold back all audio.
  while (!uttActive_ && !ends_.empty() && ends_.front().at == 0) ends_.pop_front();
  // Audio up to the first end mark belongs to the running utterance (or
  // starts one); what was pushed after the mark waits for the next.
  const size_t upTo = ends_.empty() ? audio_.size() : std::min(ends_.front().at, audio_.size());
  if (accept && upTo > 0) {
    if (!uttActive_) {
      uttActive_ = true;
      in.startUtt = true;
      uttStartMs_ = nextStartMs_;
      if (state_ == 0) state_ = 1;
    }
    if (newAudio_.empty() && upTo == audio_.size()) {
      newAudio_.swap(audio_);
    } else {
      newAudio_.insert(newAudio_.end(), audio_.begin(), audio_.begin() + std::ptrdiff_t(upTo));
      audio_.erase(audio_.begin(), audio_.begin() + std::ptrdiff_t(upTo));
    }
    for (EndMark& m : ends_) m.at -= upTo;
  }
  if (accept && uttActive_ && !finishDecided_) {
    const bool marked = !ends_.empty() && ends_.front().at == 0;
    const bool gapOver =
        settings_.gapMs >= 0 && audio_.empty() && nowMs() - lastPushMs_ >= settings_.gapMs;
    if (marked || gapOver) finishDecided_ = true;
    if (marked) {
      if (!audio_.empty()) nextStartMs_ = ends_.front().nextStartMs;
      ends_.pop_front();
    }
  }
  return in;
}

void Pipeline::serveInterrupt(const LastPulled& lp) {
  // Inline, the held crop is this thread's to drop; pipelined, the borrow
  // thread drops it when it meets the new generation (one caller of the borrow).
  if (!pipelined_) forgetHeld();
  dropBatch();
  newAudio_.clear();
  resetNext_ = false;
  finishPosted_ = finishDelivered_ = engineDead_ = false;
  rampActive_ = false;
  haveLastSpeech_ = false;
  if (lp.has && lp.kind != kIdle && !stages_.xsTarget.empty()) {
    startRamp(lp.driverIndex, lp.kp.data(), settings_.interruptRampFrames);
  } else {
    if (lp.has) idleCursor_ = wrap(int64_t(lp.driverIndex) + 1);
    setState(0);
  }
}

void Pipeline::startUtterance() {
  ++uttSerial_;
  dropBatch();
  resetNext_ = true;
  resetStart_ = idleCursor_;
  finishPosted_ = finishDelivered_ = engineDead_ = false;
  received_ = 0;
  total_ = -1;
  engineAvail_ = 0;
  speechNo_ = 0;
  haveLastSpeech_ = false;
}

// A completed response of this generation and utterance fills the batch; a
// stale one only frees the mailbox.
bool Pipeline::collectResponse(bool active) {
  Response resp;
  if (!mailbox_.take(resp)) return false;
  if (resp.generation != servedGen_ || resp.utterance != uttSerial_ || !active || engineDead_)
    return true;
  if (!resp.error.empty()) {
    noteFailure("engine", resp.error, false);
    engineDead_ = true;
    return true;
  }
  appendRows(resp);
  received_ += resp.pulled;
  total_ = resp.total;
  engineAvail_ = resp.avail;
  if (resp.finishSent) finishDelivered_ = true;
  if (!engineDead_ && finishDelivered_ && resp.pulled == 0 && resp.avail == 0 &&
      (total_ < 0 || received_ < total_)) {
    noteFailure("engine",
                "the engine stopped at " + std::to_string(received_) + " of " +
                    (total_ < 0 ? std::string("an unknown number of") : std::to_string(total_)) +
                    " frames after the finish",
                false);
    engineDead_ = true;
  }
  return true;
}

// The response's rows behind the unrendered ones, the rendered ones moved out
// first when the rows would not fit; a driver index outside the driver stops
// the engine.
void Pipeline::appendRows(const Response& resp) {
  if (bFilled_ + resp.pulled > kBatchRows) {
    const int32_t keep = bFilled_ - bConsumed_;
    std::memmove(bIdx_.data(), bIdx_.data() + bConsumed_, size_t(keep) * sizeof(int32_t));
    std::memmove(bTarget_.data(), bTarget_.data() + size_t(bConsumed_) * kKpFloats,
                 size_t(keep) * kKpFloats * sizeof(float));
    std::memmove(bDriven_.data(), bDriven_.data() + size_t(bConsumed_) * kKpFloats,
                 size_t(keep) * kKpFloats * sizeof(float));
    bConsumed_ = 0;
    bFilled_ = keep;
  }
  for (int32_t i = 0; i < resp.pulled && bFilled_ < kBatchRows; ++i) {
    const int32_t idx = resp.idx[size_t(i)];
    if (idx < 0 || idx >= stages_.nt) {
      noteFailure("engine",
                  "driver index " + std::to_string(idx) + " outside [0," + std::to_string(stages_.nt) + ")",
                  false);
      engineDead_ = true;
      break;
    }
    bIdx_[size_t(bFilled_)] = idx;
    std::memcpy(bTarget_.data() + size_t(bFilled_) * kKpFloats, resp.target.data() + size_t(i) * kKpFloats,
                kKpFloats * sizeof(float));
    std::memcpy(bDriven_.data() + size_t(bFilled_) * kKpFloats, resp.driven.data() + size_t(i) * kKpFloats,
                kKpFloats * sizeof(float));
    ++bFilled_;
  }
}

Pipeline::BatchView Pipeline::batchView() const {
  BatchView b;
  b.pending = bFilled_ - bConsumed_;
  b.drained = total_ >= 0 && received_ >= total_;
  const Director* chunk = chunkPtr_.load();
  b.chunk = chunk ? std::min(chunk->batch(), kBatchRows) : 1;
  return b;
}

// New audio, the finish, the rest of a chunk or a low batch ask the engine
// for more, one request at a time.
bool Pipeline::requestMore(bool engineReady, bool active, bool finishWanted, const BatchView& b) {
  if (!engineReady || !active || engineDead_ || mailbox_.busy()) return false;
  const int32_t B = b.chunk;
  const bool chunkWaiting = B > 1 && b.pending < B && b.pending + engineAvail_ >= B;
  const bool wantFinish = finishWanted && !finishPosted_;
  if (newAudio_.empty() && !wantFinish && !chunkWaiting && (b.pending >= kLowWater || b.drained))
    return false;
  Request req;
  req.audio = std::move(newAudio_);
  newAudio_.clear();
  req.reset = resetNext_;
  req.start = resetStart_;
  req.direction = 1;
  req.finish = wantFinish;
  req.maxPull = kBatchRows - b.pending;
  req.generation = servedGen_;
  req.utterance = uttSerial_;
  if (settings_.hybrid) {
    hybridEager_ = hybridEager(b.pending + engineAvail_, hybridEager_);
    req.eager = hybridEager_ != sentEager_ ? hybridEager_ : 0;
  }
  if (!mailbox_.post(std::move(req))) return false;
  resetNext_ = false;
  if (wantFinish) finishPosted_ = true;
  if (settings_.hybrid) sentEager_ = hybridEager_;
  return true;
}

bool Pipeline::renderPending(bool active, const BatchView& b) {
  if (!active || b.pending <= 0) return false;
  setState(2);
  const int32_t B = b.chunk;
  if (B > 1 && b.pending >= B) {
    renderSpeech(B);
  } else if (B > 1 && b.pending + engineAvail_ >= B && !engineDead_) {
    // The rest of a chunk is ready in the engine: wait for it.
  } else {
    renderSpeech(1);
  }
  return true;
}

bool Pipeline::closeWhenDone() {
  if (!active() || bFilled_ - bConsumed_ != 0 || mailbox_.busy()) return false;
  if (!engineDead_ && !(finishDelivered_ && total_ >= 0 && received_ >= total_)) return false;
  closeUtterance();
  return true;
}

bool Pipeline::rampOrIdle() {
  if (rampActive_) {
    rampStep();
    return true;
  }
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    idle = !uttActive_;
    if (idle) state_ = 0;
  }
  return idle && idleStep();
}

bool Pipeline::active() {
  std::lock_guard<std::mutex> lock(mu_);
  return uttActive_;
}

void Pipeline::dropBatch() {
  bConsumed_ = bFilled_ = 0;
}

void Pipeline::closeUtterance() {
  dropBatch();
  newAudio_.clear();  // unsent audio of a failed utterance: the engine never takes it
  {
    std::lock_guard<std::mutex> lock(mu_);
    uttActive_ = false;
    finishDecided_ = false;
  }
  // A response still in flight belongs to the closed utterance; the next one
  // starts with a reset, and responses are matched to it by the flags below.
  finishPosted_ = finishDelivered_ = false;
  if (haveLastSpeech_ && !stages_.xsTarget.empty()) {
    startRamp(lastSpeechIdx_, lastSpeechKp_.data(), settings_.rampFrames);
  } else {
    if (haveLastSpeech_) idleCursor_ = wrap(int64_t(lastSpeechIdx_) + 1);
    setState(0);
  }
  haveLastSpeech_ = false;
}

bool Pipeline::renderSpeech(int32_t n) {
  n = std::min(n, bFilled_ - bConsumed_);
  if (n < 1) return false;
  const size_t at = size_t(bConsumed_);
  Director* chunk = chunkPtr_.load();
  if (n > 1 && chunk && n <= chunk->batch()) {
    const float* crops = nullptr;
    double per = 0;
    try {
      const double t0 = nowMs();
      crops = chunk->render(bIdx_.data() + at, bTarget_.data() + at * kKpFloats, bDriven_.data() + at * kKpFloats, n);
      per = (nowMs() - t0) / n;
    } catch (const std::exception& e) {
      noteFailure("b24 chunk", textOf(e), false);
    } catch (...) {
      noteFailure("b24 chunk", "unknown failure", false);
    }
    if (crops) {
      for (int32_t i = 0; i < n; ++i)
        if (!emitSpeech(crops + size_t(i) * cropFloats_, bConsumed_, per)) return false;
      return true;
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    const size_t r = size_t(bConsumed_);
    const float* crop = nullptr;
    double ms = 0;
    try {
      std::lock_guard<std::mutex> lock(renderMu_);
      const double t0 = nowMs();
      crop = stages_.main->render(bIdx_.data() + r, bTarget_.data() + r * kKpFloats, bDriven_.data() + r * kKpFloats, 1);
      ms = nowMs() - t0;
    } catch (const std::exception& e) {
      noteFailure("render", textOf(e), true);
    } catch (...) {
      noteFailure("render", "unknown failure", true);
    }
    if (!crop) {
      // The frame is not rendered again: the batch goes with the utterance.
      closeUtterance();
      return false;
    }
    if (!emitSpeech(crop, bConsumed_, ms)) return false;
  }
  return true;
}

bool Pipeline::emitSpeech(const float* crop, int32_t row, double renderMs) {
  PasteJob job;
  job.crop.assign(crop, crop + cropFloats_);
  job.hasCrop = true;
  job.kind = kSpeech;
  job.driverIndex = bIdx_[size_t(row)];
  job.speechNumber = speechNo_;
  std::memcpy(job.kp.data(), bDriven_.data() + size_t(row) * kKpFloats, kKpFloats * sizeof(float));
  job.madeMs = nowMs();
  const uint64_t gen = servedGen_;
  haveLastSpeech_ = true;
  lastSpeechIdx_ = job.driverIndex;
  lastSpeechKp_ = job.kp;
  const double t0 = nowMs();
  const bool ok = enqueue(std::move(job));
  const double waited = nowMs() - t0;
  if (!ok) {
    bool stale;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stale = shutdown_ || gen_ != gen;
    }
    // An interrupt cleans up on the next pass; any other refusal ends the
    // utterance without rendering the frame again.
    if (stale) dropBatch();
    else closeUtterance();
    return false;
  }
  ++bConsumed_;
  ++speechNo_;
  std::lock_guard<std::mutex> lock(mu_);
  times_.aTotal += renderMs + (pipelined_ ? waited : 0.0);
  times_.aWait += pipelined_ ? waited : 0.0;
  ++times_.aFrames;
  renderAvgMs_ = renderAvgSet_ ? 0.9 * renderAvgMs_ + 0.1 * renderMs : renderMs;
  renderAvgSet_ = true;
  return true;
}

void Pipeline::startRamp(int32_t last, const float* kp, int32_t frames) {
  last = wrap(last);
  rampOffsetFrom(kp, xsRow(last), rampOffset_.data());
  rampCursor_ = wrap(int64_t(last) + 1);
  rampRemaining_ = rampTotal_ = std::max(frames, 1);
  rampActive_ = true;
  setState(3);
}

bool Pipeline::rampStep() {
  const float a = rampAlpha(rampTotal_, rampRemaining_);
  rampRow(rampOffset_.data(), xsRow(rampCursor_), a, kdScratch_.data());
  const float* crop = nullptr;
  try {
    std::lock_guard<std::mutex> lock(renderMu_);
    crop = stages_.main->render(&rampCursor_, xsRow(rampCursor_), kdScratch_.data(), 1);
  } catch (const std::exception& e) {
    noteFailure("ramp", textOf(e), true);
  } catch (...) {
    noteFailure("ramp", "unknown failure", true);
  }
  if (crop) {
    PasteJob job;
    job.crop.assign(crop, crop + cropFloats_);
    job.hasCrop = true;
    job.kind = kRamp;
    job.driverIndex = rampCursor_;
    job.speechNumber = -1;
    std::memcpy(job.kp.data(), kdScratch_.data(), kKpFloats * sizeof(float));
    if (!enqueue(std::move(job))) return false;
  }
  rampCursor_ = wrap(int64_t(rampCursor_) + 1);
  if (--rampRemaining_ <= 0 || !crop) {
    rampActive_ = false;
    idleCursor_ = rampCursor_;
    setState(0);
  }
  return true;
}

bool Pipeline::idleStep() {
  PasteJob job;
  job.kind = kIdle;
  job.driverIndex = idleCursor_;
  job.speechNumber = -1;
  if (!stages_.xsTarget.empty() && stages_.nt > 0)
    std::memcpy(job.kp.data(), xsRow(idleCursor_), kKpFloats * sizeof(float));
  if (!enqueue(std::move(job))) return false;
  idleCursor_ = wrap(int64_t(idleCursor_) + 1);
  return true;
}

}  // namespace le::utt
