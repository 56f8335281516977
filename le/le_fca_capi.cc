#include <string>

#include "le/audio/fca_engine.h"
#include "le/capi.h"
#include "le/le_fca.h"

struct le_fca {
  le::audio::FcaEngine engine;
  le_fca(const char* frontend, const char* delta, int threads) : engine(frontend, delta, threads) {}
};

using le::capi::Family;

extern "C" {

LE_API le_fca* le_fca_create(const char* frontend_onnx, const char* delta_onnx, int threads) {
  return le::capi::guard(Family::Fca, "le_fca_create", static_cast<le_fca*>(nullptr),
                         [&](const auto& call) -> le_fca* {
                           if (frontend_onnx == nullptr || delta_onnx == nullptr)
                             return call.reject("bad args");
                           if (const std::string r = le::capi::threadsRefusal("threads", threads);
                               !r.empty())
                             return call.reject(r);
                           return new le_fca(frontend_onnx, delta_onnx, threads);
                         });
}

LE_API int le_fca_deltas(le_fca* h, const float* samples, int count, float* out, int max_frames) {
  return le::capi::guard(Family::Fca, "le_fca_deltas", -1, [&](const auto& call) {
    if (h == nullptr || samples == nullptr || out == nullptr) return call.reject("bad args");
    if (count < 1) return 0;
    const int64_t F = (int64_t{count} + 639) / 640;
    if (F > max_frames) return -1;
    if (const std::string bad = le::capi::badValue("sample", samples, count); !bad.empty())
      return call.reject(bad);
    h->engine.deltas(samples, count, out);
    return static_cast<int>(F);
  });
}

LE_API const char* le_fca_last_error(void) { return le::capi::lastErrorText(Family::Fca); }

LE_API void le_fca_destroy(le_fca* h) { delete h; }

}  // extern "C"
