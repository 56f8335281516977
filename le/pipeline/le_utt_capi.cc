// The le_utt_ entry points: thin, locked accessors over the pipeline.
#include <cstring>
#include <string>

#include "le/capi.h"
#include "le/le_utt.h"
#include "le/pipeline/utt_handle.h"

using le::capi::Family;
using le::capi::guard;

namespace {

// At most size - 1 bytes and a terminating zero, also at the last byte.
void copyTruncated(const std::string& text, char* out, int size) {
  if (out == nullptr || size < 1) return;
  const size_t n = std::min(text.size(), size_t(size) - 1);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
  out[size - 1] = 0;
}

}  // namespace

extern "C" {

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
    u->pipeline->pushAudio(samples, count);
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
    switch (u->pipeline->pull(buf, cap, info)) {
      case le::utt::Pipeline::Pull::Copied: return 1;
      case le::utt::Pipeline::Pull::TooSmall: return call.reject("buffer too small");
      case le::utt::Pipeline::Pull::None: break;
    }
    return 0;
  });
}

LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats) {
  guard(Family::Utt, "le_utt_get_stats", 0, [&](const auto&) {
    if (u && stats) *stats = u->pipeline->stats();
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
