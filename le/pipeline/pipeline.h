// The live utterance pipeline of one session. Threads: run (collects engine
// rows, renders speech, ramp and idle frames), warm-up (creates the engine and
// the optional chunk director), dispatch (the only caller of the engine) and,
// when paste is pipelined, paste. Finished frames land in an eight-slot ring
// that the host drains; the full ring is the only pacing. An interrupt bumps
// the generation and every stage drops work of an older one. With a teeth
// borrow attached, crops pass it between render and paste: inline on the run
// thread, or on a borrow thread of their own when paste is pipelined.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/pipeline/borrow.h"
#include "le/pipeline/engine.h"
#include "le/pipeline/mailbox.h"
#include "le/pipeline/settings.h"
#include "le/pipeline/stages.h"

namespace le::utt {

inline constexpr int kRingSlots = 8;
inline constexpr int kBatchRows = 32;   // pending speech rows
inline constexpr size_t kPasteQueue = 8;
inline constexpr size_t kBorrowQueue = 2;        // jobs waiting for the borrow thread
inline constexpr size_t kBorrowPasteQueue = 2;   // paste jobs it lets wait
inline constexpr int kLowWater = 8;     // ask the engine for more below this
// Every wait of the pipeline is a timed step of this length.
inline constexpr std::chrono::milliseconds kStep{2};

// A failure's text for the render status; "unknown failure" when it has none.
std::string textOf(const std::exception& e);

// Kinds of a delivered frame (the values of LE_UTT_IDLE, _SPEECH, _RAMP).
inline constexpr int32_t kIdle = 0;
inline constexpr int32_t kSpeech = 1;
inline constexpr int32_t kRamp = 2;

// What the host learns about a pulled frame.
struct FrameInfo {
  uint64_t sequence = 0;      // 0, 1, 2 ... over the pipeline's life
  int32_t kind = kIdle;
  int32_t driverIndex = 0;    // driver frame under the face
  int32_t speechNumber = -1;  // within its utterance; -1 for idle and ramp
};

struct Stats {
  uint64_t framesDelivered = 0;
  uint64_t speechFramesDelivered = 0;
  uint64_t firstFrames = 0;          // utterances whose first speech frame is out
  double firstFrameLatencyMs = 0.0;  // of the latest such utterance
  double renderMs = 0.0;             // moving average per frame
  int32_t state = 0;                 // 0 idle, 1 started, 2 speaking, 3 ramping
};

// The unit passed from render to paste (and, later, through a borrow stage).
struct PasteJob {
  std::vector<float> crop;  // 3 x crop x crop, empty for idle frames
  bool hasCrop = false;
  int32_t kind = kIdle;
  int32_t driverIndex = 0;
  int32_t speechNumber = -1;
  std::array<float, kKpFloats> kp{};
  uint64_t generation = 0;
  double madeMs = 0.0;  // 0: untimed
};

// The attached borrow as its stats report it.
struct BorrowStats {
  int state = 0;  // 0 none attached, 1 active, -1 failed
  int64_t ok = 0, failures = 0;
  std::string message;
};

// Counters behind the stage report.
struct StageTimes {
  bool pipe = false;
  int64_t jobsB = 0, jobsC = 0;
  double aTotal = 0, aWait = 0;
  int64_t aFrames = 0;
  double bTotal = 0, cTotal = 0;
  double latTotal = 0;
  int64_t latFrames = 0;
  int64_t speechDelivered = 0;
};
std::string stageReport(const StageTimes& t);

double nowMs();

class Pipeline {
 public:
  // Starts the threads; a thread that fails to start stops and joins the
  // ones already running and the constructor throws.
  Pipeline(Stages stages, Settings settings);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // 1 ready, 0 warming, -1 failed (message in *msg).
  int ready(std::string* msg);
  // False (with the warm-up's message in *failure) once the engine's
  // warm-up has failed: nothing would ever take the samples.
  bool pushAudio(const int16_t* samples, int count, std::string* failure);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  enum class Pull { None, Copied, TooSmall };
  Pull pull(uint8_t* buf, size_t cap, FrameInfo* info);
  Stats stats();
  // 0, or -1 after a fatal failure; the count and the last message.
  int renderStatus(std::string* msg, int* failures);
  StageTimes stageTimes();

  // Installs a borrow for the crops rendered from now on; the previous one
  // finishes the crop it holds. Resets the counts and the failed state. With
  // pipelined paste the first attach starts the borrow thread; when that
  // fails nothing is installed and the thread's error is thrown.
  void attachBorrow(std::shared_ptr<Borrow> borrow, std::string geometry);
  BorrowStats borrowStats();
  // False with an empty text when no borrow is attached.
  bool borrowGeometry(std::string* text);
  // The pipeline's xs_target rows (empty when absent) and render crop side.
  const std::vector<float>& targetRows() const { return stages_.xsTarget; }
  int32_t crop() const { return stages_.crop; }
  const std::string& lipTemplate() const { return stages_.lipTemplateJson; }

  void noteFailure(const char* stage, const std::string& msg, bool fatal);
  // Paste queue (at most `limit` jobs waiting) or inline paste; false when
  // refused (shutdown, stale job).
  bool rawPath(PasteJob job, size_t limit = kPasteQueue);
  bool pipelined() const { return pipelined_; }
  uint64_t frameBytes() const { return frameBytes_; }

 private:
  struct Slot {
    std::vector<uint8_t> rgb;
    uint64_t sequence = 0;
    int32_t kind = 0, driverIndex = 0, speechNumber = -1;
    std::array<float, kKpFloats> kp{};
  };
  struct LastPulled {
    bool has = false;
    int32_t kind = 0, driverIndex = 0;
    std::array<float, kKpFloats> kp{};
  };

  void warmBody() noexcept;
  void dispatchBody() noexcept;
  void pasteBody() noexcept;
  void runBody() noexcept;
  // What one pass takes from the host side under the lock.
  struct PassInput {
    bool stop = false;         // shutting down
    bool interrupted = false;  // a new generation to serve
    LastPulled lp;             // the last frame the host pulled, on an interrupt
    bool startUtt = false;     // the waiting audio starts an utterance
    bool engineReady = false;
  };
  // The batch as one pass sees it after the responses.
  struct BatchView {
    int32_t pending = 0;  // rows collected and not yet rendered
    bool drained = false;  // the engine has delivered its whole total
    int32_t chunk = 1;     // rows the director renders at once
  };

  // One pass of the run thread; false when it found nothing to do. Its steps
  // in order: take the host's input, serve an interrupt, start an utterance,
  // collect the engine's response, ask for more, render, close a finished
  // utterance, and produce a ramp or idle frame.
  bool runPass();
  PassInput takeHostInput();
  void serveInterrupt(const LastPulled& lp);
  void startUtterance();
  bool collectResponse(bool active);
  void appendRows(const Response& resp);
  BatchView batchView() const;
  bool requestMore(bool engineReady, bool active, bool finishWanted, const BatchView& b);
  bool renderPending(bool active, const BatchView& b);
  bool closeWhenDone();
  bool rampOrIdle();
  void startThreads();
  void stopThreads() noexcept;

  bool enqueue(PasteJob job);

  // ---- borrow stage (le_utt_borrow.cc)
  // What the thread that calls the borrow keeps between jobs: the borrow and
  // attach epoch it last served, the generation of its jobs and the crop
  // waiting for its result (an owned copy: the director reuses its output).
  struct BorrowCursor {
    std::shared_ptr<Borrow> borrow;
    uint64_t epoch = 0;
    bool failed = false;  // this borrow latched a failure
    uint64_t gen = 0;
    bool holding = false;
    PasteJob held;
  };
  struct BorrowJob {
    PasteJob job;
    uint64_t epoch = 0;
  };
  // The attached borrow and its epoch for a job; false when none is attached.
  // *refused when it has failed.
  bool borrowFor(std::shared_ptr<Borrow>* b, uint64_t* epoch, bool* refused);
  bool queueBorrow(PasteJob job, uint64_t epoch);
  void borrowBody() noexcept;
  // One job through the borrow on the calling thread; false when refused.
  bool borrowStep(PasteJob job, const std::shared_ptr<Borrow>& b, uint64_t epoch);
  void switchEpoch(const std::shared_ptr<Borrow>& b, uint64_t epoch);
  // The held crop flushed and dropped: an interrupt made it stale.
  void forgetHeld();
  // Flushes the held crop's result into it and delivers it.
  bool releaseHeld();
  bool writeHeld(Borrow& b, const tessera::FrameResult& r);
  bool deliverBorrowed(PasteJob job);
  bool latchBorrow(const std::string& msg);
  void countBorrowOk();
  // Waits for a ring slot, pastes and publishes. True when the job was
  // consumed (published, or dropped after a paste failure).
  bool pasteJob(const PasteJob& job);
  bool renderSpeech(int32_t n);
  bool emitSpeech(const float* crop, int32_t row, double renderMs);
  void startRamp(int32_t last, const float* kp, int32_t frames);
  bool rampStep();
  bool idleStep();
  void closeUtterance();
  void dropBatch();
  void setState(int32_t s);
  bool active();
  const float* xsRow(int32_t i) const { return stages_.xsTarget.data() + size_t(i) * kKpFloats; }
  int32_t wrap(int64_t i) const;

  const Stages stages_;
  const Settings settings_;
  bool pipelined_ = false;
  uint64_t frameBytes_ = 0;
  size_t cropFloats_ = 0;
  std::string mainEp_;

  // Main lock: everything below up to the dispatch mailbox.
  std::mutex mu_;
  std::condition_variable cv_;       // audio, end, interrupt, ring space, warm-up
  std::condition_variable pasteCv_;  // paste queue non-empty, paste stop
  std::vector<float> audio_;
  // End-of-utterance marks in the host's order: `at` samples of audio_ come
  // before each; nextStartMs is the push time of the first sample after it.
  struct EndMark {
    size_t at = 0;
    double nextStartMs = 0;
  };
  std::deque<EndMark> ends_;
  uint64_t gen_ = 0;
  bool shutdown_ = false;
  bool pasteStop_ = false;
  bool poke_ = false;  // the run thread has something new to look at
  double lastPushMs_ = 0, nextStartMs_ = 0, uttStartMs_ = 0;
  bool uttActive_ = false;
  bool finishDecided_ = false;
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<Director> chunk_;
  bool warmDone_ = false, warmFailed_ = false;
  std::string warmMsg_;
  std::array<Slot, kRingSlots> slots_;
  uint64_t writeCount_ = 0, readCount_ = 0, sequence_ = 0;
  LastPulled lastPulled_;
  int32_t state_ = 0;
  uint64_t delivered_ = 0, speechDelivered_ = 0, firstFrames_ = 0;
  double firstLatencyMs_ = 0, renderAvgMs_ = 0;
  bool renderAvgSet_ = false;
  int failures_ = 0;
  std::string failMsg_;
  bool failFatal_ = false;
  std::deque<PasteJob> pasteQ_;
  StageTimes times_;
  // Borrow stage, under the main lock.
  std::condition_variable borrowCv_;  // borrow queue non-empty, borrow stop
  std::shared_ptr<Borrow> borrow_;
  uint64_t borrowEpoch_ = 0;          // one per attach
  bool borrowFailed_ = false, borrowStop_ = false;
  int64_t borrowOk_ = 0, borrowFailures_ = 0;
  std::string borrowMsg_, borrowGeometry_;
  std::deque<BorrowJob> borrowQ_;

  std::atomic<Engine*> enginePtr_{nullptr};
  std::atomic<Director*> chunkPtr_{nullptr};
  std::mutex renderMu_;                  // main director: warm-up vs run thread
  Mailbox mailbox_;

  // Run thread only.
  uint64_t servedGen_ = 0;
  uint64_t uttSerial_ = 0;
  std::vector<float> newAudio_;
  bool resetNext_ = false;
  int32_t resetStart_ = 0;
  bool finishPosted_ = false, finishDelivered_ = false, engineDead_ = false;
  int64_t received_ = 0;
  int32_t total_ = -1;
  int32_t engineAvail_ = 0;
  int32_t speechNo_ = 0;
  int32_t idleCursor_ = 0;
  int32_t sentEager_ = 3, hybridEager_ = 3;  // the warm-up sets 3 when hybrid
  std::vector<int32_t> bIdx_;
  std::vector<float> bTarget_, bDriven_;
  int32_t bConsumed_ = 0, bFilled_ = 0;
  bool haveLastSpeech_ = false;
  int32_t lastSpeechIdx_ = 0;
  std::array<float, kKpFloats> lastSpeechKp_{};
  bool rampActive_ = false;
  int32_t rampCursor_ = 0, rampRemaining_ = 0, rampTotal_ = 0;
  std::array<float, kKpFloats> rampOffset_{};
  std::vector<float> kdScratch_;

  // Run thread (inline borrow) or borrow thread (pipelined), never both.
  BorrowCursor cursor_;

  std::thread run_, warm_, dispatch_, paste_, borrowThread_;
};

}  // namespace le::utt
