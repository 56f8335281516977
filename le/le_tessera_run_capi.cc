// le_tessera_run, le_tessera_run_shift: the teeth pass over a batch of
// rendered frames through the C interface.
#include <cstdint>

#include "le/capi.h"
#include "le/le_tessera.h"
#include "le/tessera/tessera_batch.h"

namespace {

// Failures not carrying a text of their own read "teeth: unknown failure".
constexpr const char* kFamily = "teeth";

int runBatch(const le::tessera::BatchArgs& a, char* err, int errlen) {
  le::capi::fillErr(err, errlen, {});
  if (const char* refusal = le::tessera::batchRefusal(a); *refusal) {
    le::capi::fillErr(err, errlen, refusal);
    return 1;
  }
  return le::capi::guardErr(kFamily, 1, err, errlen, [&] {
    le::tessera::runTeethBatch(a);
    return 0;
  });
}

le::tessera::BatchArgs argsOf(const uint8_t* track, int n_donors, const double* cent, const double* c_canon,
                              const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                              int64_t head_pt_len, const char* head_json, const uint8_t* frames,
                              const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
                              int32_t* out_passthrough) {
  le::tessera::BatchArgs a;
  a.track = track;
  a.n_donors = n_donors;
  a.cent = cent;
  a.c_canon = c_canon;
  a.aperture = aperture;
  a.stamp = stamp;
  a.head_pt = head_pt;
  a.head_pt_len = head_pt_len < 0 ? 0 : head_pt_len;
  a.head_json = head_json;
  a.frames = frames;
  a.masks = masks;
  a.shifts = shifts;
  a.n_frames = n_frames;
  a.out_windows = out_windows;
  a.out_passthrough = out_passthrough;
  return a;
}

}  // namespace

extern "C" {

LE_API int le_tessera_run_shift(const uint8_t* track, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                int64_t head_pt_len, const char* head_json, const uint8_t* frames,
                                const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
                                int32_t* out_passthrough, char* err, int errlen) {
  return runBatch(argsOf(track, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames,
                         masks, shifts, n_frames, out_windows, out_passthrough),
                  err, errlen);
}

LE_API int le_tessera_run(const uint8_t* track, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int64_t head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int32_t* out_passthrough, char* err, int errlen) {
  return runBatch(argsOf(track, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames,
                         masks, nullptr, n_frames, out_windows, out_passthrough),
                  err, errlen);
}

}  // extern "C"
