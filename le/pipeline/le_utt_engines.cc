// Engine selection and one adapter over the two engines' C++ objects: their
// exceptions reach the dispatch thread with the engines' own messages.
#include <climits>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "le/audio/a2x.h"
#include "le/audio/motion_engine.h"
#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "le/pipeline/engine.h"

namespace le::utt {
namespace {

int32_t clampCount(int64_t v) { return v < 0 ? 0 : v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

template <class E>
class EngineAdapter final : public Engine {
 public:
  // `createCall` names the engine's create function: a creation failure reads
  // as that function's own message.
  template <class... Args>
  EngineAdapter(const char* createCall, Args&&... args) : e_(make(createCall, std::forward<Args>(args)...)) {}

  void reset(int32_t start, int32_t direction) override { e_.reset(start, direction, true); }
  void setEager(int32_t frames) override { e_.setEager(frames); }
  void push(const float* samples, int64_t n) override {
    if (n < 0 || (n > 0 && samples == nullptr)) throw std::invalid_argument("bad audio push");
    if (n == 0) return;
    // A finished utterance has a fixed total; more audio would move it.
    if (e_.finished()) throw std::logic_error("audio pushed after the finish");
    e_.push(samples, n);
  }
  void finish() override { e_.finish(); }
  int32_t avail() override {
    const int64_t n = e_.avail();
    rethrowFailure();
    return clampCount(n);
  }
  int32_t pull(int32_t* idx, float* target, float* driven, int32_t n) override {
    if (n < 1) return 0;
    if (idx == nullptr || target == nullptr || driven == nullptr) throw std::invalid_argument("bad pull buffers");
    int64_t got;
    if constexpr (requires { e_.pull(idx, target, driven, nullptr, int64_t{n}); })
      got = e_.pull(idx, target, driven, nullptr, n);  // no width values wanted
    else
      got = e_.pull(idx, target, driven, n);
    rethrowFailure();
    if (got < 0 || got > n) throw std::runtime_error("engine pulled " + std::to_string(got) + " of " + std::to_string(n));
    return static_cast<int32_t>(got);
  }
  int32_t total() override {
    const int64_t t = e_.total();
    return t < 0 || t > INT32_MAX ? -1 : static_cast<int32_t>(t);
  }
  int32_t nt() override { return clampCount(e_.nt()); }

 private:
  // An engine that records a computation failure instead of throwing (to keep
  // its counts usable) has it thrown here, with its own message.
  void rethrowFailure() {
    if constexpr (requires { e_.takeFailure(); }) {
      std::string f = e_.takeFailure();
      if (!f.empty()) throw std::runtime_error(f);
    }
  }
  template <class... Args>
  static E make(const char* createCall, Args&&... args) {
    try {
      return E(std::forward<Args>(args)...);
    } catch (const std::exception& ex) {
      throw std::runtime_error(std::string(createCall) + ": " + (ex.what()[0] ? ex.what() : "unknown failure"));
    }
  }
  E e_;
};

}  // namespace

EngineKind selectEngine(const std::string& motionDir) {
  try {
    // Opened without blocking: a FIFO here is found by the engine's own open.
    if (fs::readable(resolveMember(motionDir, "a2x_enc_stream.onnx"))) return EngineKind::A2x;
  } catch (const std::exception&) {
  }
  return EngineKind::Motion;
}

std::unique_ptr<Engine> createEngine(EngineKind kind, const std::string& motionDir, int32_t threads,
                                     const std::string& ep) {
  if (kind == EngineKind::A2x)
    return std::make_unique<EngineAdapter<audio::A2x>>("le_a2x_create", motionDir, static_cast<int>(threads));
  return std::make_unique<EngineAdapter<motion::MotionEngine>>("le_motion_create", motionDir,
                                                               static_cast<int>(threads), ep);
}

}  // namespace le::utt
