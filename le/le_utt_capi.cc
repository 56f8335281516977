// The le_utt_ entry points: a pipeline on a session context, and thin, locked
// accessors over it.
#include <cstring>
#include <string>

#include "le/capi.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/tessera_attach.h"
#include "le/pipeline/utt_handle.h"

using le::capi::Family;
using le::capi::guard;

namespace {

constexpr int kMaxDonors = 1024;

le::utt::Options optionsOf(const le_utt_opts& o) {
  le::utt::Options u;
  u.motionDir = o.motion_dir;
  u.threads = o.threads;
  u.ep = o.ep;
  u.steadyModel = o.steady_model;
  u.eager = o.eager;
  u.gapS = o.gap_s;
  u.rampFrames = o.ramp_frames;
  u.interruptRampFrames = o.interrupt_ramp_frames;
  return u;
}

// At most size - 1 bytes and a terminating zero, also at the last byte.
void copyTruncated(const std::string& text, char* out, int size) {
  if (out == nullptr || size < 1) return;
  const size_t n = std::min(text.size(), size_t(size) - 1);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
  out[size - 1] = 0;
}

}  // namespace

static_assert(LE_UTT_MAX_RAMP_FRAMES == le::utt::kMaxRampFrames);
static_assert(LE_UTT_IDLE == le::utt::kIdle && LE_UTT_SPEECH == le::utt::kSpeech &&
              LE_UTT_RAMP == le::utt::kRamp);

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  return guard(Family::Utt, "le_utt_create", static_cast<le_utt*>(nullptr), [&](const auto& call) -> le_utt* {
    if (ctx == nullptr || opts == nullptr) return call.reject("NULL ctx/opts");
    if (const std::string r = le::capi::threadsRefusal("opts.threads", opts->threads); !r.empty())
      return call.reject(r);
    return le::utt::createOnSession(*ctx, optionsOf(*opts)).release();
  });
}

// Reports under le_utt_create's name, as it always has.
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  return guard(Family::Utt, "le_utt_create", static_cast<le_utt*>(nullptr), [&](const auto& call) -> le_utt* {
    if (ctx == nullptr) return call.reject("NULL ctx/opts");
    le::utt::Options o;
    o.motionDir = motion_dir;
    return le::utt::createOnSession(*ctx, o).release();
  });
}

LE_API int le_utt_ready(le_utt* u) {
  return guard(Family::Utt, "le_utt_ready", -1, [&](const auto& call) {
    if (u == nullptr) return call.reject("null handle");
    std::string msg;
    const int r = u->pipeline->ready(&msg);
    // The warm-up's message is already the engine's own full diagnostic.
    if (r < 0) le::capi::lastError(Family::Utt) = msg;
    return r;
  });
}

LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int count) {
  return guard(Family::Utt, "le_utt_push_audio", 0, [&](const auto& call) {
    if (u == nullptr || samples == nullptr || count < 0) return call.reject("bad args");
    std::string failure;
    if (!u->pipeline->pushAudio(samples, count, &failure)) return call.reject(failure);
    return 1;
  });
}

LE_API void le_utt_end_utterance(le_utt* u) {
  guard(Family::Utt, "le_utt_end_utterance", 0, [&](const auto&) {
    if (u) u->pipeline->endUtterance();
    return 0;
  });
}

LE_API void le_utt_interrupt(le_utt* u) {
  guard(Family::Utt, "le_utt_interrupt", 0, [&](const auto&) {
    if (u) u->pipeline->interrupt();
    return 0;
  });
}

LE_API int le_utt_frames_available(le_utt* u) {
  return guard(Family::Utt, "le_utt_frames_available", 0, [&](const auto&) {
    return u ? u->pipeline->framesAvailable() : 0;
  });
}

LE_API int le_utt_pull_frame(le_utt* u, uint8_t* buf, size_t cap, le_utt_frame_info* info) {
  return guard(Family::Utt, "le_utt_pull_frame", 0, [&](const auto& call) {
    if (u == nullptr || buf == nullptr) return call.reject("bad args");
    le::utt::FrameInfo fi;
    switch (u->pipeline->pull(buf, cap, &fi)) {
      case le::utt::Pipeline::Pull::Copied:
        if (info) *info = le_utt_frame_info{fi.sequence, fi.kind, fi.driverIndex, fi.speechNumber};
        return 1;
      case le::utt::Pipeline::Pull::TooSmall: return call.reject("buffer too small");
      case le::utt::Pipeline::Pull::None: break;
    }
    return 0;
  });
}

LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats) {
  guard(Family::Utt, "le_utt_get_stats", 0, [&](const auto&) {
    if (!u || !stats) return 0;
    const le::utt::Stats s = u->pipeline->stats();
    *stats = le_utt_stats{s.framesDelivered, s.speechFramesDelivered, s.firstFrames,
                          s.firstFrameLatencyMs, s.renderMs,     s.state};
    return 0;
  });
}

LE_API int le_utt_render_status(le_utt* u, char* msg, int size, int* failures) {
  return guard(Family::Utt, "le_utt_render_status", -1, [&](const auto& call) {
    if (u == nullptr) return call.reject("null handle");
    std::string text;
    int count = 0;
    const int r = u->pipeline->renderStatus(&text, &count);
    if (failures) *failures = count;
    copyTruncated(text, msg, size);
    return r;
  });
}

LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* track, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int errlen) {
  constexpr const char* kFn = "le_utt_tessera_attach";
  return le::capi::guardErr(kFn, 1, err, errlen, [&] {
    const auto refuse = [&](const char* why) {
      le::capi::fillErr(err, errlen, "le_utt_tessera_attach: ", why);
      return 1;
    };
    if (u == nullptr) return refuse("null session");
    if (!track || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json)
      return refuse("a required member is null \xe2\x80\x94 this ABI has no partial-attach state");
    if (n_donors <= 0) return refuse("n_donors <= 0");
    if (n_donors > kMaxDonors) return refuse("n_donors above the limit of 1024");
    le::utt::attachTessera(*u->pipeline, le::utt::TesseraAttach{track, n_donors, cent, c_canon, aperture, stamp,
                                                                head_pt, head_pt_len, head_json, manifest_json});
    return 0;
  });
}

LE_API int le_utt_tessera_stats(le_utt* u, int64_t* ok, int64_t* failures, char* msg, int size) {
  return guard(Family::Utt, "le_utt_tessera_stats", 0, [&](const auto& call) {
    if (u == nullptr) return call.reject("null handle");
    const le::utt::BorrowStats s = u->pipeline->borrowStats();
    if (ok) *ok = s.ok;
    if (failures) *failures = s.failures;
    copyTruncated(s.message, msg, size);
    return s.state;
  });
}

LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int size) {
  return guard(Family::Utt, "le_utt_tessera_geometry", 0, [&](const auto& call) {
    if (u == nullptr) return call.reject("null handle");
    if (buf == nullptr || size < 1) return 0;
    std::string text;
    const bool attached = u->pipeline->borrowGeometry(&text);
    copyTruncated(text, buf, size);
    return attached ? 1 : 0;
  });
}

// The stream borrow measures no synthetic width: nothing to report.
LE_API int le_utt_tessera_synth_w(le_utt* u, double*, double*, int64_t*) {
  return guard(Family::Utt, "le_utt_tessera_synth_w", 0, [&](const auto& call) {
    return u == nullptr ? call.reject("null handle") : 0;
  });
}

LE_API const char* le_utt_last_error(void) {
  return le::capi::lastErrorText(Family::Utt);
}

LE_API void le_utt_destroy(le_utt* u) {
  guard(Family::Utt, "le_utt_destroy", 0, [&](const auto&) {
    delete u;
    return 0;
  });
}

}  // extern "C"
