// The batch stream: create in the order session, delta model, target rows;
// a run computes the clip's deltas, then overlaps rendering (its own thread)
// with pasting and delivery (the calling thread) through the crop ring.
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "le/audio/fca_engine.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"
#include "le/pipeline/crop_ring.h"
#include "le/pipeline/stream.h"
#include "le/session/session.h"

namespace le::stream {

int32_t driverIndex(int64_t j, int32_t NT) {
  if (NT <= 1 || j <= 0) return 0;
  return int32_t(j % NT);
}

void drivenRow(const float* target, const float* delta, float gain, float* out) {
  for (int k = 0; k < kKpFloats; ++k) out[k] = target[k] + gain * delta[k];
}

int64_t clipFrames(int64_t count) {
  return count < 1 ? 0 : (count + kFrameSamples - 1) / kFrameSamples;
}

namespace {

// The stream's failures read as they did when it drove the session and the
// delta model through their C functions: "<function>: <function>: <why>".
std::runtime_error stepFailure(const char* fn, const std::string& why) {
  return std::runtime_error(std::string(fn) + ": " + fn + ": " + why);
}

}  // namespace

Stream::Stream(const char* bundle, const char* frontend, int32_t threads, int32_t skip, float gain)
    : skip_(skip), gain_(gain) {
  if (skip < 0) throw std::invalid_argument("skip < 0");
  // A non-finite gain would hand NaN keypoints to the director's sampling.
  if (!std::isfinite(gain)) throw std::invalid_argument("gain not finite");
  if (bundle == nullptr) throw stepFailure("le_create", "NULL bundle_dir/model_key");
  try {
    ctx_ = std::make_unique<le_ctx>(bundle, "render", threads, "");
  } catch (const std::exception& e) {
    throw stepFailure("le_create", e.what());
  }
  NT_ = ctx_->NT();
  W_ = ctx_->W();
  H_ = ctx_->H();
  crop_ = ctx_->manifest.crop;
  if (frontend == nullptr) throw stepFailure("le_fca_create", "bad args");
  try {
    fca_ = std::make_unique<audio::FcaEngine>(
        frontend, member::confined(ctx_->manifest.dir, "fca_stream.onnx", "member"), threads);
  } catch (const std::exception& e) {
    throw stepFailure("le_fca_create", e.what());
  }
  try {
    target_ = raw::readRaw<float>(resolveMember(ctx_->manifest.dir, "xs_target.bin"),
                                  int64_t(NT_) * kKpFloats, "xs_target.bin");
  } catch (const std::exception&) {
    throw std::runtime_error("cannot read xs_target.bin (NT*63 f32)");
  }
}

Stream::~Stream() = default;

namespace {

// Joins the render thread on every way out of a run; leaving early (a failed
// paste, a throwing callback) first fails the ring so a producer waiting for
// a free slot wakes.
class RenderJoin {
 public:
  RenderJoin(CropRing& ring, std::thread& t) : ring_(ring), t_(t) {}
  ~RenderJoin() {
    if (!t_.joinable()) return;
    ring_.fail("run left early");
    t_.join();
  }
  void join() { t_.join(); }

 private:
  CropRing& ring_;
  std::thread& t_;
};

struct RunningFlag {
  std::atomic<bool>& flag;
  ~RunningFlag() { flag.store(false); }
};

}  // namespace

int32_t Stream::run(const float* samples, int32_t count, const FrameFn& cb) {
  if (count < 0 || (samples == nullptr && count > 0)) throw std::invalid_argument("bad args");
  // The callback may call back into this handle; a second run would share the
  // session with the first one's render thread.
  if (running_.exchange(true)) throw std::logic_error("already running");
  const RunningFlag running{running_};

  const int64_t F = clipFrames(count);
  std::vector<float> deltas(size_t(F) * kKpFloats);
  if (F > 0) {
    try {
      fca_->deltas(samples, count, deltas.data());
    } catch (const std::exception& e) {
      throw stepFailure("le_fca_deltas", e.what());
    }
  }
  const int64_t M = F - skip_;
  if (M < 1) return 0;

  le_ctx* ctx = ctx_.get();
  CropRing ring(size_t(crop_) * size_t(crop_) * 3);
  std::vector<uint8_t> frame(ctx->frameBytes());

  std::thread render([&]() noexcept {
    try {
      float driven[kKpFloats];
      for (int64_t i = 0; i < M && !ring.failed(); ++i) {
        const int64_t j = i + skip_;
        const int32_t d = driverIndex(j, NT_);
        const float* src = target_.data() + size_t(d) * kKpFloats;
        drivenRow(src, deltas.data() + size_t(j) * kKpFloats, gain_, driven);
        const float* crop = nullptr;
        try {
          crop = ctx->renderCrop(d, src, driven);
        } catch (const std::exception& e) {
          return ring.fail(std::string("le_render_kp_crop: ") + e.what());
        }
        float* slot = ring.acquire();
        if (slot == nullptr) return;
        std::memcpy(slot, crop, ring.cropFloats() * sizeof(float));
        ring.publish();
      }
      ring.finish();
    } catch (const std::exception& e) {
      ring.fail(e.what());
    } catch (...) {
      ring.fail("unknown error on the render thread");
    }
  });
  RenderJoin joiner(ring, render);

  for (int64_t i = 0; i < M; ++i) {
    const float* crop = ring.next();
    if (crop == nullptr) {
      if (!ring.failed())
        ring.fail("render thread ended after " + std::to_string(i) + " of " + std::to_string(M) +
                  " crops");
      break;
    }
    const int32_t d = driverIndex(i + skip_, NT_);
    try {
      ctx->pasteInto(d, crop, frame.data());
    } catch (const std::exception& e) {
      ring.fail(std::string("le_paste_crop: ") + e.what());
      break;
    }
    ring.release();
    // A caller that stops: the joiner ends the render thread on the way out.
    if (cb && !cb(int32_t(i), frame.data(), W_, H_)) return int32_t(i + 1);
  }
  joiner.join();
  if (ring.failed()) throw std::runtime_error("render/paste failed: " + ring.reason());
  return int32_t(M);
}

}  // namespace le::stream
