// le_prior_*: decoded frames of a bundle's HEVC warp prior, without a session.
#include <string>

#include "le/capi.h"
#include "le/le.h"
#include "le/session/prior.h"

using le::capi::Family;

extern "C" {

LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history) {
  return le::capi::guard(Family::Core, "le_prior_open", static_cast<le_prior*>(nullptr),
                         [&](const auto& call) -> le_prior* {
                           if (!bundle_dir) return call.reject("NULL bundle_dir");
                           return new le_prior(bundle_dir, look_ahead, history);
                         });
}

LE_API size_t le_prior_row_bytes(const le_prior* prior) {
  return le::capi::guard(Family::Core, "le_prior_row_bytes", size_t{0}, [&](const auto&) {
    return prior ? static_cast<size_t>(prior->cursor->frameBytes()) : size_t{0};
  });
}

LE_API int le_prior_row(le_prior* prior, int si, void* out, size_t cap) {
  return le::capi::guard(Family::Core, "le_prior_row", 0, [&](const auto& call) {
    if (!prior || !out) return call.reject("NULL prior/out");
    const uint64_t rowBytes = prior->cursor->frameBytes();
    if (uint64_t(cap) < rowBytes)
      return call.reject("cap " + std::to_string(cap) + " < row bytes " +
                         std::to_string(rowBytes));
    // The cursor refuses an index outside [0, NT) with its own text.
    prior->cursor->pullAt(si, static_cast<uint8_t*>(out));
    return 1;
  });
}

LE_API const char* le_prior_backend(const le_prior* prior) {
  return le::capi::guard(Family::Core, "le_prior_backend", "", [&](const auto&) {
    return prior ? prior->backend.c_str() : "";
  });
}

LE_API void le_prior_close(le_prior* prior) {
  le::capi::guard(Family::Core, "le_prior_close", 0, [&](const auto&) {
    delete prior;
    return 0;
  });
}

}  // extern "C"
