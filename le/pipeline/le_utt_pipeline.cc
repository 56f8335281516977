#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "le/pipeline/pipeline.h"
#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::utt {
namespace {

constexpr float kSampleScale = 3.0517578e-5f;  // 1/32768

}  // namespace

std::string textOf(const std::exception& e) {
  return e.what() && e.what()[0] ? e.what() : "unknown failure";
}

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Pipeline::Pipeline(Stages stages, Settings settings)
    : stages_(std::move(stages)), settings_(std::move(settings)) {
  if (stages_.main == nullptr || stages_.frames == nullptr)
    throw std::runtime_error("le_utt: pipeline without a director or a frame side");
  if (stages_.nt < 0 || stages_.width < 1 || stages_.height < 1 || stages_.crop < 1)
    throw std::runtime_error("le_utt: bad frame geometry");
  frameBytes_ = uint64_t(stages_.width) * uint64_t(stages_.height) * 3u;
  cropFloats_ = size_t(stages_.crop) * size_t(stages_.crop) * 3u;
  pipelined_ = settings_.pipelinePaste < 0 ? stages_.engineKind == EngineKind::A2x
                                           : settings_.pipelinePaste != 0;
  mainEp_ = stages_.main->ep();
  bIdx_.resize(kBatchRows);
  bTarget_.resize(size_t(kBatchRows) * kKpFloats);
  bDriven_.resize(size_t(kBatchRows) * kKpFloats);
  kdScratch_.resize(kKpFloats);
  startThreads();
}

void Pipeline::startThreads() {
  try {
    run_ = std::thread([this] { runBody(); });
    pool::nameThread(run_, "le-run");
    warm_ = std::thread([this] { warmBody(); });
    pool::nameThread(warm_, "le-warm");
    dispatch_ = std::thread([this] { dispatchBody(); });
    pool::nameThread(dispatch_, "le-dispatch");
    if (pipelined_) {
      paste_ = std::thread([this] { pasteBody(); });
      pool::nameThread(paste_, "le-paste");
    }
  } catch (...) {
    stopThreads();
    throw;
  }
}

void Pipeline::stopThreads() noexcept {
  {
    std::lock_guard<std::mutex> lock(mu_);
    shutdown_ = true;
    pasteStop_ = true;
    borrowStop_ = true;
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  borrowCv_.notify_all();
  // The borrow thread first: it feeds the paste queue and calls the borrow.
  if (borrowThread_.joinable()) borrowThread_.join();
  if (paste_.joinable()) paste_.join();
  if (run_.joinable()) run_.join();
  if (warm_.joinable()) warm_.join();
  mailbox_.stop();
  if (dispatch_.joinable()) dispatch_.join();
}

Pipeline::~Pipeline() {
  stopThreads();
  cursor_ = BorrowCursor{};
  borrow_.reset();
  enginePtr_.store(nullptr);
  chunkPtr_.store(nullptr);
  engine_.reset();
  chunk_.reset();
  if (env::isSet("LE_UTT_STAGE_REPORT")) log::line(log::Level::Info, stageReport(stageTimes()));
}

int32_t Pipeline::wrap(int64_t i) const {
  if (stages_.nt < 1) return 0;
  const int64_t n = stages_.nt;
  return static_cast<int32_t>(((i % n) + n) % n);
}

// ---- host side -------------------------------------------------------------

int Pipeline::ready(std::string* msg) {
  std::lock_guard<std::mutex> lock(mu_);
  if (warmFailed_) {
    if (msg) *msg = warmMsg_;
    return -1;
  }
  return warmDone_ ? 1 : 0;
}

bool Pipeline::pushAudio(const int16_t* samples, int count, std::string* failure) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // After a failed warm-up no speech is ever produced: the push is refused
    // with the warm-up's message rather than taken and dropped.
    if (warmFailed_) {
      if (failure) *failure = warmMsg_;
      return false;
    }
    if (count > 0) {
      const double now = nowMs();
      // The first samples that no running utterance will take start the next.
      if (audio_.empty() && (!uttActive_ || finishDecided_)) nextStartMs_ = now;
      // The first samples after an end mark start the utterance after it.
      else if (!ends_.empty() && ends_.back().at == audio_.size()) ends_.back().nextStartMs = now;
      const size_t at = audio_.size();
      audio_.resize(at + size_t(count));
      for (int i = 0; i < count; ++i) audio_[at + size_t(i)] = float(samples[i]) * kSampleScale;
      lastPushMs_ = now;
    }
    poke_ = true;
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  return true;
}

void Pipeline::endUtterance() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A mark with neither a running utterance that still takes audio nor
    // waiting audio has nothing to end; with waiting audio it ends the
    // utterance that audio starts. It sits after the audio pushed so far, so
    // later pushes start the next utterance; a second mark with nothing
    // pushed since the last one adds nothing.
    if ((!uttActive_ || finishDecided_) && audio_.empty()) return;
    if (!ends_.empty() && ends_.back().at == audio_.size()) return;
    ends_.push_back(EndMark{audio_.size(), 0.0});
    poke_ = true;
  }
  cv_.notify_all();
}

void Pipeline::interrupt() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    audio_.clear();
    ends_.clear();
    readCount_ = writeCount_;
    pasteQ_.clear();
    borrowQ_.clear();
    ++gen_;
    poke_ = true;
  }
  cv_.notify_all();
  pasteCv_.notify_all();
  borrowCv_.notify_all();
}

int Pipeline::framesAvailable() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(writeCount_ - readCount_);
}

Pipeline::Pull Pipeline::pull(uint8_t* buf, size_t cap, FrameInfo* info) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (writeCount_ == readCount_) return Pull::None;
    if (cap < frameBytes_) return Pull::TooSmall;
    const Slot& s = slots_[readCount_ % kRingSlots];
    std::memcpy(buf, s.rgb.data(), static_cast<size_t>(frameBytes_));
    if (info) {
      info->sequence = s.sequence;
      info->kind = s.kind;
      info->driverIndex = s.driverIndex;
      info->speechNumber = s.speechNumber;
    }
    lastPulled_.has = true;
    lastPulled_.kind = s.kind;
    lastPulled_.driverIndex = s.driverIndex;
    lastPulled_.kp = s.kp;
    ++readCount_;
    ++delivered_;
    if (s.kind == kSpeech) ++speechDelivered_;
    poke_ = true;
  }
  cv_.notify_all();
  return Pull::Copied;
}

Stats Pipeline::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  Stats st;
  st.framesDelivered = delivered_;
  st.speechFramesDelivered = speechDelivered_;
  st.firstFrames = firstFrames_;
  st.firstFrameLatencyMs = firstLatencyMs_;
  st.renderMs = renderAvgMs_;
  st.state = state_;
  return st;
}

int Pipeline::renderStatus(std::string* msg, int* failures) {
  std::lock_guard<std::mutex> lock(mu_);
  if (msg) *msg = failMsg_;
  if (failures) *failures = failures_;
  return failFatal_ ? -1 : 0;
}

StageTimes Pipeline::stageTimes() {
  std::lock_guard<std::mutex> lock(mu_);
  StageTimes t = times_;
  t.speechDelivered = static_cast<int64_t>(speechDelivered_);
  return t;
}

void Pipeline::noteFailure(const char* stage, const std::string& msg, bool fatal) {
  std::lock_guard<std::mutex> lock(mu_);
  ++failures_;
  failMsg_ = mainEp_ + " " + stage + ": " + (msg.empty() ? std::string("unknown failure") : msg);
  if (fatal) failFatal_ = true;
}

void Pipeline::setState(int32_t s) {
  std::lock_guard<std::mutex> lock(mu_);
  state_ = s;
}

// ---- warm-up and dispatch --------------------------------------------------

void Pipeline::warmBody() noexcept {
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Director> chunk;
  try {
    if (!stages_.makeEngine) throw std::runtime_error("no audio engine");
    engine = stages_.makeEngine();
    if (!engine) throw std::runtime_error("no audio engine");
    const int32_t nt = engine->nt();
    if (nt != stages_.nt)
      throw std::runtime_error("engine NT " + std::to_string(nt) + " != bundle NT " +
                               std::to_string(stages_.nt));
    engine->setEager(settings_.hybrid ? 3 : settings_.fixedEager);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mu_);
    warmFailed_ = true;
    warmMsg_ = textOf(e);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mu_);
    warmFailed_ = true;
    warmMsg_ = "unknown failure";
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (warmFailed_) {
      audio_.clear();
      ends_.clear();
    }
  }
  if (!engine) {
    cv_.notify_all();
    return;
  }
  if (!settings_.steadyModel.empty() && stages_.makeChunk) {
    try {
      chunk = stages_.makeChunk(settings_.steadyModel);
      if (chunk) {
        const std::string chunkEp = chunk->ep();
        if (mainEp_.rfind("coreml-native", 0) == 0 && chunkEp.rfind("coreml-native", 0) != 0) {
          log::linef(log::Level::Warning,
                     "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame "
                     "graph runs on ep=%s while the chunk graph fell back to ep=%s. A chunk that "
                     "gives up the bundle's own CoreML director costs MORE per frame than the "
                     "per-frame path it was meant to amortize, and letting timing choose between "
                     "two runtimes makes the delivered pixels depend on scheduling.",
                     settings_.steadyModel.c_str(), mainEp_.c_str(), chunkEp.c_str());
          chunk.reset();
        }
      }
    } catch (const std::exception& e) {
      chunk.reset();
      noteFailure("warm-up", textOf(e), false);
    } catch (...) {
      chunk.reset();
      noteFailure("warm-up", "unknown failure", false);
    }
  }
  if (stages_.nt > 0 && stages_.warmKp.size() == size_t(kKpFloats)) {
    const int32_t si = 0;
    const float* kp = stages_.warmKp.data();
    try {
      std::lock_guard<std::mutex> r(renderMu_);
      stages_.main->render(&si, kp, kp, 1);
      if (chunk) chunk->render(&si, kp, kp, 1);
    } catch (const std::exception& e) {
      noteFailure("warm-up", textOf(e), false);
    } catch (...) {
      noteFailure("warm-up", "unknown failure", false);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    chunkPtr_.store(chunk.get());
    enginePtr_.store(engine.get());
    chunk_ = std::move(chunk);
    engine_ = std::move(engine);
    warmDone_ = true;
    poke_ = true;
  }
  cv_.notify_all();
}

void Pipeline::dispatchBody() noexcept {
  mailbox_.serve([this] { return enginePtr_.load(); },
                 [this] {
                   {
                     std::lock_guard<std::mutex> lock(mu_);
                     poke_ = true;
                   }
                   cv_.notify_all();
                 });
}

// ---- paste -----------------------------------------------------------------

bool Pipeline::enqueue(PasteJob job) {
  job.generation = servedGen_;
  std::shared_ptr<Borrow> b;
  uint64_t epoch = 0;
  bool refused = false;
  if (!borrowFor(&b, &epoch, &refused)) return rawPath(std::move(job));
  // A failed borrow stops delivery: no crop without its teeth, no idle frame.
  if (refused) return false;
  if (pipelined_) return queueBorrow(std::move(job), epoch);
  return borrowStep(std::move(job), b, epoch);
}

bool Pipeline::rawPath(PasteJob job, size_t limit) {
  if (!pipelined_) return pasteJob(job);
  {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t gen = job.generation;
    while (!cv_.wait_for(lock, kStep, [&] { return pasteQ_.size() < limit || shutdown_ || gen_ != gen; })) {
    }
    if (shutdown_ || gen_ != job.generation) return false;
    pasteQ_.push_back(std::move(job));
  }
  pasteCv_.notify_all();
  return true;
}

void Pipeline::pasteBody() noexcept {
  for (;;) {
    PasteJob job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      pasteCv_.wait(lock, [&] { return pasteStop_ || !pasteQ_.empty(); });
      if (pasteStop_) return;
      job = std::move(pasteQ_.front());
      pasteQ_.pop_front();
      if (job.generation != gen_) continue;
      poke_ = true;
    }
    cv_.notify_all();  // room in the paste queue
    const bool consumed = pasteJob(job);
    if (consumed) {
      std::lock_guard<std::mutex> lock(mu_);
      ++times_.jobsC;
    }
  }
}

bool Pipeline::pasteJob(const PasteJob& job) {
  Slot* slot = nullptr;
  {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t gen = job.generation;
    while (!cv_.wait_for(lock, kStep, [&] {
      return writeCount_ - readCount_ < uint64_t(kRingSlots) || shutdown_ || gen_ != gen;
    })) {
    }
    if (shutdown_ || gen_ != job.generation) return false;
    // Only this producer writes slot writeCount_; the host reads [read, write).
    slot = &slots_[writeCount_ % kRingSlots];
  }
  const double t0 = nowMs();
  try {
    if (job.driverIndex < 0 || job.driverIndex >= stages_.nt)
      throw std::runtime_error("driver index " + std::to_string(job.driverIndex) + " outside [0," +
                               std::to_string(stages_.nt) + ")");
    slot->rgb.resize(static_cast<size_t>(frameBytes_));
    stages_.frames->pullDriver(job.driverIndex, slot->rgb.data());
    if (job.hasCrop)
      stages_.frames->composite(job.crop.data(), job.driverIndex, slot->rgb.data());
    else
      stages_.frames->walkPrior(job.driverIndex);
  } catch (const std::exception& e) {
    noteFailure("paste", textOf(e), true);
    std::this_thread::sleep_for(kStep);  // a failing driver must not spin a core
    return true;
  } catch (...) {
    noteFailure("paste", "unknown failure", true);
    std::this_thread::sleep_for(kStep);
    return true;
  }
  const double t1 = nowMs();
  {
    std::lock_guard<std::mutex> lock(mu_);
    times_.cTotal += t1 - t0;
    if (shutdown_ || gen_ != job.generation) return false;
    slot->kind = job.kind;
    slot->driverIndex = job.driverIndex;
    slot->speechNumber = job.speechNumber;
    slot->kp = job.kp;
    slot->sequence = sequence_++;
    ++writeCount_;
    if (job.kind == kSpeech && job.madeMs > 0) {
      times_.latTotal += t1 - job.madeMs;
      ++times_.latFrames;
    }
    if (job.kind == kSpeech && job.speechNumber == 0) {
      ++firstFrames_;
      firstLatencyMs_ = t1 - uttStartMs_;
    }
  }
  return true;
}

}  // namespace le::utt
