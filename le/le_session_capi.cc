// le_create ... le_render_drive_rgba: the session context's C entry points.
#include <memory>
#include <string>

#include "le/capi.h"
#include "le/le.h"
#include "le/session/session.h"

using le::capi::Family;

namespace {

bool inFrames(const le_ctx* ctx, int si) { return si >= 0 && si < ctx->NT(); }

// The frame-level entry points while an le_utt pipeline drives the context.
constexpr const char* kInUse = "context in use by le_utt";

// The entry point that does a composite call's failed step on its own: its
// name heads the message, as when the composite calls were made of them.
const char* stepName(le::session::Step step) {
  switch (step) {
    case le::session::Step::DriveEntry: return "le_render_drive_crop";
    case le::session::Step::Render: return "le_render_kp_crop";
    case le::session::Step::Output: return "le_render_*_rgba";
    case le::session::Step::Paste: return "le_paste_last";
  }
  return "le_render";
}

// guard() for the entry points whose session call fails by steps.
template <class R, class Body>
R stepGuard(const char* fn, R failValue, Body&& body) noexcept {
  return le::capi::guard(Family::Core, fn, failValue, [&](const auto& call) -> R {
    try {
      return body(call);
    } catch (const le::session::StepFailure& f) {
      le::capi::storeError(Family::Core, stepName(f.step), f.what());
      return failValue;
    }
  });
}

// The first unusable value of either keypoint set, or empty.
std::string badKeypoints(const float* ks, const float* kd) {
  std::string bad = le::capi::badKeypoint("ks", ks);
  return bad.empty() ? le::capi::badKeypoint("kd", kd) : bad;
}

}  // namespace

extern "C" {

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads,
                         const char* ep) {
  return le::capi::guard(Family::Core, "le_create", static_cast<le_ctx*>(nullptr),
                         [&](const auto& call) -> le_ctx* {
                           if (!bundle_dir || !model_key)
                             return call.reject("NULL bundle_dir/model_key");
                           if (const std::string r = le::capi::threadsRefusal("threads", threads);
                               !r.empty())
                             return call.reject(r);
                           return std::make_unique<le_ctx>(bundle_dir, model_key, threads,
                                                           ep ? ep : "")
                               .release();
                         });
}

LE_API void le_destroy(le_ctx* ctx) {
  le::capi::guard(Family::Core, "le_destroy", 0, [&](const auto&) {
    delete ctx;
    return 0;
  });
}

// Getters never fail; like every entry point they still empty the error.
LE_API int le_nt(const le_ctx* ctx) {
  return le::capi::guard(Family::Core, "le_nt", 0, [&](const auto&) { return ctx ? ctx->NT() : 0; });
}
LE_API int le_height(const le_ctx* ctx) {
  return le::capi::guard(Family::Core, "le_height", 0, [&](const auto&) { return ctx ? ctx->H() : 0; });
}
LE_API int le_width(const le_ctx* ctx) {
  return le::capi::guard(Family::Core, "le_width", 0, [&](const auto&) { return ctx ? ctx->W() : 0; });
}
LE_API int le_crop(const le_ctx* ctx) {
  return le::capi::guard(Family::Core, "le_crop", 0,
                         [&](const auto&) { return ctx ? ctx->manifest.crop : 0; });
}
LE_API int le_drive_frames(const le_ctx* ctx) {
  return le::capi::guard(Family::Core, "le_drive_frames", 0,
                         [&](const auto&) { return ctx ? ctx->drive.frames : 0; });
}

LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si) {
  return le::capi::guard(Family::Core, "le_target_frame", static_cast<const uint8_t*>(nullptr),
                         [&](const auto& call) -> const uint8_t* {
                           if (ctx && ctx->uttBusy) return call.reject(kInUse);
                           if (!ctx || !inFrames(ctx, si)) return call.reject("bad args");
                           return ctx->cursor->pullAt(si, static_cast<int*>(nullptr));
                         });
}

LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* ks, const float* kd) {
  return le::capi::guard(Family::Core, "le_render_kp_crop", static_cast<const float*>(nullptr),
                         [&](const auto& call) -> const float* {
                           if (ctx && ctx->uttBusy) return call.reject(kInUse);
                           if (!ctx || !ks || !kd || !inFrames(ctx, si))
                             return call.reject("bad args");
                           if (const std::string bad = badKeypoints(ks, kd); !bad.empty())
                             return call.reject(bad);
                           return ctx->renderCrop(si, ks, kd);
                         });
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int i) {
  return stepGuard("le_render_drive_crop", static_cast<const float*>(nullptr),
                   [&](const auto& call) -> const float* {
                     if (ctx && ctx->uttBusy) return call.reject(kInUse);
                     if (!ctx) return call.reject("bad frame index");
                     return ctx->renderDrive(i);
                   });
}

LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out,
                         size_t out_bytes) {
  return le::capi::guard(Family::Core, "le_paste_crop", 0, [&](const auto& call) {
    if (ctx && ctx->uttBusy) return call.reject(kInUse);
    if (!ctx || !crop || !out || !inFrames(ctx, si) || uint64_t(out_bytes) < ctx->frameBytes())
      return call.reject("bad args / out too small");
    // A NaN crop would paste as black and report success.
    if (const std::string bad = le::capi::badValue("crop value", crop, ctx->cropValues());
        !bad.empty())
      return call.reject(bad);
    ctx->pasteInto(si, crop, out);
    return 1;
  });
}

LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si) {
  return le::capi::guard(Family::Core, "le_paste_last", static_cast<const uint8_t*>(nullptr),
                         [&](const auto& call) -> const uint8_t* {
                           if (ctx && ctx->uttBusy) return call.reject(kInUse);
                           if (!ctx || !ctx->lastCrop || !inFrames(ctx, si))
                             return call.reject("bad args / no prior render");
                           return ctx->pasteLast(si);
                         });
}

LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* ks, const float* kd, uint8_t* out,
                             size_t out_bytes) {
  return stepGuard("le_render_kp_rgba", 0, [&](const auto& call) {
    if (!ctx) return call.reject("NULL ctx");
    if (ctx->uttBusy) return call.reject(kInUse);
    if (!ks || !kd || !inFrames(ctx, si))
      throw le::session::StepFailure(le::session::Step::Render, "bad args");
    if (const std::string bad = badKeypoints(ks, kd); !bad.empty())
      throw le::session::StepFailure(le::session::Step::Render, bad);
    ctx->renderRgba(si, ks, kd, out, out_bytes);
    return 1;
  });
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes) {
  return stepGuard("le_render_drive_rgba", 0, [&](const auto& call) {
    if (!ctx) return call.reject("NULL ctx");
    if (ctx->uttBusy) return call.reject(kInUse);
    ctx->renderDriveRgba(i, out, out_bytes);
    return 1;
  });
}

}  // extern "C"
