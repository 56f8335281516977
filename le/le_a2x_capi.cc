// The le_a2x_ C family over le::audio::A2x.
#include "le/le_a2x.h"

#include <climits>
#include <exception>
#include <cstdlib>
#include <memory>
#include <string>

#include "le/audio/a2x.h"
#include "le/audio/frontend.h"
#include "le/capi.h"
#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"

struct le_a2x {
  explicit le_a2x(const char* dir, int threads) : engine(dir, threads) {}
  le::audio::A2x engine;
};

namespace {

using le::capi::Family;
using le::capi::guard;

int clampInt(int64_t v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

// A computation that failed inside avail or pull leaves the count usable; its
// message becomes this thread's last error under the name "le_a2x extend".
void noteExtendFailure(le_a2x& a) {
  if (const std::string f = a.engine.takeFailure(); !f.empty())
    le::capi::storeError(Family::A2x, "le_a2x extend", f);
}

}  // namespace

extern "C" {

const char* le_a2x_last_error(void) { return le::capi::lastErrorText(Family::A2x); }

le_a2x* le_a2x_create(const char* model_dir, int threads) {
  return guard(Family::A2x, "le_a2x_create", static_cast<le_a2x*>(nullptr), [&](const auto& call) {
    if (model_dir == nullptr) return call.reject("bad args");
    return std::make_unique<le_a2x>(model_dir, threads).release();
  });
}

void le_a2x_destroy(le_a2x* a) {
  guard(Family::A2x, "le_a2x_destroy", 0, [&](const auto&) {
    delete a;
    return 1;
  });
}

int le_a2x_push(le_a2x* a, const float* samples, int n) {
  return guard(Family::A2x, "le_a2x_push", 0, [&](const auto& call) {
    if (a == nullptr || (n > 0 && samples == nullptr)) return call.reject("bad args");
    if (n < 1) return 1;
    // A finished utterance has a fixed total; more audio would move it.
    if (a->engine.finished()) return call.reject("already finished");
    if (const std::string bad = le::capi::badValue("sample", samples, n); !bad.empty())
      return call.reject(bad);
    a->engine.push(samples, n);
    return 1;
  });
}

int le_a2x_finish(le_a2x* a) {
  return guard(Family::A2x, "le_a2x_finish", 0, [&](const auto& call) {
    if (a == nullptr) return call.reject("bad args");
    a->engine.finish();
    return 1;
  });
}

int le_a2x_avail(le_a2x* a) {
  return guard(Family::A2x, "le_a2x_avail", -1, [&](const auto& call) {
    if (a == nullptr) return call.reject("bad args");
    const int n = clampInt(a->engine.avail());
    noteExtendFailure(*a);
    return n;
  });
}

int le_a2x_pull_wn(le_a2x* a, int* idx, float* src_rows, float* drv_rows, float* wn, int n) {
  return guard(Family::A2x, "le_a2x_pull_wn", -1, [&](const auto& call) {
    if (a == nullptr || n < 0 ||
        (n > 0 && (idx == nullptr || src_rows == nullptr || drv_rows == nullptr || wn == nullptr)))
      return call.reject("bad args");
    const int got = clampInt(a->engine.pull(idx, src_rows, drv_rows, wn, n));
    noteExtendFailure(*a);
    return got;
  });
}

int le_a2x_pull(le_a2x* a, int* idx, float* src_rows, float* drv_rows, int n) {
  return guard(Family::A2x, "le_a2x_pull", -1, [&](const auto& call) {
    if (a == nullptr || n < 0 || (n > 0 && (idx == nullptr || src_rows == nullptr || drv_rows == nullptr)))
      return call.reject("bad args");
    const int got = clampInt(a->engine.pull(idx, src_rows, drv_rows, nullptr, n));
    noteExtendFailure(*a);
    return got;
  });
}

int le_a2x_total(le_a2x* a) {
  return guard(Family::A2x, "le_a2x_total", -1, [&](const auto& call) {
    if (a == nullptr) return call.reject("bad args");
    return clampInt(a->engine.total());
  });
}

int le_a2x_width(le_a2x* a) {
  return guard(Family::A2x, "le_a2x_width", 0, [&](const auto&) {
    return a != nullptr && a->engine.hasWidth() ? 1 : 0;
  });
}

int le_a2x_nt(le_a2x* a) {
  return guard(Family::A2x, "le_a2x_nt", 0, [&](const auto&) {
    return a == nullptr ? 0 : clampInt(a->engine.nt());
  });
}

int le_a2x_reset(le_a2x* a, int start, int direction, int loop) {
  return guard(Family::A2x, "le_a2x_reset", 0, [&](const auto& call) {
    if (a == nullptr) return call.reject("bad args");
    a->engine.reset(start, direction, loop != 0);
    return 1;
  });
}

int le_a2x_set_eager(le_a2x* a, int eager) {
  return guard(Family::A2x, "le_a2x_set_eager", 0, [&](const auto& call) {
    if (a == nullptr) return call.reject("bad args");
    a->engine.setEager(eager);
    return 1;
  });
}

int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out, int max_frames) {
  return guard(Family::A2x, "le_a2x_deltas", -1, [&](const auto& call) {
    if (a == nullptr || (n > 0 && (samples == nullptr || out == nullptr))) return call.reject("bad args");
    // Samples are looked at only when the clip fits: a count past the
    // caller's buffer is refused by size, never read.
    if (n > 0 && (int64_t{n} + 639) / 640 <= max_frames)
      if (const std::string bad = le::capi::badValue("sample", samples, n); !bad.empty())
        return call.reject(bad);
    return clampInt(a->engine.deltas(samples, n, out, max_frames));
  });
}

int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out, float* wn, int max_frames) {
  return guard(Family::A2x, "le_a2x_deltas_wn", -1, [&](const auto& call) {
    if (a == nullptr || (n > 0 && (samples == nullptr || out == nullptr || wn == nullptr)))
      return call.reject("bad args");
    if (!a->engine.hasWidth()) {
      call.reject("encoder declares no wn output");
      return -3;
    }
    if (n > 0 && (int64_t{n} + 639) / 640 <= max_frames)
      if (const std::string bad = le::capi::badValue("sample", samples, n); !bad.empty())
        return call.reject(bad);
    int frames = 0;
    try {
      frames = clampInt(a->engine.deltas(samples, n, out, max_frames));
    } catch (const std::exception& e) {
      // The deltas are le_a2x_deltas' work: its name heads the message.
      le::capi::storeError(Family::A2x, "le_a2x_deltas", e.what());
      return -1;
    }
    if (frames < 0) return frames;
    const auto& kept = a->engine.clipWidth();
    for (int i = 0; i < frames; ++i) wn[i] = static_cast<size_t>(i) < kept.size() ? kept[static_cast<size_t>(i)] : 0.0f;
    return frames;
  });
}

int le_a2x_preload_w2v(const char* path) {
  return guard(Family::A2x, "le_a2x_preload_w2v", 0, [&](const auto& call) {
    const std::optional<std::string> p =
        path != nullptr && path[0] != '\0' ? std::optional<std::string>(path) : le::env::nonEmpty("W2V_ONNX");
    if (!p) return call.reject("no path and $W2V_ONNX unset");
    le::audio::Frontend::shared(*p, le::pool::threads());
    return 1;
  });
}

}  // extern "C"
