// Per-thread last-error texts and the entry points of the le_ family that need
// no handle.
#include "le/capi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "le/le.h"
#include "le/runtime/ff_log.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::capi {

namespace {
constexpr int kFamilies = 6;
thread_local std::string tlsErrors[kFamilies];
}  // namespace

std::string& lastError(Family f) noexcept { return tlsErrors[static_cast<int>(f)]; }

const char* lastErrorText(Family f) noexcept { return lastError(f).c_str(); }

void storeError(Family f, const char* fn, std::string_view what) noexcept {
  std::string& err = lastError(f);
  try {
    err.assign(fn);
    err.append(": ");
    err.append(what);
  } catch (...) {
    err.clear();
  }
}

bool copyOut(std::string_view text, char* out, size_t cap) noexcept {
  if (!out || cap == 0) return false;
  if (text.size() >= cap) {
    out[0] = 0;
    return false;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = 0;
  return true;
}

std::string threadsRefusal(std::string_view name, int threads) {
  if (threads <= le::pool::kMaxThreads) return {};
  return std::string(name) + " " + std::to_string(threads) + " above the limit of " +
         std::to_string(le::pool::kMaxThreads);
}

namespace {
std::string show(float v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", double(v));
  return b;
}
}  // namespace

std::string badKeypoint(std::string_view name, const float* kp) {
  for (int i = 0; i < 63; ++i) {
    if (std::isfinite(kp[i]) && std::fabs(kp[i]) <= kKeypointLimit) continue;
    return std::string(name) + " row " + std::to_string(i / 3) + " column " +
           std::to_string(i % 3) + " is " + show(kp[i]) +
           ", not a finite keypoint value within \xC2\xB1" + show(kKeypointLimit);
  }
  return {};
}

std::string badValue(std::string_view what, const float* v, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i]))
      return std::string(what) + " " + std::to_string(i) + " is " + show(v[i]) +
             ", not a finite value";
  return {};
}

void fillErr(char* err, int errlen, std::string_view a, std::string_view b) noexcept {
  if (!err || errlen < 1) return;
  size_t n = 0;
  const size_t cap = size_t(errlen) - 1;
  for (std::string_view part : {a, b}) {
    const size_t k = std::min(part.size(), cap - n);
    if (k) std::memcpy(err + n, part.data(), k);
    n += k;
  }
  err[n] = 0;
}

}  // namespace le::capi

static_assert(LE_MAX_THREADS == le::pool::kMaxThreads);

using le::capi::Family;

extern "C" {

LE_API const char* le_last_error(void) { return le::capi::lastErrorText(Family::Core); }

LE_API int le_host_kp_rows(void) { return 21; }

LE_API const char* le_version(void) { return LE_VERSION_TEXT; }

static_assert(LE_LOG_ERROR == static_cast<int>(le::log::Level::Error) &&
              LE_LOG_WARNING == static_cast<int>(le::log::Level::Warning) &&
              LE_LOG_INFO == static_cast<int>(le::log::Level::Info));

LE_API void le_log_set(le_log_fn fn, void* user) {
  le::capi::guard(Family::Core, "le_log_set", 0, [&](const auto&) {
    // The host hears FFmpeg's lines through the same sink from now on.
    le::ffmpeg::routeLog();
    le::log::setSink(fn, user);
    return 0;
  });
}

LE_API int le_bundle_resolve_handle(const char* path, char* out, size_t cap) {
  return le::capi::guard(Family::Core, "le_bundle_resolve_handle", -1, [&](const auto& call) {
    if (!path || !out || cap == 0) return call.reject("NULL path/out or cap 0");
    out[0] = 0;  // a throw below leaves the caller an empty text
    const std::string dir = le::resolveBundlePath(path);
    if (!le::capi::copyOut(dir, out, cap)) return call.reject("buffer too small");
    return 1;
  });
}

LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out,
                                    size_t cap) {
  return le::capi::guard(Family::Core, "le_bundle_resolve_member", -1, [&](const auto& call) {
    if (!bundle || !member || !out || cap == 0) return call.reject("NULL bundle/member/out or cap 0");
    out[0] = 0;
    const std::string path = le::resolveMember(le::resolveBundlePath(bundle), member);
    if (!le::capi::copyOut(path, out, cap)) return call.reject("buffer too small");
    return le::fs::readable(path) ? 1 : 0;
  });
}

}  // extern "C"
