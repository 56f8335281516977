#include <string>

#include "le/audio/motion_engine.h"
#include "le/capi.h"
#include "le/le_motion.h"

struct le_motion {
  le::motion::MotionEngine engine;
  le_motion(const std::string& dir, int threads, const std::string& ep) : engine(dir, threads, ep) {}
};

using le::capi::Family;

extern "C" {

LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return le::capi::guard(Family::Motion, "le_motion_create", static_cast<le_motion*>(nullptr),
                         [&](const auto& call) -> le_motion* {
                           if (motion_dir == nullptr) return call.reject("NULL motion_dir");
                           if (const std::string r = le::capi::threadsRefusal("threads", threads);
                               !r.empty())
                             return call.reject(r);
                           return new le_motion(motion_dir, threads, ep ? ep : "");
                         });
}

LE_API int le_motion_push(le_motion* m, const float* samples, int count) {
  return le::capi::guard(Family::Motion, "le_motion_push", 0, [&](const auto& call) {
    if (m == nullptr || samples == nullptr || count < 0 || m->engine.finished())
      return call.reject("bad args / already finished");
    if (const std::string bad = le::capi::badValue("sample", samples, count); !bad.empty())
      return call.reject(bad);
    m->engine.push(samples, count);
    return 1;
  });
}

LE_API void le_motion_finish(le_motion* m) {
  le::capi::guard(Family::Motion, "le_motion_finish", 0, [&](const auto& call) {
    if (m == nullptr) return call.reject("bad args");
    m->engine.finish();
    return 1;
  });
}

LE_API int le_motion_avail(le_motion* m) {
  return le::capi::guard(Family::Motion, "le_motion_avail", 0, [&](const auto&) {
    if (m == nullptr) return 0;
    const int64_t n = m->engine.avail();
    return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
  });
}

LE_API int le_motion_pull(le_motion* m, int* idx, float* src_rows, float* drv_rows, int n) {
  return le::capi::guard(Family::Motion, "le_motion_pull", 0, [&](const auto& call) {
    if (m == nullptr || idx == nullptr || src_rows == nullptr || drv_rows == nullptr)
      return call.reject("bad args");
    return static_cast<int>(m->engine.pull(idx, src_rows, drv_rows, n));
  });
}

LE_API int le_motion_total(le_motion* m) {
  return le::capi::guard(Family::Motion, "le_motion_total", -1, [&](const auto&) {
    if (m == nullptr) return -1;
    const int64_t t = m->engine.total();
    return t > 0x7fffffff ? -1 : static_cast<int>(t);
  });
}

LE_API int le_motion_nt(le_motion* m) {
  return le::capi::guard(Family::Motion, "le_motion_nt", 0, [&](const auto&) {
    return m == nullptr ? 0 : static_cast<int>(m->engine.nt());
  });
}

LE_API void le_motion_reset(le_motion* m, int start, int direction, int loop) {
  le::capi::guard(Family::Motion, "le_motion_reset", 0, [&](const auto&) {
    if (m != nullptr) m->engine.reset(start, direction, loop != 0);
    return 1;
  });
}

LE_API void le_motion_set_eager(le_motion* m, int frames) {
  le::capi::guard(Family::Motion, "le_motion_set_eager", 0, [&](const auto&) {
    if (m != nullptr) m->engine.setEager(frames);
    return 1;
  });
}

LE_API const char* le_motion_last_error(void) {
  return le::capi::lastErrorText(Family::Motion);
}

LE_API void le_motion_destroy(le_motion* m) { delete m; }

}  // extern "C"
