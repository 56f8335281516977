// The source-cone hoist: the part of the director that depends only on the
// source frame runs once per source frame in a separate "prep" session, on one
// spare core, into a 2-slot ring; the per-frame director reads the ring slot
// as an input. A prefetch thread fills the slot of the predicted next source
// frame while the director runs.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace le {

class Identity;

// Guesses the next source frame from the walk so far: steps of +-1 are
// followed, a walk that wrapped from N-1 to 0 keeps wrapping modulo N, and
// one that never wrapped bounces at both ends.
struct ConePredictor {
  int32_t lastSi = -1;
  int32_t step = 1;
  bool wrap = false;

  // The frame to prefetch after si, or -1 for none (N < 2).
  int32_t next(int32_t si, int32_t N);
};

class SourceConeRing {
 public:
  static constexpr int kSlots = 2;

  struct Slot {
    int32_t si = -1;  // -1: empty or being filled
    std::vector<float> buf;
    Ort::Value tensor{nullptr};
  };

  // prep: the session computing the boundary from "P_rgb" [1,3,crop,crop];
  // dims: the boundary's static shape. The prefetch thread starts here.
  SourceConeRing(std::unique_ptr<Ort::Session> prep, std::string boundary,
                 const std::array<int64_t, 4>& dims, Identity* identity, int32_t crop,
                 const Ort::MemoryInfo& mem);
  // Stops and joins the prefetch thread (a prep run in flight finishes first).
  ~SourceConeRing();
  SourceConeRing(const SourceConeRing&) = delete;
  SourceConeRing& operator=(const SourceConeRing&) = delete;

  // The slot holding si's boundary, filled synchronously on a miss; pinned
  // until the next acquire. Throws the ring error once a prep run failed.
  Slot& acquire(int32_t si);
  // Predicts the frame after si and asks the prefetch thread for it when the
  // thread is idle and no slot already holds it.
  void schedule(int32_t si);

  const std::string& boundary() const { return boundary_; }
  size_t elements() const { return elements_; }
  int64_t hits() const;
  int64_t misses() const;
  ConePredictor predictor() const;

  // Runs before each prep run with the source index; a throw is a prep
  // failure. For fault-injection in tests.
  std::function<void(int32_t)> beforePrep;

 private:
  void runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock);
  void prefetchLoop();
  int freeSlotL() const;

  std::unique_ptr<Ort::Session> prep_;
  std::string boundary_;
  std::array<int64_t, 4> dims_;
  size_t elements_ = 0;
  Identity* id_;
  int32_t crop_;
  std::unique_ptr<Ort::IoBinding> binding_;
  std::vector<float> prior_;     // prep P_rgb, 3 x crop x crop
  std::vector<uint16_t> half_;   // copied prior frame on the streamed-prior path
  Ort::Value priorTensor_{nullptr};
  std::array<Slot, kSlots> slots_;

  mutable std::mutex m_;
  std::condition_variable cv_;
  int32_t reqSi_ = -1, reqSlot_ = -1;
  int32_t pinned_ = -1;
  bool stop_ = false;
  std::string ringError_;
  int64_t hits_ = 0, misses_ = 0;
  ConePredictor predictor_;
  std::thread thread_;  // last: starts after every member above exists
};

}  // namespace le
