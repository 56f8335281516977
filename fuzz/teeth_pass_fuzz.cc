// The teeth pass from a fuzzed stamp, bank arrays, head and configuration,
// fed fuzzed canvases, masks and shifts: construction either refuses with a
// runtime_error or yields a pass whose every frame leaves once, with a full
// window or as a pass-through with its reason.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/tessera/le_tessera.h"

namespace {

using le::fuzz::Bytes;

// Weights from a seed: small random values, sometimes one non-finite one,
// one tensor short, or the syn tensors of the larger architecture.
le::tessera::HeadWeights headOf(Bytes& in) {
  le::tessera::HeadWeights h;
  const uint8_t kind = in.u8(), seed = in.u8();
  uint32_t state = 0x9E3779B9u * (seed + 1u);
  auto fill = [&](std::vector<float>& v, size_t n) {
    v.resize(n);
    for (float& x : v) {
      state = state * 1664525u + 1013904223u;
      x = static_cast<float>(static_cast<int32_t>(state >> 8) % 2001 - 1000) / 1000.0f;
    }
  };
  fill(h.cand0W, 1008), fill(h.cand0B, 16), fill(h.cand2W, 2304), fill(h.cand2B, 16);
  fill(h.cand4W, 144), fill(h.cand4B, 1);
  if (kind & 1) fill(h.syn0W, 432), fill(h.syn0B, 16), fill(h.syn2W, 144), fill(h.syn2B, 1);
  if (kind == 254) h.cand2W[in.u8()] = in.raw<float>();
  if (kind == 252) h.cand2B.pop_back();
  if (kind == 250) h.cand4W[7] = 1e38f;  // finite, overflows the logits to infinity
  return h;
}

// Mostly in range (kshort, cut 1..20, K 1..8, hysteresis and lookahead up to
// K), sometimes any int32 or any double.
le::tessera::ServeConfig configOf(Bytes& in) {
  le::tessera::ServeConfig c;
  auto pick = [&](int32_t lo, int32_t span) {
    const uint8_t k = in.u8();
    return k == 255 ? in.raw<int32_t>() : lo + k % span;
  };
  c.kshort = pick(1, 20), c.cut = pick(1, 20), c.K = pick(1, 8);
  c.hysteresis = pick(0, c.K > 0 && c.K < 100 ? c.K + 1 : 9);
  c.lookahead = pick(0, c.K > 0 && c.K < 100 ? c.K + 1 : 9);
  c.aperture_tol = in.real(0.5, 1.0), c.maskDecay = in.real(0.6, 1.0);
  c.teethLumaMin = in.real(100, 200), c.teethGreenRedMax = in.real(25, 50);
  c.teethMinPixels = pick(0, 40);
  c.fromHead = in.u8() & 1;
  return c;
}

void runFrames(le::tessera::TeethPass& pass, const le::tessera::GeometryStamp& s, int k, Bytes& in) {
  const size_t area = static_cast<size_t>(s.canvas_w) * static_cast<size_t>(s.canvas_h);
  const size_t window = static_cast<size_t>(s.window_w) * static_cast<size_t>(s.window_h) * 3;
  std::vector<uint8_t> rgb(area * 3), mask(area);
  const int frames = 1 + in.u8() % 4;
  int emitted = 0;
  auto check = [&](const le::tessera::FrameResult& r) {
    ++emitted;
    if (r.passthrough ? !r.window.empty() || r.reason.empty() || r.donors != 0
                      : r.window.size() != window || !r.reason.empty() || r.donors < 1 || r.donors > k)
      std::abort();
  };
  for (int f = 0; f < frames; ++f) {
    in.frameAndMask(rgb, mask);
    const uint8_t how = in.u8();
    int shift[2] = {in.coord(12), in.coord(12)};
    le::tessera::FrameResult out;
    if (pass.push(f, rgb.data(), mask.data(), how & 1 ? shift : nullptr, &out)) check(out);
  }
  le::tessera::FrameResult last;
  if (pass.flush(&last)) check(last);
  if (emitted != frames) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  le::tessera::BankData bank;
  // A coherent stamp on a 40-pixel canvas (window 24 x 16 at (8, 12), band
  // rows 2..14 and columns 4..20, pad 4, margin 2) with each field sometimes
  // nudged, so both coherent and hostile stamps reach the pass.
  in.nudgedFields(&bank.stamp.canvas_w, {40, 40, 8, 12, 24, 16, 4, 2, 14, 4, 20, 2});
  bank.n_donors = static_cast<int32_t>(in.u8() % 6) - 1;
  const int64_t bw = int64_t{bank.stamp.band_c1} - bank.stamp.band_c0 + 2 * int64_t{bank.stamp.shift_margin};
  const int64_t bh = int64_t{bank.stamp.band_r1} - bank.stamp.band_r0 + 2 * int64_t{bank.stamp.shift_margin};
  int64_t bytes = bw > 0 && bh > 0 && bw < 4096 && bh < 4096 && bank.n_donors > 0 ? bw * bh * 3 * bank.n_donors : 0;
  if (in.u8() == 255) bytes += in.u8() % 3 - 1;  // a track one byte off
  bank.track.resize(static_cast<size_t>(std::max<int64_t>(bytes, 0)));
  const uint8_t texture = in.u8();
  for (size_t i = 0; i < bank.track.size(); ++i) bank.track[i] = static_cast<uint8_t>(i * 7 + texture);
  bank.c_canon = {in.real(20, 16), in.real(20, 16)};
  const int donors = std::max(bank.n_donors, 0) + (in.u8() == 255 ? 1 : 0);
  for (int d = 0; d < donors; ++d) {
    bank.cent.push_back(in.real(bank.c_canon[0], 16));
    bank.cent.push_back(in.real(bank.c_canon[1], 16));
    bank.aperture.push_back(in.real(5, 10));
  }
  const le::tessera::HeadWeights head = headOf(in);
  const le::tessera::ServeConfig config = configOf(in);
  std::unique_ptr<le::tessera::TeethPass> pass;
  try {
    pass = std::make_unique<le::tessera::TeethPass>(bank, head, config);
  } catch (const std::runtime_error& e) {
    if (std::strncmp(e.what(), "teeth", 5) != 0) std::abort();  // every refusal names the borrow
    return 0;
  }
  // Frames never throw for their content: an exception here ends the run.
  runFrames(*pass, bank.stamp, config.K, in);
  return 0;
}
