// le_stream_ entry points over le::stream::Stream.
#include <memory>

#include "le/capi.h"
#include "le/le_stream.h"
#include "le/pipeline/stream.h"

struct le_stream {
  le::stream::Stream s;
  le_stream(const char* bundle, const char* frontend, int threads, int skip, float gain)
      : s(bundle, frontend, threads, skip, gain) {}
};

using le::capi::Family;

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle, const char* frontend_onnx, int threads,
                                   int skip, float gain) {
  return le::capi::guard(Family::Stream, "le_stream_create", static_cast<le_stream*>(nullptr),
                         [&](const auto& call) -> le_stream* {
                           if (skip < 0) return call.reject("skip < 0");
                           if (const std::string r = le::capi::threadsRefusal("threads", threads);
                               !r.empty())
                             return call.reject(r);
                           return std::make_unique<le_stream>(bundle, frontend_onnx, threads, skip,
                                                              gain)
                               .release();
                         });
}

LE_API int le_stream_run(le_stream* s, const float* samples, int count, le_stream_frame_fn cb,
                         void* user) {
  return le::capi::guard(Family::Stream, "le_stream_run", -1, [&](const auto& call) {
    if (s == nullptr || count < 0 || (samples == nullptr && count > 0))
      return call.reject("bad args");
    if (const std::string bad = le::capi::badValue("sample", samples, count); !bad.empty())
      return call.reject(bad);
    le::stream::FrameFn fn;
    if (cb) fn = [&](int32_t i, const uint8_t* rgb, int32_t w, int32_t h) { return cb(user, i, rgb, w, h) == 0; };
    return s->s.run(samples, count, fn);
  });
}

LE_API int le_stream_width(const le_stream* s) {
  return le::capi::guard(Family::Stream, "le_stream_width", 0,
                         [&](const auto&) { return s ? s->s.width() : 0; });
}

LE_API int le_stream_height(const le_stream* s) {
  return le::capi::guard(Family::Stream, "le_stream_height", 0,
                         [&](const auto&) { return s ? s->s.height() : 0; });
}

LE_API const char* le_stream_last_error(void) { return le::capi::lastErrorText(Family::Stream); }

LE_API void le_stream_destroy(le_stream* s) {
  le::capi::guard(Family::Stream, "le_stream_destroy", 0, [&](const auto&) {
    delete s;
    return 0;
  });
}

}  // extern "C"
