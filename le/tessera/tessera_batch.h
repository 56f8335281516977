// The teeth pass over a batch of already rendered frames: builds the pass from
// caller arrays (the bank in donor order, the head checkpoint and its
// configuration text), pushes every frame with its delivery mask and optional
// shift and writes each emitted window into the caller's slot.
#pragma once

#include <cstdint>

namespace le::tessera {

// A shift pair whose first value is this asks the pass to derive the frame's
// shift from its mask.
inline constexpr int32_t kDeriveShift = -10000;

// Caller arrays, sized by the stamp (12 int32 in stamp order), n_donors and
// n_frames; see le_tessera_run_shift.
struct BatchArgs {
  const uint8_t* track = nullptr;   // n_donors x band_h x band_w x 3
  int32_t n_donors = 0;
  const double* cent = nullptr;     // 2 x n_donors
  const double* c_canon = nullptr;  // 2
  const double* aperture = nullptr; // n_donors
  const int32_t* stamp = nullptr;   // 12
  const uint8_t* head_pt = nullptr;
  int64_t head_pt_len = 0;
  const char* head_json = nullptr;
  const uint8_t* frames = nullptr;  // n_frames x canvas_h x canvas_w x 3
  const uint8_t* masks = nullptr;   // n_frames x canvas_h x canvas_w
  const int32_t* shifts = nullptr;  // null or n_frames x (dy, dx)
  int32_t n_frames = 0;
  uint8_t* out_windows = nullptr;   // n_frames x window_h x window_w x 3
  int32_t* out_passthrough = nullptr;  // n_frames
};

// The first refused argument as "teeth: ..." (a null array, n_donors outside
// 1..1024, a negative frame count); empty when the call may proceed.
const char* batchRefusal(const BatchArgs& a);

// Runs the pass over every frame. A pass-through frame gets
// out_passthrough 1 and its window slot is left alone; an emitted one 0 and
// its window. Throws std::runtime_error (the stamp, bank, head and
// configuration refusals, or an emitted count other than n_frames).
void runTeethBatch(const BatchArgs& a);

}  // namespace le::tessera
