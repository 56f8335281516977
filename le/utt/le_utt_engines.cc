// Engine selection and the adapters over the two engines' C surfaces. Both
// report failures through their family's last-error text on the calling
// thread (the dispatch thread); a non-empty text after a call is thrown.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

#include "le/bundle.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"
#include "le/utt/engine.h"

namespace le::utt {
namespace {

void check(const char* err) {
  if (err && err[0]) throw std::runtime_error(err);
}

// Engine calls take int counts: longer pushes go in pieces.
template <class Push>
void pushInPieces(const float* samples, int64_t count, Push push) {
  while (count > 0) {
    const int n = int(std::min<int64_t>(count, INT_MAX));
    push(samples, n);
    samples += n;
    count -= n;
  }
}

class A2xEngine : public Engine {
 public:
  A2xEngine(const std::string& dir, int32_t threads) : h_(le_a2x_create(dir.c_str(), threads)) {
    if (!h_) throw std::runtime_error(le_a2x_last_error());
  }
  ~A2xEngine() override { le_a2x_destroy(h_); }
  void reset(int32_t start, int32_t direction) override {
    le_a2x_reset(h_, start, direction, 1);
    check(le_a2x_last_error());
  }
  void setEager(int32_t frames) override { le_a2x_set_eager(h_, frames); }
  void push(const float* s, int64_t n) override {
    pushInPieces(s, n, [&](const float* p, int k) {
      le_a2x_push(h_, p, k);
      check(le_a2x_last_error());
    });
  }
  void finish() override {
    le_a2x_finish(h_);
    check(le_a2x_last_error());
  }
  int32_t avail() override {
    const int n = le_a2x_avail(h_);
    check(le_a2x_last_error());
    return n;
  }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    const int got = le_a2x_pull(h_, idx, t, d, n);
    check(le_a2x_last_error());
    return got;
  }
  int32_t total() override { return le_a2x_total(h_); }
  int32_t nt() override { return le_a2x_nt(h_); }

 private:
  le_a2x* h_;
};

class MotionEngine : public Engine {
 public:
  MotionEngine(const std::string& dir, int32_t threads, const std::string& ep)
      : h_(le_motion_create(dir.c_str(), threads, ep.c_str())) {
    if (!h_) throw std::runtime_error(le_motion_last_error());
  }
  ~MotionEngine() override { le_motion_destroy(h_); }
  void reset(int32_t start, int32_t direction) override {
    le_motion_reset(h_, start, direction, 1);
    check(le_motion_last_error());
  }
  void setEager(int32_t frames) override { le_motion_set_eager(h_, frames); }
  void push(const float* s, int64_t n) override {
    pushInPieces(s, n, [&](const float* p, int k) {
      le_motion_push(h_, p, k);
      check(le_motion_last_error());
    });
  }
  void finish() override {
    le_motion_finish(h_);
    check(le_motion_last_error());
  }
  int32_t avail() override {
    const int n = le_motion_avail(h_);
    check(le_motion_last_error());
    return n;
  }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    const int got = le_motion_pull(h_, idx, t, d, n);
    check(le_motion_last_error());
    return got;
  }
  int32_t total() override { return le_motion_total(h_); }
  int32_t nt() override { return le_motion_nt(h_); }

 private:
  le_motion* h_;
};

}  // namespace

EngineKind selectEngine(const std::string& motionDir) {
  try {
    const std::string path = resolveMember(motionDir, "a2x_enc_stream.onnx");
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
      std::fclose(f);
      return EngineKind::A2x;
    }
  } catch (const std::exception&) {
  }
  return EngineKind::Motion;
}

std::unique_ptr<Engine> createEngine(EngineKind kind, const std::string& motionDir, int32_t threads,
                                     const std::string& ep) {
  if (kind == EngineKind::A2x) return std::make_unique<A2xEngine>(motionDir, threads);
  return std::make_unique<MotionEngine>(motionDir, threads, ep);
}

}  // namespace le::utt
