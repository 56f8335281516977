#include "le/tessera/tessera_batch.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "le/tessera/le_tessera.h"

namespace le::tessera {

namespace {

// A bank of more donors than this is not one the pass is built to rank.
constexpr int32_t kMaxDonors = 1024;

GeometryStamp stampOf(const int32_t* v) {
  GeometryStamp s;
  s.canvas_w = v[0];
  s.canvas_h = v[1];
  s.window_x0 = v[2];
  s.window_y0 = v[3];
  s.window_w = v[4];
  s.window_h = v[5];
  s.pad = v[6];
  s.band_r0 = v[7];
  s.band_r1 = v[8];
  s.band_c0 = v[9];
  s.band_c1 = v[10];
  s.shift_margin = v[11];
  return s;
}

// Copies the caller's bank; the stamp is validated before any size is
// taken from it, and every size is 64-bit.
BankData bankOf(const BatchArgs& a) {
  BankData bank;
  bank.stamp = stampOf(a.stamp);
  bank.stamp.validate();
  const GeometryStamp& s = bank.stamp;
  const uint64_t bandW = uint64_t(s.band_c1 - s.band_c0) + 2 * uint64_t(s.shift_margin);
  const uint64_t bandH = uint64_t(s.band_r1 - s.band_r0) + 2 * uint64_t(s.shift_margin);
  const uint64_t n = uint64_t(a.n_donors);
  bank.n_donors = a.n_donors;
  bank.track.assign(a.track, a.track + bandW * bandH * 3 * n);
  bank.cent.assign(a.cent, a.cent + 2 * n);
  bank.c_canon = {a.c_canon[0], a.c_canon[1]};
  bank.aperture.assign(a.aperture, a.aperture + n);
  return bank;
}

// Files the emitted frame k into the caller's arrays.
void keep(const BatchArgs& a, const FrameResult& r, int64_t k, uint64_t windowBytes) {
  if (r.passthrough) {
    a.out_passthrough[k] = 1;
    return;
  }
  if (r.window.size() != windowBytes)
    throw std::runtime_error("teeth: emitted window of frame " + std::to_string(k) + " is " +
                             std::to_string(r.window.size()) + " bytes, the stamp window " +
                             std::to_string(windowBytes));
  std::memcpy(a.out_windows + uint64_t(k) * windowBytes, r.window.data(), windowBytes);
  a.out_passthrough[k] = 0;
}

// Counts an emitted frame; a frame beyond n_frames is counted, never written.
void fileEmitted(const BatchArgs& a, const FrameResult& r, int64_t* emitted, uint64_t windowBytes) {
  if (*emitted < a.n_frames) keep(a, r, *emitted, windowBytes);
  ++*emitted;
}

}  // namespace

const char* batchRefusal(const BatchArgs& a) {
  if (!a.track) return "teeth: track is null";
  if (!a.cent) return "teeth: cent is null";
  if (!a.c_canon) return "teeth: c_canon is null";
  if (!a.aperture) return "teeth: aperture is null";
  if (!a.stamp) return "teeth: stamp is null";
  if (!a.head_pt && a.head_pt_len > 0) return "teeth: head_pt is null";
  if (!a.head_json) return "teeth: head_json is null";
  if (!a.frames) return "teeth: frames is null";
  if (!a.masks) return "teeth: masks is null";
  if (!a.out_windows) return "teeth: out_windows is null";
  if (!a.out_passthrough) return "teeth: out_passthrough is null";
  if (a.n_donors < 1 || a.n_donors > kMaxDonors) return "teeth: n_donors out of [1,1024]";
  if (a.n_frames < 0) return "teeth: n_frames is negative";
  return "";
}

void runTeethBatch(const BatchArgs& a) {
  const BankData bank = bankOf(a);
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(a.head_json);
  const uint64_t ptLen = uint64_t(std::max<int64_t>(a.head_pt_len, 0));
  const HeadWeights head = loadHeadPt(std::vector<uint8_t>(a.head_pt, a.head_pt + ptLen));
  TeethPass pass(bank, head, cfg);

  const GeometryStamp& s = bank.stamp;
  const uint64_t canvas = uint64_t(s.canvas_w) * uint64_t(s.canvas_h);
  const uint64_t windowBytes = uint64_t(s.window_w) * uint64_t(s.window_h) * 3;
  int64_t emitted = 0;
  FrameResult r;
  for (int32_t i = 0; i < a.n_frames; ++i) {
    const int32_t* pair = a.shifts ? a.shifts + 2 * uint64_t(i) : nullptr;
    const int shift[2] = {pair ? pair[0] : 0, pair ? pair[1] : 0};
    const bool given = pair && pair[0] != kDeriveShift;
    if (pass.push(i, a.frames + uint64_t(i) * canvas * 3, a.masks + uint64_t(i) * canvas,
                  given ? shift : nullptr, &r))
      fileEmitted(a, r, &emitted, windowBytes);
  }
  if (pass.flush(&r)) fileEmitted(a, r, &emitted, windowBytes);
  if (emitted != a.n_frames)
    throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(a.n_frames) +
                             " frames");
}

}  // namespace le::tessera
