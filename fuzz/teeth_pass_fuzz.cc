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

#include "le/tessera/le_tessera.h"

namespace {

// Reads the input front to back; past the end everything reads 0.
struct Bytes {
  const uint8_t* p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  template <class T>
  T raw() {
    T v{};
    uint8_t b[sizeof(T)] = {};
    for (uint8_t& x : b) x = u8();
    std::memcpy(&v, b, sizeof v);
    return v;
  }
  // Mostly small values near the canvas, sometimes any int32.
  int32_t coord(int span) {
    const uint8_t k = u8();
    if (k == 255) return raw<int32_t>();
    return static_cast<int32_t>(k % span) - 4;
  }
  double real(double base, double spread) {
    const uint8_t k = u8();
    if (k == 255) return raw<double>();  // NaN, infinities, anything
    return base + (static_cast<double>(k) / 254.0 - 0.5) * spread;
  }
};

le::tessera::GeometryStamp stampOf(Bytes& in) {
  le::tessera::GeometryStamp s;
  s.canvas_w = s.canvas_h = 8 + in.u8() % 41;  // small canvases keep runs fast
  if (in.u8() == 255) s.canvas_h = in.raw<int32_t>();
  s.window_x0 = in.coord(24), s.window_y0 = in.coord(24);
  s.window_w = in.coord(32), s.window_h = in.coord(32), s.pad = in.coord(12);
  s.band_r0 = in.coord(16), s.band_r1 = in.coord(32), s.band_c0 = in.coord(16), s.band_c1 = in.coord(32);
  s.shift_margin = in.coord(12);
  return s;
}

le::tessera::HeadWeights headOf(Bytes& in) {
  le::tessera::HeadWeights h;
  const uint8_t kind = in.u8();
  auto fill = [&](std::vector<float>& v, size_t n) {
    v.resize(n);
    for (float& x : v) x = kind % 4 == 0 ? in.raw<float>() : static_cast<float>(in.real(0.0, 2.0));
  };
  fill(h.cand0W, 1008), fill(h.cand0B, 16), fill(h.cand2W, 2304), fill(h.cand2B, 16);
  fill(h.cand4W, 144), fill(h.cand4B, 1);
  if (kind % 3 == 1) fill(h.syn0W, 432), fill(h.syn0B, 16), fill(h.syn2W, 144), fill(h.syn2B, 1);
  if (kind == 7) h.cand2B.pop_back();
  return h;
}

le::tessera::ServeConfig configOf(Bytes& in) {
  le::tessera::ServeConfig c;
  c.kshort = in.coord(20), c.cut = in.coord(20), c.K = in.coord(12);
  c.hysteresis = in.coord(12), c.lookahead = in.coord(12);
  c.aperture_tol = in.real(0.3, 1.0), c.maskDecay = in.real(0.6, 1.0);
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
    const uint8_t seed = in.u8(), step = in.u8();
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(seed + i * step);
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<uint8_t>((i * (step | 1) + seed) >> 2);
    const uint8_t how = in.u8();
    int shift[2] = {in.coord(20), in.coord(20)};
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
  bank.stamp = stampOf(in);
  bank.n_donors = static_cast<int32_t>(in.u8() % 6) - 1;
  const int64_t bw = int64_t{bank.stamp.band_c1} - bank.stamp.band_c0 + 2 * int64_t{bank.stamp.shift_margin};
  const int64_t bh = int64_t{bank.stamp.band_r1} - bank.stamp.band_r0 + 2 * int64_t{bank.stamp.shift_margin};
  int64_t bytes = bw > 0 && bh > 0 && bw < 4096 && bh < 4096 && bank.n_donors > 0 ? bw * bh * 3 * bank.n_donors : 0;
  if (in.u8() == 255) bytes += in.u8() % 3 - 1;  // a track one byte off
  bank.track.resize(static_cast<size_t>(std::max<int64_t>(bytes, 0)));
  const uint8_t texture = in.u8();
  for (size_t i = 0; i < bank.track.size(); ++i) bank.track[i] = static_cast<uint8_t>(i * 7 + texture);
  bank.c_canon = {in.real(24, 32), in.real(24, 32)};
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
